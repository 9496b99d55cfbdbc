"""A real update server for tests: nginx on 127.0.0.1 serving a package tree
over HTTPS with a certificate from a test CA that only the Wine prefix trusts.

    with UpdateServer(package_dir) as server:        # port: the build's port
        ...                                         # Installer.exe downloads
        server.requests()                           # what nginx logged

The package is <package_dir>/SW_UPDATE/KT-QUILLON/Quillon.zip and its signed
manifest Quillon.manifest beside it (write_package puts both there, signed
with the build's own test key); any other file under package_dir is served too (a proxy
configuration script, for instance). nginx honours Range requests itself.

The CA and the "localhost" certificate are made once per build folder with
openssl; trust_test_ca() adds the CA to the prefix's root store (never the
host's) and remembers that it did.
"""
import collections
import datetime
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import quillon_harness as harness

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "scripts"))
import package_manifest  # noqa: E402

PACKAGE_URL_PATH = "/SW_UPDATE/KT-QUILLON/Quillon.zip"
MANIFEST_URL_PATH = "/SW_UPDATE/KT-QUILLON/Quillon.manifest"
TLS_DIR = os.path.join(harness.BUILD_DIR, "update-server-tls")

# One line of nginx's access log.
Request = collections.namedtuple("Request", "method uri range status bytes agent")


def package_path(package_dir):
    return os.path.join(package_dir, *PACKAGE_URL_PATH.strip("/").split("/"))


def signing_key():
    """The build's own package-signing key, the one its program trusts."""
    return package_manifest.SigningKey(os.path.join(harness.BUILD_DIR, "package-signing", "test-package.key"))


def manifest_path(package_dir):
    return os.path.join(package_dir, *MANIFEST_URL_PATH.strip("/").split("/"))


def write_manifest(package_dir, manifest_bytes):
    path = manifest_path(package_dir)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        handle.write(manifest_bytes)
    return path


def signed_manifest(data, version=1, url=PACKAGE_URL_PATH, members=None, issued=None, expires=None, key=None):
    """The manifest the vendor's tool would write for `data`, signed with the
    build's key (or `key`); `members` replaces the list read from the zip."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    issued = issued or now - datetime.timedelta(days=1)
    expires = expires or now + datetime.timedelta(days=180)
    return package_manifest.signed_manifest(key or signing_key(), data, version, url, issued, expires, members)


def version_record(data, version):
    """The record the installer keeps on the stick beside a package it
    installed: its version, then each file (not folder) with its size, in
    the manifest's order."""
    members, _ = package_manifest.describe_members(data)
    return "quillon-package-version %d\n" % version + "".join(
        "file %d %s\n" % (size, name) for name, size, _ in members if not name.endswith("/"))


def write_package(package_dir, data, version=1, signed_data=None, url=PACKAGE_URL_PATH, signed=True,
                  **manifest_options):
    """Publishes `data` as the vendor does: the package where the server
    serves it and, beside it, the manifest signed with the build's key.
    The manifest describes `signed_data` when given (a package damaged after
    signing); with signed=False there is none (bytes for the download's own
    tests, which are no zip). Returns the package's path."""
    path = os.path.join(package_dir, *url.strip("/").split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        handle.write(data)
    if not signed:
        return path
    manifest = signed_manifest(data if signed_data is None else signed_data, version, url, **manifest_options)
    write_manifest(package_dir, manifest)
    return path


def free_port():
    """A loopback port that nothing listens on at this moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ClosedPort:
    """A loopback port where connections are refused for as long as this is
    open. A port merely found free is handed out again by the kernel to the
    next server bound to port 0, so the socket keeps it bound, never listening.
    """

    def __enter__(self):
        self._holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._holder.bind(("127.0.0.1", 0))
        self.port = self._holder.getsockname()[1]
        return self

    def __exit__(self, *exc):
        self._holder.close()


def stop_process(process):
    """Ends a server started here: politely first, then for certain."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def wait_for_port(port, process=None, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError("server ended early with code %d" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing answers on port %d" % port)


class TestTls:
    """Paths of the test CA and of the server's key and certificate."""

    def __init__(self, folder=TLS_DIR):
        self.folder = folder
        self.ca_key = os.path.join(folder, "ca.key")
        self.ca_cert = os.path.join(folder, "ca.pem")
        self.key = os.path.join(folder, "localhost.key")
        self.cert = os.path.join(folder, "localhost.pem")

    def ensure(self):
        if all(os.path.exists(p) for p in (self.ca_cert, self.key, self.cert)):
            return self
        work = tempfile.mkdtemp(prefix="tls-", dir=os.path.dirname(self.folder) or ".")
        try:
            def openssl(*args):
                subprocess.run(["openssl"] + list(args), check=True, cwd=work,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                    "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
                    "-subj", "/CN=Quillon Installer Test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
            with open(os.path.join(work, "server.ext"), "w") as ext:
                ext.write("basicConstraints=CA:FALSE\n"
                          "keyUsage=critical,digitalSignature,keyEncipherment\n"
                          "extendedKeyUsage=serverAuth\n"
                          "subjectAltName=DNS:localhost,IP:127.0.0.1\n")
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                    "-keyout", "localhost.key", "-out", "localhost.csr", "-subj", "/CN=localhost")
            openssl("x509", "-req", "-in", "localhost.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", "localhost.pem", "-days", "3650", "-sha256",
                    "-extfile", "server.ext")
            for name in ("ca.pem", "localhost.pem", "localhost.key"):
                os.chmod(os.path.join(work, name), 0o644)
            if os.path.isdir(self.folder):
                shutil.rmtree(self.folder)
            os.rename(work, self.folder)
            os.chmod(self.folder, 0o755)
        finally:
            if os.path.isdir(work):
                shutil.rmtree(work)
        return self


