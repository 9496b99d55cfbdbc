"""An HTTPS server on loopback that misbehaves on purpose: one behaviour per
port, for what nginx will not do on request.

    with FaultServer({"stall_mid_range": data, ...}, tls, log_path) as server:
        server.ports["stall_mid_range"]

A name may carry a suffix after ":" ("short_body:zip"), so that one
behaviour can serve several packages on ports of their own.

Every request is appended to the log as
    name TAB method TAB path TAB range TAB user agent
so that a test can see which ranges were asked for. Connections time out
after a few seconds, and the whole server stops by itself after `lifetime`
seconds, whatever its owner does.

Behaviours (the length request is the one without a Range header):
  normal           honours Range like nginx
  no_length        no Content-Length; the body ends when the connection does
  huge_length      announces 4294967295 bytes; ranges get a 404 page
  short_body       answers each range with half of its bytes
  long_body        answers each range with its bytes and 1000 more, without
                   Content-Length, ending the body by closing
  misplaced_range  answers each range with one that starts 1000 bytes later
  reset_mid_range  after each length request, sends part of the first range
                   and then resets the connection; later ranges are fine
  cut_mid_range    the same, but closes the connection in order
  drip             answers every range with its first 100 bytes, then closes
  stall_mid_range  after each length request, sends part of the first range
                   and then nothing for `stall_seconds`; later ranges are fine
  stall_idle       answers each range with headers and then nothing
  ignore_range     always sends the whole package
  not_found        404 with an HTML body
  server_error     500 with an HTML body
  error_once       a 500 page for the very first request, then like normal
  trickle          honours Range, in small pieces with pauses
  no_response      reads the request and closes the connection
  slow_close       reads the request, waits `stall_seconds`, closes
  silent           reads the request, then says nothing for `silence_seconds`
  status_only      sends the status line, then nothing for `silence_seconds`

`fixed_ports` puts chosen behaviours on chosen ports (the installer's own
update port, for instance); the others get free ones.
"""
import socket
import ssl
import struct
import threading
import time

BEHAVIOURS = ("normal", "no_length", "huge_length", "short_body", "long_body",
              "misplaced_range", "reset_mid_range", "cut_mid_range", "drip", "stall_mid_range",
              "stall_idle", "ignore_range", "not_found", "server_error", "error_once", "trickle",
              "no_response", "slow_close", "silent", "status_only")

HTML = (b"<!DOCTYPE html><html><head><title>%d</title></head>"
        b"<body><h1>%d</h1><p>Not the package.</p></body></html>")

REASONS = {200: "OK", 206: "Partial Content", 404: "Not Found", 500: "Internal Server Error"}


def parse_range(header, size):
    """(first, last) of "bytes=first-last", clamped to the package; None when absent."""
    if not header or not header.startswith("bytes="):
        return None
    first_text, _, last_text = header[len("bytes="):].partition("-")
    first = int(first_text)
    last = int(last_text) if last_text else size - 1
    return first, min(last, size - 1)


