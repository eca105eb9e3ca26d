"""The feed server: GET /json on the IPv4 loopback answers the current document; nothing else is served.

Threads: one thread runs the accept loop and each request gets a short-lived daemon thread; they only
read the document bytes, which the engine loop swaps in whole (an attribute store is atomic), so no
lock is needed and a slow client never holds up the engine.
"""
import os
import socket
import socketserver
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, Optional
from urllib.parse import urlsplit

from .paths import write_atomically

HOST = "127.0.0.1"
DEFAULT_PORT = 8787


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, body: Callable[[], bytes]):
        self.body = body
        super().__init__(address, handler)

    def server_bind(self) -> None:
        # HTTPServer would look the host name up, which can stall for seconds on a machine without DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address) -> None:
        # A client that hangs up mid-answer is routine for a poller with a time-out.
        pass


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server: _Server

    def do_GET(self) -> None:
        if urlsplit(self.path).path != "/json":
            self._not_found()
            return
        body = self.server.body()
        self.send_response(200)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _not_found(self) -> None:
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _not_found

    def log_message(self, format, *args) -> None:
        pass


def _answers(port: int) -> bool:
    """Whether something already accepts connections on the loopback port. Binding alone is not proof
    of a free port: on macOS a socket bound to every address does not stop a bind to 127.0.0.1."""
    try:
        with socket.create_connection((HOST, port), timeout=0.3):
            return True
    except OSError:
        return False


class FeedServer:
    def __init__(self, support: str, body: Callable[[], bytes], preferred_port: int = DEFAULT_PORT):
        self.support = support
        self.port_file = os.path.join(support, "port")
        self._body = body
        self._preferred = preferred_port
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    @property
    def port(self) -> int:
        return self._server.server_address[1] if self._server else 0

    def _bind(self) -> _Server:
        if 1024 < self._preferred <= 65535 and not _answers(self._preferred):
            try:
                return _Server((HOST, self._preferred), _Handler, self._body)
            except OSError:
                pass
        # The system hands out ephemeral ports well above 1024, which the panel requires.
        return _Server((HOST, 0), _Handler, self._body)

    def start(self) -> int:
        """Binds, publishes the port, then serves on a thread. Connections that arrive between the bind
        and the first accept wait in the listen queue, so the port file is never ahead of the server."""
        self._server = self._bind()
        os.makedirs(self.support, exist_ok=True)
        write_atomically(self.port_file, "%d\n" % self.port)
        thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                  name="feed-server", daemon=True)
        thread.start()
        self._thread = thread
        return self.port

    def stop(self) -> None:
        if self._server is None:
            return
        if self._thread is not None:
            # Only a running accept loop can acknowledge a shutdown; waiting for one that never ran hangs.
            self._server.shutdown()
            self._thread = None
        self._server.server_close()
        self._server = None