def _trust_tool():
    try:
        return harness.exe("trust_ca")
    except KeyError:
        return os.path.join(harness.BUILD_DIR, "tests", "download", "trust_ca.exe")


def trust_test_ca(tls=None):
    """Adds the test CA to the Wine prefix's root store, once per prefix."""
    tls = (tls or TestTls()).ensure()
    with open(tls.ca_cert, "rb") as handle:
        fingerprint = hashlib.sha256(handle.read()).hexdigest()
    stamp = os.path.join(harness.WINEPREFIX, "quillon-test-ca.stamp")
    if os.path.exists(stamp):
        with open(stamp) as handle:
            if handle.read() == fingerprint:
                return tls
    result = harness.run(_trust_tool(), harness.win_path(tls.ca_cert), timeout=60)
    if result.returncode != 0:
        raise RuntimeError("could not add the test CA to the prefix: " + result.stdout)
    with open(stamp, "w") as handle:
        handle.write(fingerprint)
    return tls


_NGINX_CONF = """\
daemon off;
master_process off;
error_log {runtime}/error.log warn;
pid {runtime}/nginx.pid;
events {{ worker_connections 256; }}
http {{
    types {{ application/zip zip; application/x-ns-proxy-autoconfig pac; }}
    default_type application/octet-stream;
    client_body_temp_path {runtime}/body;
    proxy_temp_path {runtime}/proxy;
    fastcgi_temp_path {runtime}/fastcgi;
    uwsgi_temp_path {runtime}/uwsgi;
    scgi_temp_path {runtime}/scgi;
    log_format quillon "$request_method\\t$request_uri\\t$http_range\\t$status\\t$body_bytes_sent\\t$http_user_agent";
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root};
        access_log {runtime}/access.log quillon;
        location / {{ try_files $uri =404; limit_rate {rate};{ranges} }}
    }}
}}
"""


class UpdateServer:
    """nginx serving package_dir over HTTPS on 127.0.0.1:port; with rate
    (bytes a second, nginx's limit_rate), slowly enough to watch a download;
    with ranges=False, answering every Range request with the whole file."""

    def __init__(self, package_dir, port=None, trust=True, rate=0, ranges=True):
        self.package_dir = os.path.abspath(package_dir)
        self.rate = rate
        self.ranges = ranges
        self.port = port or harness.UPDATE_PORT
        self.trust = trust
        self.tls = TestTls()
        self.runtime = None
        self.process = None

    @property
    def access_log_path(self):
        return os.path.join(self.runtime, "access.log")

    def url(self, path=PACKAGE_URL_PATH):
        return "https://localhost:%d%s" % (self.port, path)

    def start(self):
        self.tls.ensure()
        if self.trust:
            trust_test_ca(self.tls)
        self.runtime = tempfile.mkdtemp(prefix="nginx-", dir=harness.BUILD_DIR)
        os.chmod(self.runtime, 0o755)
        conf = os.path.join(self.runtime, "nginx.conf")
        with open(conf, "w") as handle:
            handle.write(_NGINX_CONF.format(runtime=self.runtime, port=self.port,
                                            cert=self.tls.cert, key=self.tls.key,
                                            root=self.package_dir, rate=self.rate,
                                            ranges="" if self.ranges else " max_ranges 0;"))
        open(self.access_log_path, "w").close()
        os.chmod(self.access_log_path, 0o644)
        # nginx keeps its own descriptor for stderr; ours can close at once.
        with open(os.path.join(self.runtime, "stderr"), "w") as stderr:
            self.process = subprocess.Popen(
                ["nginx", "-p", self.runtime, "-c", conf], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True)
        try:
            wait_for_port(self.port, self.process)
        except RuntimeError:
            self.stop()
            raise
        return self

    def stop(self):
        stop_process(self.process)
        self.process = None
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)
            self.runtime = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def mark(self):
        """A position in the log; requests(since=mark) gives what came later."""
        return len(self._lines())

    def requests(self, since=0):
        result = []
        for line in self._lines()[since:]:
            fields = line.split("\t")
            if len(fields) != 6:
                continue
            method, uri, rng, status, size, agent = fields
            result.append(Request(method, uri, "" if rng == "-" else rng, int(status),
                                  int(size), agent))
        return result

    def _lines(self):
        with open(self.access_log_path, encoding="utf-8", errors="replace") as handle:
            return [line.rstrip("\n") for line in handle if line.strip()]
