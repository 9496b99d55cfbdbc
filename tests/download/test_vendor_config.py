"""The nginx site shipped in server/ does what the installer needs: it is
loaded as written (only addresses and paths moved to the test's own) and
asked the installer's questions over HTTPS."""
import http.client
import io
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import zipfile

import quillon_harness as harness
from update_server import TestTls, free_port, stop_process, wait_for_port, write_package

PATH = "/SW_UPDATE/KT-QUILLON/Quillon.zip"
VERSIONED_PATH = "/SW_UPDATE/KT-QUILLON/Quillon-7.zip"
MANIFEST_PATH = "/SW_UPDATE/KT-QUILLON/Quillon.manifest"


def small_zip():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("Quillon.exe", os.urandom(5000))
    return buffer.getvalue()


def main():
    tls = TestTls().ensure()
    runtime = tempfile.mkdtemp(prefix="vendor-", dir=harness.BUILD_DIR)
    port = free_port()
    data = os.urandom(4194304 + 4321)
    write_package(os.path.join(runtime, "root"), data, signed=False)
    release = small_zip()
    write_package(os.path.join(runtime, "root"), release, version=7, url=VERSIONED_PATH)
    with open(os.path.join(runtime, "root", *MANIFEST_PATH.strip("/").split("/")), "rb") as handle:
        manifest = handle.read()
    with open(os.path.join(harness.SOURCE_DIR, "server", "quillon-update.conf")) as handle:
        site = handle.read()
    replacements = {
        "listen 443 ssl;": "listen 127.0.0.1:%d ssl;" % port,
        "listen [::]:443 ssl;": "",
        "/etc/ssl/quillon/fullchain.pem": tls.cert,
        "/etc/ssl/quillon/privkey.pem": tls.key,
        "root /srv/quillon;": "root %s/root;" % runtime,
        "/var/log/nginx/quillon-update.log": runtime + "/access.log",
    }
    for old, new in replacements.items():
        assert old in site, "the site no longer has: " + old
        site = site.replace(old, new)
    with open(os.path.join(runtime, "site.conf"), "w") as handle:
        handle.write(site)
    with open(os.path.join(runtime, "nginx.conf"), "w") as handle:
        handle.write("daemon off; master_process off; pid %s/nginx.pid;\n"
                     "error_log %s/error.log warn;\nevents {}\n"
                     "http { client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
                     "  fastcgi_temp_path %s/fcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
                     "  include %s/site.conf; }\n" % ((runtime,) * 7 + (runtime,)))
    process = subprocess.Popen(["nginx", "-p", runtime, "-c", runtime + "/nginx.conf"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    failures = []

    def check(condition, text):
        if not condition:
            failures.append(text)

    try:
        wait_for_port(port, process)
        context = ssl.create_default_context(cafile=tls.ca_cert)

        def get(headers, path=PATH):
            connection = http.client.HTTPSConnection("localhost", port, context=context,
                                                     timeout=10)
            connection.request("GET", path, headers=dict(headers, **{"User-Agent": "Quillon"}))
            response = connection.getresponse()
            body = response.read()
            connection.close()
            return response, body

        response, body = get({"Accept-Encoding": "gzip"})
        check(response.status == 200, "plain GET: status %d" % response.status)
        check(response.getheader("Content-Length") == str(len(data)),
              "plain GET: Content-Length %r" % response.getheader("Content-Length"))
        check(response.getheader("Content-Encoding") is None, "plain GET is compressed")
        check(response.getheader("Cache-Control") == "no-cache", "no Cache-Control: no-cache")
        check(body == data, "plain GET: wrong body")

        for first, last in ((0, 4194303), (4194304, len(data) - 1)):
            response, body = get({"Range": "bytes=%d-%d" % (first, last)})
            check(response.status == 206, "range %d-%d: status %d" % (first, last,
                                                                      response.status))
            check(body == data[first:last + 1], "range %d-%d: wrong bytes" % (first, last))

        response, body = get({"Range": "bytes=0-1,5-6"})
        check(b"multipart" not in (response.getheader("Content-Type") or "").encode(),
              "multi-range answered as multipart")

        # The manifest and the versioned package it names, as the installer
        # asks for them.
        response, body = get({"Accept-Encoding": "gzip"}, MANIFEST_PATH)
        check(response.status == 200 and body == manifest, "manifest: status %d" % response.status)
        check(response.getheader("Content-Length") == str(len(manifest)), "manifest: no Content-Length")
        check(response.getheader("Cache-Control") == "no-cache", "manifest: no Cache-Control: no-cache")
        response, body = get({"Range": "bytes=0-%d" % (len(manifest) - 1)}, MANIFEST_PATH)
        check(response.status == 206 and body == manifest, "manifest range: status %d" % response.status)
        response, body = get({"Range": "bytes=10-%d" % (len(release) - 1)}, VERSIONED_PATH)
        check(response.status == 206 and body == release[10:], "versioned package: status %d" % response.status)

        connection = http.client.HTTPSConnection("localhost", port, context=context, timeout=10)
        connection.request("GET", "/SW_UPDATE/")
        check(connection.getresponse().status == 404, "other paths are served")
        connection.close()
    finally:
        stop_process(process)
        shutil.rmtree(runtime, ignore_errors=True)

    for failure in failures:
        print("FAIL:", failure)
    print("vendor site: %d problem(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
