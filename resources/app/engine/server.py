"""The feed server: GET /json on both loopbacks answers the current document; nothing else is served.

Threads: `start` and `stop` run on the engine's main thread. One thread, "feed-server", runs a selector
loop that accepts, reads, answers and closes every connection. It only reads the document bytes, which
the engine loop swaps in whole (an attribute store is atomic), so no lock is needed; every socket is
non-blocking, so no client holds up another client or the engine.

What keeps it standing when other users of the machine, or web pages in its browser, are not friendly:
- it listens on 127.0.0.1 and ::1 on one port, so nobody else can hold the other half of the address
  the panel polls (`localhost` may resolve to either);
- it answers only requests whose Host names the loopback (a web page that rebinds its own name to
  127.0.0.1 still sends its own name), and sends no CORS headers;
- a connection lives `idle_timeout` seconds at most, from accept to the last byte of the answer, however
  slowly it sends or reads;
- at most `limit` connections are open; a new one beyond that closes the oldest, so a flood of idle
  connections delays the panel's poll by one accept at most instead of locking it out;
- running out of descriptors also closes the oldest connection, or pauses accepting for a moment: the
  accept loop never spins.
"""
import errno
import os
import re
import selectors
import socket
import threading
import time
from typing import Callable, Dict, List, Optional, Sequence

try:
    import resource
except ImportError:  # not a POSIX system: no descriptor limit to read
    resource = None  # type: ignore[assignment]

from .paths import remove_stale_temporaries, say_once, write_atomically

HOSTS = ("127.0.0.1", "::1")
DEFAULT_PORT = 8787
BACKLOG = 1024  # the kernel trims it to its own maximum (4096 on current Linux, 128 at the least)
IDLE_TIMEOUT = 5.0  # seconds; the panel's poll needs milliseconds and gives up after 1.5 s
MAX_CONNECTIONS = 512
HEAD_LIMIT = 8192  # bytes of request line and headers
BIND_ATTEMPTS = 32
ACCEPT_BURST = 64  # accepts per wake-up, so that open connections are served between bursts
ACCEPT_PAUSE = 0.1  # seconds without accepting when no descriptor can be freed
PORT_FILE_MODE = 0o600

_OUT_OF_DESCRIPTORS = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}
_CLIENT_GONE = {errno.ECONNABORTED, errno.EPROTO, errno.EPERM}  # this one connection failed; others may wait
_REQUEST_LINE = re.compile(rb"([A-Za-z]+) (/[!-~]*) HTTP/1\.[0-9]\Z")
_LOOPBACK_HOST = re.compile(rb"(?:localhost|127\.0\.0\.1|\[::1\])(?::[0-9]{0,5})?\Z", re.IGNORECASE)
_HEAD_END = re.compile(rb"\r?\n\r?\n")
_REASONS = {400: b"Bad Request", 404: b"Not Found", 421: b"Misdirected Request",
            431: b"Request Header Fields Too Large"}


def status_only(code: int) -> bytes:
    return b"HTTP/1.0 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" % (code, _REASONS[code])


def feed_answer(body: bytes) -> bytes:
    return (b"HTTP/1.0 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
            b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)) + body


def answer(head: bytes, body: Callable[[], bytes]) -> bytes:
    """The whole answer to one request head (request line and header lines, without the blank line)."""
    lines = [line.rstrip(b"\r") for line in head.split(b"\n")]
    request = _REQUEST_LINE.match(lines[0])
    if not request:
        return status_only(400)
    hosts = []
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon or not name or name != name.strip():  # also a folded line, which starts with a space
            return status_only(400)
        if name.lower() == b"host":
            hosts.append(value.strip(b" \t"))
    if len(hosts) != 1:
        return status_only(400)
    if not _LOOPBACK_HOST.match(hosts[0]):
        return status_only(421)
    method, target = request.groups()
    if method != b"GET" or target.split(b"?", 1)[0] != b"/json":
        return status_only(404)
    return feed_answer(body())


def connection_limit() -> int:
    """MAX_CONNECTIONS, or fewer under a low descriptor limit: the listeners, the engine's own files and
    whatever a source opens need descriptors too."""
    if resource is None:
        return MAX_CONNECTIONS
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    return max(8, min(MAX_CONNECTIONS, soft - 64))


class _Connection:
    __slots__ = ("sock", "deadline", "inbox", "outbox")

    def __init__(self, sock: socket.socket, deadline: float):
        self.sock: Optional[socket.socket] = sock
        self.deadline = deadline
        self.inbox = b""
        self.outbox = memoryview(b"")


