// X11 half of the floating panel: the EWMH hints for "every desktop, no taskbar or pager entry, above"
// written with xcb on Qt's own connection. Every Linux-only call of the panel lives in this file.

#include "ui/PlatformWindow.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace cw {

namespace {

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

bool isMapped(xcb_connection_t* connection, xcb_window_t window) {
    xcb_get_window_attributes_reply_t* reply =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
    if (!reply)
        return false;
    const bool mapped = reply->map_state != XCB_MAP_STATE_UNMAPPED;
    std::free(reply);
    return mapped;
}

// A client message to the root window, the EWMH way of changing the state of a window that is mapped.
void sendToRoot(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                const std::array<uint32_t, 5>& data) {
    xcb_client_message_event_t event;
    std::memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    for (size_t i = 0; i < data.size(); ++i)
        event.data.data32[i] = data[i];
    xcb_send_event(connection, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

// Adds the atoms missing from the window's _NET_WM_STATE, keeping whatever Qt or others put there.
void mergeState(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t netWmState,
                const std::array<xcb_atom_t, 3>& wanted) {
    std::array<xcb_atom_t, 64> atoms{};
    size_t count = 0;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, netWmState, XCB_ATOM_ATOM, 0, atoms.size()), nullptr);
    if (reply) {
        if (reply->type == XCB_ATOM_ATOM && reply->format == 32) {
            const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
            count = std::min<size_t>(size_t(xcb_get_property_value_length(reply)) / sizeof(xcb_atom_t), atoms.size());
            std::copy(values, values + count, atoms.begin());
        }
        std::free(reply);
    }
    for (xcb_atom_t atom : wanted) {
        if (atom != XCB_ATOM_NONE && count < atoms.size() &&
            std::find(atoms.begin(), atoms.begin() + count, atom) == atoms.begin() + count)
            atoms[count++] = atom;
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, netWmState, XCB_ATOM_ATOM, 32, uint32_t(count),
                        atoms.data());
}

// Qt's X connection, or null on any other platform (offscreen, Wayland).
xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

} // namespace

void applyFloatingPanelHints(QWidget* window) {
    xcb_connection_t* connection = qtConnection();
    if (!connection || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
        return;
    const auto id = xcb_window_t(window->winId());
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!id || !screen)
        return;

    constexpr uint32_t kAllDesktops = 0xFFFFFFFF;
    const xcb_atom_t netWmDesktop = internAtom(connection, "_NET_WM_DESKTOP");
    const xcb_atom_t netWmState = internAtom(connection, "_NET_WM_STATE");
    const std::array<xcb_atom_t, 3> states = {internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                              internAtom(connection, "_NET_WM_STATE_SKIP_PAGER"),
                                              internAtom(connection, "_NET_WM_STATE_ABOVE")};
    if (netWmDesktop == XCB_ATOM_NONE || netWmState == XCB_ATOM_NONE)
        return;

    if (!isMapped(connection, id)) {
        // Before mapping the properties themselves are the request; the window manager reads them at map.
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, netWmDesktop, XCB_ATOM_CARDINAL, 32, 1,
                            &kAllDesktops);
        mergeState(connection, id, netWmState, states);
    } else {
        // Once mapped the window manager owns the properties; ask it instead.
        constexpr uint32_t kAdd = 1;
        constexpr uint32_t kSourceApplication = 1;
        sendToRoot(connection, screen->root, id, netWmDesktop, {kAllDesktops, kSourceApplication, 0, 0, 0});
        sendToRoot(connection, screen->root, id, netWmState, {kAdd, states[0], states[1], kSourceApplication, 0});
        sendToRoot(connection, screen->root, id, netWmState, {kAdd, states[2], 0, kSourceApplication, 0});
    }
    xcb_flush(connection);
}

void cancelSystemMove(QWidget* window) {
    xcb_connection_t* connection = qtConnection();
    if (!connection || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
        return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t moveResize = internAtom(connection, "_NET_WM_MOVERESIZE");
    if (!screen || moveResize == XCB_ATOM_NONE)
        return;
    constexpr uint32_t kCancel = 11;
    constexpr uint32_t kSourceApplication = 1;
    sendToRoot(connection, screen->root, xcb_window_t(window->winId()), moveResize,
               {0, 0, kCancel, 0, kSourceApplication});
    xcb_flush(connection);
}

} // namespace cw
