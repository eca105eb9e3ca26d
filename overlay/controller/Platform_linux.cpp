// Platform.h on Linux. The macOS way of each function is written beside it.

#include "controller/Platform.h"

#include <QFile>
#include <QtEndian>

#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace cw {

namespace {

constexpr quint8 kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// The kernel prints an address as 32-bit words in hexadecimal, each in the machine's byte order: the
// bytes of each word as it lies in memory are the address's bytes in network order.
bool addressBytes(const QByteArray& hex, quint8* bytes, int size) {
    if (hex.size() != size * 2)
        return false;
    for (int word = 0; word < size / 4; ++word) {
        bool ok = false;
        const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return false;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    return true;
}

// "0100007F:1F90" or its 32-digit IPv6 form; IPv4-mapped IPv6 addresses come back as IPv4.
std::optional<std::pair<QHostAddress, quint16>> localEndpoint(const QByteArray& field) {
    const qsizetype colon = field.indexOf(':');
    bool ok = false;
    const uint port = field.mid(colon + 1).toUInt(&ok, 16);
    if (colon < 0 || !ok || port > 0xffff)
        return std::nullopt;
    quint8 bytes[16];
    const QByteArray hex = field.left(colon);
    if (hex.size() == 8 && addressBytes(hex, bytes, 4))
        return std::pair{QHostAddress(qFromBigEndian<quint32>(bytes)), quint16(port)};
    if (!addressBytes(hex, bytes, 16))
        return std::nullopt;
    if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0)
        return std::pair{QHostAddress(qFromBigEndian<quint32>(bytes + 12)), quint16(port)};
    return std::pair{QHostAddress(bytes), quint16(port)};
}

bool takesLoopbackConnections(const QHostAddress& address) {
    for (const QHostAddress& accepted :
         {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::AnyIPv4),
          QHostAddress(QHostAddress::LocalHostIPv6), QHostAddress(QHostAddress::AnyIPv6)})
        if (address.isEqual(accepted, QHostAddress::StrictConversion))
            return true;
    return false;
}

} // namespace

// /proc/net/tcp and /proc/net/tcp6 list every TCP socket of this network namespace, whoever owns it:
//   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
//   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 ...
// State 0A is LISTEN.
//
// macOS: sysctlbyname("net.inet.tcp.pcblist64") (what netstat reads; no privilege needed) gives one
// xtcpcb64 record per TCP socket after an xinpgen header: xt_inpcb.inp_lport and inp_laddr (in6p_laddr
// for IPv6, by inp_vflag) are the local end, xt_tp.t_state == TCPS_LISTEN marks a listener, and
// xt_inpcb.xi_socket.so_uid is its owner. (libproc's proc_pidfdinfo only sees another user's sockets
// as root, and LOCAL_PEERCRED answers for Unix-domain sockets only.)
std::optional<QList<LoopbackListener>> loopbackListeners(quint16 port) {
    QList<LoopbackListener> listeners;
    bool readAny = false;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QString::fromLatin1(table)};
        if (!file.open(QIODevice::ReadOnly))
            continue; // no IPv6 on this machine, say
        readAny = true;
        file.readLine(); // the header
        for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 8 || fields.at(3) != "0A")
                continue;
            const auto local = localEndpoint(fields.at(1));
            bool ok = false;
            const quint32 uid = fields.at(7).toUInt(&ok);
            if (ok && local && local->second == port && takesLoopbackConnections(local->first))
                listeners.append(LoopbackListener{local->first, uid});
        }
    }
    if (!readAny)
        return std::nullopt;
    return listeners;
}

quint32 currentUid() {
    return ::getuid(); // the same on macOS
}

// macOS has no parent-death signal; there the engine would watch the panel itself (a kqueue EVFILT_PROC
// filter with NOTE_EXIT on the panel's PID, or a pipe from the panel whose end of file it waits for).
// setpgid is the same.
void tieToParent(qint64 parent) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have ended before the signal was asked for; then nobody would ever send it.
    if (::getppid() != pid_t(parent))
        ::_exit(1);
}

namespace {
bool signalGroup(qint64 leader, int signal) {
    // A leader of 0 or 1 would name our own group or every process there is.
    return leader > 1 && ::kill(-pid_t(leader), signal) == 0; // the same on macOS
}
} // namespace

bool terminateGroup(qint64 leader) {
    return signalGroup(leader, SIGTERM);
}

bool killGroup(qint64 leader) {
    return signalGroup(leader, SIGKILL);
}

} // namespace cw