_LISTENER = object()
_WAKE = object()


class _Loop:
    """The server thread's state. Connections are kept in accept order, which is also deadline order."""

    def __init__(self, listeners: Sequence[socket.socket], body: Callable[[], bytes], idle_timeout: float,
                 limit: int):
        self._listeners = list(listeners)
        self._body = body
        self._idle_timeout = idle_timeout
        self._limit = limit
        self._connections: Dict[_Connection, None] = {}
        self._resume_at: Optional[float] = None
        self._stopping = False
        self._wake_in, self._wake_out = socket.socketpair()
        self._wake_in.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._wake_in, selectors.EVENT_READ, _WAKE)
        self._watch_listeners()

    def stop(self) -> None:
        """Called from another thread: the loop ends at its next wake-up, which this causes."""
        self._stopping = True
        try:
            self._wake_out.send(b"!")
        except OSError:
            pass

    def run(self) -> None:
        try:
            while not self._stopping:
                self._serve(self._selector.select(self._timeout()))
        finally:
            for conn in list(self._connections):
                self._close(conn)
            self._selector.close()
            self._wake_in.close()
            self._wake_out.close()

    def _serve(self, events) -> None:
        now = time.monotonic()
        for key, mask in events:
            if key.data is _LISTENER:
                self._accept(key.fileobj, now)
            elif key.data is not _WAKE and key.data.sock is not None:  # not closed earlier in this round
                if mask & selectors.EVENT_READ:
                    self._read(key.data)
                else:
                    self._write(key.data)
        now = time.monotonic()
        while self._connections and self._oldest().deadline <= now:
            self._close(self._oldest())
        if self._resume_at is not None and now >= self._resume_at:
            self._resume_at = None
            self._watch_listeners()

    def _timeout(self) -> Optional[float]:
        wakes = [t for t in (self._resume_at, self._oldest().deadline if self._connections else None)
                 if t is not None]
        return max(0.0, min(wakes) - time.monotonic()) if wakes else None

    def _watch_listeners(self) -> None:
        for listener in self._listeners:
            self._selector.register(listener, selectors.EVENT_READ, _LISTENER)

    def _pause_accepting(self, now: float) -> None:
        # The waiting connections stay in the listen queue; a listener left watched would wake the loop
        # at once, again and again.
        if self._resume_at is None:
            for listener in self._listeners:
                self._selector.unregister(listener)
        self._resume_at = now + ACCEPT_PAUSE

    def _oldest(self) -> _Connection:
        return next(iter(self._connections))

    def _accept(self, listener, now: float) -> None:
        for _ in range(ACCEPT_BURST):
            try:
                sock, _ = listener.accept()
            except BlockingIOError:
                return
            except OSError as error:
                if error.errno in _CLIENT_GONE:
                    continue
                if error.errno in _OUT_OF_DESCRIPTORS and self._connections:
                    self._close(self._oldest())  # frees a descriptor for the connection waiting
                    continue
                self._pause_accepting(now)
                return
            if len(self._connections) >= self._limit:
                self._close(self._oldest())
            sock.setblocking(False)
            conn = _Connection(sock, now + self._idle_timeout)
            self._connections[conn] = None
            self._selector.register(sock, selectors.EVENT_READ, conn)

    def _close(self, conn: _Connection) -> None:
        if conn.sock is None:
            return
        self._selector.unregister(conn.sock)
        conn.sock.close()
        conn.sock = None
        del self._connections[conn]

    def _read(self, conn: _Connection) -> None:
        try:
            data = conn.sock.recv(4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:  # the client left before its request was whole
            self._close(conn)
            return
        searched = max(0, len(conn.inbox) - 3)
        conn.inbox += data
        reply = self._reply(conn.inbox, searched)
        if reply is not None:
            conn.inbox = b""
            conn.outbox = memoryview(reply)
            self._selector.modify(conn.sock, selectors.EVENT_WRITE, conn)
            self._write(conn)

    def _reply(self, inbox: bytes, searched: int) -> Optional[bytes]:
        """The answer once the request head is whole or known to be bad; None while it may still come."""
        end = _HEAD_END.search(inbox, searched)
        if end is not None:
            return answer(inbox[:end.start()], self._body)
        if len(inbox) > HEAD_LIMIT:
            return status_only(431)
        line_end = inbox.find(b"\n")
        # A request line without a version waits for an answer now, with no header lines to follow.
        if line_end >= 0 and not _REQUEST_LINE.match(inbox[:line_end].rstrip(b"\r")):
            return status_only(400)
        return None

    def _write(self, conn: _Connection) -> None:
        try:
            sent = conn.sock.send(conn.outbox)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self._close(conn)
            return
        conn.outbox = conn.outbox[sent:]
        if not conn.outbox:
            self._close(conn)


def _listener(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        # Lets a restarted engine take its port back while old connections linger in TIME_WAIT. Unlike
        # SO_REUSEPORT it lets no second socket listen on the same address and port.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind((host, port))
        sock.listen(BACKLOG)
        sock.setblocking(False)
        return sock
    except BaseException:
        sock.close()
        raise


def _listen_on_all(hosts: Sequence[str], port: int) -> List[socket.socket]:
    listeners: List[socket.socket] = []
    try:
        for host in hosts:
            listeners.append(_listener(host, port))
        return listeners
    except BaseException:
        for listener in listeners:
            listener.close()
        raise


def _answers(host: str, port: int) -> bool:
    """Whether something already accepts connections there. A bare connect, closed at once: nothing is
    ever sent to another program's listener. Binding alone is no proof of a free port: on macOS a socket
    bound to every address does not stop a bind to the loopback address."""
    try:
        with socket.create_connection((host, port), timeout=0.3):
            return True
    except OSError:
        return False


def _bind(preferred: int, hosts: Sequence[str]) -> List[socket.socket]:
    """Listeners on every host on one port: the preferred one when it is free on all of them, else the
    first port the system hands out (well above 1024, as the panel requires) that is free on all."""
    if 1024 < preferred <= 65535 and not any(_answers(host, preferred) for host in hosts):
        try:
            return _listen_on_all(hosts, preferred)
        except OSError:
            pass
    for _ in range(BIND_ATTEMPTS):
        first = _listener(hosts[0], 0)
        port = first.getsockname()[1]
        try:
            if any(_answers(host, port) for host in hosts[1:]):
                raise OSError(errno.EADDRINUSE, "taken")
            return [first] + _listen_on_all(hosts[1:], port)
        except OSError:
            first.close()
    raise OSError(errno.EADDRINUSE, "no port is free on %s after %d tries" % (" and ".join(hosts), BIND_ATTEMPTS))


def _has_ipv6_loopback() -> bool:
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


class FeedServer:
    def __init__(self, support: str, body: Callable[[], bytes], preferred_port: int = DEFAULT_PORT,
                 idle_timeout: float = IDLE_TIMEOUT, limit: Optional[int] = None):
        self.support = support
        self.port_file = os.path.join(support, "port")
        self._body = body
        self._preferred = preferred_port
        self._idle_timeout = idle_timeout
        self._limit = limit
        self._listeners: List[socket.socket] = []
        self._loop: Optional[_Loop] = None
        self._thread: Optional[threading.Thread] = None

    @property
    def port(self) -> int:
        return self._listeners[0].getsockname()[1] if self._listeners else 0

    def start(self) -> int:
        """Binds, publishes the port, then serves on a thread. Connections that arrive between the bind
        and the first accept wait in the listen queue, so the port file is never ahead of the server."""
        hosts = HOSTS if _has_ipv6_loopback() else HOSTS[:1]
        if len(hosts) < len(HOSTS):
            say_once("this host has no IPv6 loopback (::1): serving the feed on 127.0.0.1 alone")
        self._listeners = _bind(self._preferred, hosts)
        try:
            os.makedirs(self.support, exist_ok=True)
            remove_stale_temporaries(self.support, [os.path.basename(self.port_file)])
            write_atomically(self.port_file, "%d\n" % self.port, mode=PORT_FILE_MODE)
            self._loop = _Loop(self._listeners, self._body, self._idle_timeout,
                               self._limit if self._limit is not None else connection_limit())
        except BaseException:
            self._close_listeners()
            raise
        self._thread = threading.Thread(target=self._loop.run, name="feed-server", daemon=True)
        self._thread.start()
        return self.port

    def stop(self) -> None:
        if self._loop is not None:
            self._loop.stop()
            if self._thread is not None:
                self._thread.join(2.0)
            self._loop = None
            self._thread = None
        self._close_listeners()

    def _close_listeners(self) -> None:
        for listener in self._listeners:
            listener.close()
        self._listeners = []
