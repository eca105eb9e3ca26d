// X11 half of the floating panel, on Qt's own xcb connection: the panel as a window no window manager
// manages, raised again whenever another client's window covers it, and the window the user is working
// in, for the default placement. Every Linux-only call of the panel lives in this file. Main thread only.

#include "ui/PlatformWindow.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace cw {

namespace {

// Checked (and raised) at most this often; a cover that comes sooner is answered when the time is up.
constexpr qint64 kMinRaiseGapMs = 200;

template <typename T>
using Owned = std::unique_ptr<T, decltype(&std::free)>;

// The reply to a request, or none. An error (a window gone meanwhile) is taken and dropped here, never
// left in the event queue, where Qt would log it.
template <typename Reply, typename Cookie>
Owned<Reply> reply(Reply* (*get)(xcb_connection_t*, Cookie, xcb_generic_error_t**), xcb_connection_t* connection,
                   Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    Reply* answer = get(connection, cookie, &error);
    std::free(error);
    return Owned<Reply>(answer, &std::free);
}

// Qt's X connection, or null on any other platform (offscreen, Wayland).
xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootOf(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

bool isViewable(xcb_connection_t* connection, xcb_window_t window) {
    const auto attributes =
        reply(xcb_get_window_attributes_reply, connection, xcb_get_window_attributes(connection, window));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// A child of the root's rectangle in root coordinates.
std::optional<QRect> rootRect(xcb_connection_t* connection, xcb_window_t window) {
    const auto geometry = reply(xcb_get_geometry_reply, connection, xcb_get_geometry(connection, window));
    if (!geometry)
        return std::nullopt;
    return QRect(geometry->x, geometry->y, geometry->width, geometry->height);
}

// Whether this connection made the window: X hands each client its own range of resource ids.
bool isOurs(xcb_connection_t* connection, xcb_window_t window) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    return (window & ~setup->resource_id_mask) == setup->resource_id_base;
}

// Whether a mapped window of another client lies above `window` (a child of the root) and overlaps it.
bool coveredByOthers(xcb_connection_t* connection, xcb_window_t window) {
    const auto tree = reply(xcb_query_tree_reply, connection, xcb_query_tree(connection, rootOf(connection)));
    const std::optional<QRect> own = rootRect(connection, window);
    if (!tree || !own)
        return false;
    const xcb_window_t* first = xcb_query_tree_children(tree.get());
    const xcb_window_t* end = first + xcb_query_tree_children_length(tree.get());
    const xcb_window_t* self = std::find(first, end, window);
    if (self == end)
        return false;
    // Children come in stacking order, bottom first.
    for (const xcb_window_t* above = self + 1; above < end; ++above) {
        if (isOurs(connection, *above) || !isViewable(connection, *above))
            continue;
        if (const std::optional<QRect> other = rootRect(connection, *above); other && other->intersects(*own))
            return true;
    }
    return false;
}

// Adds event bits to what this client selects on the window (a change replaces this client's whole mask).
void selectMore(xcb_connection_t* connection, xcb_window_t window, uint32_t bits) {
    const auto attributes =
        reply(xcb_get_window_attributes_reply, connection, xcb_get_window_attributes(connection, window));
    const uint32_t mask = (attributes ? attributes->your_event_mask : 0) | bits;
    xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
}

// Keeps one window above other clients' windows. It listens to every change of the root's children
// (a window mapped, moved or restacked) rather than to the window's own visibility events: the panel's
// translucent (ARGB) window is composited by the server, which then reports it as never covered.
class AboveKeeper : public QAbstractNativeEventFilter {
public:
    static AboveKeeper& instance() {
        static AboveKeeper* keeper = [] {
            auto* created = new AboveKeeper;
            QCoreApplication::instance()->installNativeEventFilter(created);
            return created;
        }();
        return *keeper;
    }

    void watch(QWidget* window, xcb_window_t root) {
        m_window = window;
        m_root = root;
        m_pending = false;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || m_root == XCB_WINDOW_NONE)
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const uint8_t kind = event->response_type & ~0x80;
        switch (kind) {
        case XCB_CIRCULATE_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_GRAVITY_NOTIFY:
        case XCB_MAP_NOTIFY:
        case XCB_REPARENT_NOTIFY:
        case XCB_UNMAP_NOTIFY:
            break;
        default:
            return false;
        }
        // These events all start alike: the window they were selected on, then the window that changed.
        const auto* notify = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (notify->event != m_root || notify->window == m_root)
            return false;
        if (kind == XCB_CIRCULATE_NOTIFY || kind == XCB_CONFIGURE_NOTIFY || kind == XCB_MAP_NOTIFY)
            checkSoon();
        // Only this filter asked for them; Qt would take any configure under the root for a change of screens.
        return true;
    }

private:
    // Outside the event filter, and not sooner than kMinRaiseGapMs after the last check.
    void checkSoon() {
        if (m_pending || !m_window)
            return;
        m_pending = true;
        const qint64 wait = m_lastCheck.isValid() ? std::max<qint64>(0, kMinRaiseGapMs - m_lastCheck.elapsed()) : 0;
        QTimer::singleShot(int(wait), m_window.data(), [this] {
            m_pending = false;
            m_lastCheck.start();
            xcb_connection_t* connection = qtConnection();
            if (connection && m_window && coveredByOthers(connection, xcb_window_t(m_window->winId())))
                m_window->raise();
        });
    }

    QPointer<QWidget> m_window;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    bool m_pending = false;
    QElapsedTimer m_lastCheck;
};

} // namespace

Qt::WindowFlags floatingPanelFlags() {
    return Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
           Qt::X11BypassWindowManagerHint;
}

void keepAboveOthers(QWidget* window) {
    xcb_connection_t* connection = qtConnection();
    if (!connection || !window || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created))
        return;
    const xcb_window_t root = rootOf(connection);
    selectMore(connection, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
    AboveKeeper::instance().watch(window, root);
}

std::optional<QPoint> activeWindowCentre() {
    xcb_connection_t* connection = qtConnection();
    if (!connection)
        return std::nullopt;
    static const char kName[] = "_NET_ACTIVE_WINDOW";
    const auto atom =
        reply(xcb_intern_atom_reply, connection, xcb_intern_atom(connection, 1, uint16_t(std::strlen(kName)), kName));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return std::nullopt;
    const xcb_window_t root = rootOf(connection);
    const auto property = reply(xcb_get_property_reply, connection,
                                xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1));
    if (!property || property->type != XCB_ATOM_WINDOW || property->format != 32 ||
        xcb_get_property_value_length(property.get()) < int(sizeof(xcb_window_t)))
        return std::nullopt;
    const xcb_window_t active = *static_cast<const xcb_window_t*>(xcb_get_property_value(property.get()));
    // A window manager may go on naming a window that was closed or minimised: only a mapped one counts.
    if (active == XCB_WINDOW_NONE || !isViewable(connection, active))
        return std::nullopt;
    const auto geometry = reply(xcb_get_geometry_reply, connection, xcb_get_geometry(connection, active));
    const auto origin =
        reply(xcb_translate_coordinates_reply, connection, xcb_translate_coordinates(connection, active, root, 0, 0));
    if (!geometry || !origin)
        return std::nullopt;
    // The centre, not the corner: a window across two monitors belongs where most of it is.
    return QPoint(origin->dst_x + geometry->width / 2, origin->dst_y + geometry->height / 2);
}

} // namespace cw
