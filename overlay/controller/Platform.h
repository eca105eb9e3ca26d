#pragma once
// What the controller needs of the operating system beyond Qt, behind one system-neutral interface: who
// owns the sockets that listen on a loopback port, and an engine process tied to the panel's life. One
// implementation per system (Platform_linux.cpp; the macOS way is written beside each function there).
// loopbackListeners and currentUid are safe on any thread; tieToParent runs in a forked child.

#include <QHostAddress>
#include <QList>

#include <optional>

namespace cw {

// A TCP socket listening at a loopback or wildcard address (127.0.0.1, ::1, 0.0.0.0, :: or an
// IPv4-mapped form), any of which takes connections to the loopback, and the user that owns it.
struct LoopbackListener {
    QHostAddress address;
    quint32 uid = 0;
};

// Every such listener on port, across all users; nothing when the system's socket table cannot be read.
std::optional<QList<LoopbackListener>> loopbackListeners(quint16 port);

// The user this process runs as.
quint32 currentUid();

// Runs in a new child between fork and exec. Makes the child receive SIGTERM when the thread that
// started it (the panel's main thread, which lives as long as the panel) ends, however it ends, and
// makes it the leader of a process group of its own. A child whose parent `parent` is already gone ends
// at once.
void tieToParent(qint64 parent);

// Sends SIGTERM to the process group that `leader` leads; false when there is no such group.
bool terminateGroup(qint64 leader);
// Sends SIGKILL to that group, for an engine that ignores SIGTERM; false when there is no such group.
bool killGroup(qint64 leader);

} // namespace cw