class FaultServer:
    def __init__(self, packages, tls, log_path, stall_seconds=2.5, lifetime=600.0,
                 connection_timeout=10.0, silence_seconds=20.0, fixed_ports=None, manifests=None):
        unknown = {name for name in packages if name.partition(":")[0] not in BEHAVIOURS}
        if unknown:
            raise ValueError("unknown behaviours: %s" % sorted(unknown))
        self.packages = dict(packages)
        # A behaviour's signed manifest, answered correctly at any path that
        # ends in ".manifest": the faults are the package's.
        self.manifests = dict(manifests or {})
        self.log_path = log_path
        self.stall_seconds = stall_seconds
        self.lifetime = lifetime
        self.connection_timeout = max(connection_timeout, silence_seconds + 5)
        self.silence_seconds = silence_seconds
        self.fixed_ports = dict(fixed_ports or {})
        self.ports = {}
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(tls.cert, tls.key)
        self._listeners = []
        self._accepting = []
        self._timer = None
        self._stop = threading.Event()
        self._log_lock = threading.Lock()
        self._stall_armed = {}
        self._served = set()
        open(self.log_path, "w").close()

    def start(self):
        for behaviour in self.packages:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", self.fixed_ports.get(behaviour, 0)))
            listener.listen(16)
            listener.settimeout(0.2)
            self._listeners.append(listener)
            self.ports[behaviour] = listener.getsockname()[1]
            thread = threading.Thread(target=self._accept_loop, args=(behaviour, listener),
                                      daemon=True)
            thread.start()
            self._accepting.append(thread)
        self._timer = threading.Timer(self.lifetime, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self):
        self._stop.set()
        if self._timer is not None:
            self._timer.cancel()
        # The port is free again only once no thread waits in accept on it,
        # so that the next server can take a fixed port at once.
        for thread in self._accepting:
            if thread is not threading.current_thread():
                thread.join(timeout=2)
        for listener in self._listeners:
            try:
                listener.close()
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _accept_loop(self, behaviour, listener):
        while not self._stop.is_set():
            try:
                connection, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(behaviour, connection),
                             daemon=True).start()

    def _log(self, *fields):
        with self._log_lock, open(self.log_path, "a") as handle:
            handle.write("\t".join(fields) + "\n")

    def _serve(self, behaviour, raw):
        raw.settimeout(self.connection_timeout)
        try:
            connection = self._context.wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            return
        try:
            request = self._read_request(connection)
            if request is None:
                return
            method, path, headers = request
            self._log(behaviour, method, path, headers.get("range", ""),
                      headers.get("user-agent", ""))
            if path.endswith(".manifest") and behaviour in self.manifests:
                self._manifest(connection, behaviour, headers)
            else:
                getattr(self, "_" + behaviour.partition(":")[0])(connection, behaviour, headers)
        except (OSError, ssl.SSLError):
            pass
        finally:
            try:
                connection.close()
            except OSError:
                pass

    @staticmethod
    def _read_request(connection):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(4096)
            if not chunk or len(data) > 65536:
                return None
            data += chunk
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        method, path = (head[0].split(" ") + ["", ""])[:2]
        headers = {}
        for line in head[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        return method, path, headers

    @staticmethod
    def _head(connection, status, headers):
        lines = ["HTTP/1.1 %d %s" % (status, REASONS[status])]
        lines += ["%s: %s" % item for item in headers]
        connection.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    @staticmethod
    def _body(connection, data, piece=65536, pause=0.0):
        for start in range(0, len(data), piece):
            connection.sendall(data[start:start + piece])
            if pause:
                time.sleep(pause)

    def _answer(self, connection, behaviour, headers, keep=None, piece=65536, pause=0.0):
        """A correct answer, or with `keep` only that many bytes of the range."""
        package = self.packages[behaviour]
        wanted = parse_range(headers.get("range"), len(package))
        if wanted is None:
            self._head(connection, 200, [("Content-Length", len(package)),
                                         ("Connection", "close")])
            self._body(connection, package, piece, pause)
            return
        first, last = wanted
        data = package[first:last + 1]
        if keep is not None:
            data = data[:keep(len(data))]
        self._head(connection, 206, [("Content-Length", len(data)),
                                     ("Content-Range", "bytes %d-%d/%d" % (first, last,
                                                                           len(package))),
                                     ("Connection", "close")])
        self._body(connection, data, piece, pause)

    def _manifest(self, connection, behaviour, headers):
        # Each fetch of the manifest starts a download attempt: the fault
        # meant for an attempt's first range is armed again.
        if "range" not in headers:
            self._stall_armed[behaviour] = True
        manifest = self.manifests[behaviour]
        wanted = parse_range(headers.get("range"), len(manifest))
        if wanted is None:
            self._head(connection, 200, [("Content-Length", len(manifest)), ("Connection", "close")])
            self._body(connection, manifest)
            return
        first, last = wanted
        self._head(connection, 206, [("Content-Length", last - first + 1),
                                     ("Content-Range", "bytes %d-%d/%d" % (first, last, len(manifest))),
                                     ("Connection", "close")])
        self._body(connection, manifest[first:last + 1])

    def _normal(self, connection, behaviour, headers):
        self._answer(connection, behaviour, headers)

    def _no_length(self, connection, behaviour, headers):
        self._head(connection, 200, [("Connection", "close")])
        self._body(connection, self.packages[behaviour])

    def _short_body(self, connection, behaviour, headers):
        if "range" in headers:
            self._answer(connection, behaviour, headers, keep=lambda n: n // 2)
        else:
            self._answer(connection, behaviour, headers)

    def _range_head(self, connection, behaviour, headers, length=True):
        """The head of a correct answer to the range asked; (first, last)."""
        package = self.packages[behaviour]
        first, last = parse_range(headers["range"], len(package))
        fields = [("Content-Range", "bytes %d-%d/%d" % (first, last, len(package))),
                  ("Connection", "close")]
        if length:
            fields.insert(0, ("Content-Length", last - first + 1))
        self._head(connection, 206, fields)
        return first, last

    def _armed(self, behaviour, headers):
        """True for the first range after each length request."""
        if "range" not in headers:
            self._stall_armed[behaviour] = True
            return False
        return self._stall_armed.pop(behaviour, False)

    def _reset_mid_range(self, connection, behaviour, headers):
        if self._cut_mid_range(connection, behaviour, headers):
            # Linger with a zero time-out: close sends a reset, not a FIN.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def _cut_mid_range(self, connection, behaviour, headers):
        """True when this request was the one cut short."""
        if not self._armed(behaviour, headers):
            self._answer(connection, behaviour, headers)
            return False
        first, _ = self._range_head(connection, behaviour, headers)
        connection.sendall(self.packages[behaviour][first:first + 65536])
        time.sleep(0.2)
        return True

    def _drip(self, connection, behaviour, headers):
        if "range" not in headers:
            self._answer(connection, behaviour, headers)
            return
        first, _ = self._range_head(connection, behaviour, headers)
        connection.sendall(self.packages[behaviour][first:first + 100])

    def _stall_mid_range(self, connection, behaviour, headers):
        if not self._armed(behaviour, headers):
            self._answer(connection, behaviour, headers)
            return
        first, _ = self._range_head(connection, behaviour, headers)
        # An odd amount, so that a resume at a rounded offset would show.
        connection.sendall(self.packages[behaviour][first:first + 100003])
        self._stop.wait(self.stall_seconds)

    def _stall_idle(self, connection, behaviour, headers):
        if "range" not in headers:
            self._answer(connection, behaviour, headers)
            return
        self._range_head(connection, behaviour, headers)
        self._stop.wait(self.stall_seconds)

    def _long_body(self, connection, behaviour, headers):
        if "range" not in headers:
            self._answer(connection, behaviour, headers)
            return
        first, last = self._range_head(connection, behaviour, headers, length=False)
        connection.sendall(self.packages[behaviour][first:last + 1] + b"\0" * 1000)

    def _misplaced_range(self, connection, behaviour, headers):
        if "range" not in headers:
            self._answer(connection, behaviour, headers)
            return
        package = self.packages[behaviour]
        first, last = parse_range(headers["range"], len(package))
        first = min(first + 1000, last)
        self._answer(connection, behaviour, {"range": "bytes=%d-%d" % (first, last)})

    def _huge_length(self, connection, behaviour, headers):
        if "range" in headers:
            self._error_page(connection, 404)
            return
        self._head(connection, 200, [("Content-Length", 4294967295), ("Connection", "close")])

    def _error_once(self, connection, behaviour, headers):
        with self._log_lock:
            first = behaviour not in self._served
            self._served.add(behaviour)
        if first:
            self._error_page(connection, 500)
        else:
            self._answer(connection, behaviour, headers)

    def _silent(self, connection, behaviour, headers):
        self._stop.wait(self.silence_seconds)

    def _status_only(self, connection, behaviour, headers):
        connection.sendall(b"HTTP/1.1 206 Partial Content\r\n")
        self._stop.wait(self.silence_seconds)

    def _ignore_range(self, connection, behaviour, headers):
        self._answer(connection, behaviour, {})

    def _error_page(self, connection, status):
        body = HTML % (status, status)
        self._head(connection, status, [("Content-Type", "text/html"),
                                        ("Content-Length", len(body)), ("Connection", "close")])
        connection.sendall(body)

    def _not_found(self, connection, behaviour, headers):
        self._error_page(connection, 404)

    def _server_error(self, connection, behaviour, headers):
        self._error_page(connection, 500)

    def _trickle(self, connection, behaviour, headers):
        self._answer(connection, behaviour, headers, piece=1024, pause=0.002)

    def _no_response(self, connection, behaviour, headers):
        pass

    def _slow_close(self, connection, behaviour, headers):
        self._stop.wait(self.stall_seconds)
