"""Runs one group of the download tests (a Windows GoogleTest program) against
real servers on loopback: nginx instances with packages of chosen sizes, the
fault server, and tinyproxy as the forward proxy.

    test_download.py GROUP      GROUP: bytes, faults, proxy or pipeline

The servers' ports and logs reach the Windows side through a key=value file
named by --config=. Every server stops when this script ends.
"""
import contextlib
import hashlib
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

import quillon_harness as harness
import update_server
from update_server import (ClosedPort, TestTls, UpdateServer, free_port, signed_manifest, trust_test_ca,
                           write_package)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fault_server import FaultServer  # noqa: E402

GROUPS = {
    "bytes": "*DownloadBytes*",
    "faults": "*DownloadFaults*",
    "proxy": "*DownloadProxy*",
    "pipeline": "*DownloadPipeline*",
}

RANGE = 4194304

# nginx instances: name -> package size
NGINX_PACKAGES = {
    "empty": 0,
    "one_byte": 1,
    "one_range": RANGE,
    "three_ranges_and_one": RANGE * 3 + 1,
    "twenty_mb": 20 * 1000 * 1000 + 7,
    "two_ranges": RANGE + 1000,
}

# fault server behaviours -> package size
FAULT_PACKAGES = {
    "normal": RANGE * 2 + 5,
    "no_length": 5000,
    "huge_length": 5000,
    "short_body": RANGE + 10,
    "long_body": 70000,
    "misplaced_range": 70000,
    "reset_mid_range": RANGE + 10,
    "cut_mid_range": RANGE + 10,
    "drip": 70000,
    "stall_mid_range": RANGE * 2 + 12345,
    "stall_idle": 70000,
    "ignore_range": RANGE * 2 + 3,
    "not_found": 5000,
    "server_error": 5000,
    "trickle": 200000,
    "no_response": 5000,
    "slow_close": 0,
    "silent": 0,
    "status_only": 0,
}

# The fault server's stall is this long; the tests' receive time-out is
# shorter (see DownloadFaultTest.cpp).
STALL_SECONDS = 2.5


def package_bytes(size, seed):
    return random.Random(seed).randbytes(size)


# A real package for the pipeline: more than one range, so that a server
# that mangles ranges damages it. Stored, so that its size is predictable.
ZIP_MEMBERS = {
    "Quillon.exe": package_bytes(30000, 500),
    "data/payload.bin": package_bytes(RANGE + 300000, 501),
    "readme.txt": b"Quillon test package\r\n",
}


def zip_package():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name, data in ZIP_MEMBERS.items():
            archive.writestr(name, data)
    return buffer.getvalue()


class TinyProxy:
    """tinyproxy on 127.0.0.1, a forward proxy that handles CONNECT."""

    def __init__(self):
        self.port = free_port()
        self.runtime = tempfile.mkdtemp(prefix="tinyproxy-", dir=harness.BUILD_DIR)
        os.chmod(self.runtime, 0o777)
        self.log_path = os.path.join(self.runtime, "tinyproxy.log")
        self.process = None

    def __enter__(self):
        conf = os.path.join(self.runtime, "tinyproxy.conf")
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Timeout 30", "MaxClients 20",
                 "Allow 127.0.0.1", 'LogFile "%s"' % self.log_path, "LogLevel Connect"]
        if os.getuid() == 0:
            lines += ["User nobody", "Group nogroup"]
        with open(conf, "w") as handle:
            handle.write("\n".join(lines) + "\n")
        open(self.log_path, "w").close()
        os.chmod(self.log_path, 0o666)
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        update_server.wait_for_port(self.port, self.process)
        return self

    def __exit__(self, *exc):
        update_server.stop_process(self.process)
        shutil.rmtree(self.runtime, ignore_errors=True)


SETTINGS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
SETTINGS_VALUE = "DefaultConnectionSettings"


def _reg(*args):
    return subprocess.run([harness.WINE_RUN, "--shell", "sh", "-c", '"$WINELOADER" reg "$@"',
                           "reg"] + list(args), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=60)


@contextlib.contextmanager
def user_proxy_settings_restored():
    """The tests restore the user's proxy settings themselves; should one of
    them die half-way, the prefix still gets its settings back here."""
    before = _reg("query", SETTINGS_KEY, "/v", SETTINGS_VALUE)
    had_value = before.returncode == 0 and SETTINGS_VALUE in before.stdout
    try:
        yield
    finally:
        after = _reg("query", SETTINGS_KEY, "/v", SETTINGS_VALUE)
        if not had_value and after.returncode == 0 and SETTINGS_VALUE in after.stdout:
            print("a test left the user's proxy settings behind; removing them")
            _reg("delete", SETTINGS_KEY, "/v", SETTINGS_VALUE, "/f")


def main():
    group = sys.argv[1] if len(sys.argv) > 1 else "bytes"
    gtest_filter = GROUPS[group]
    tls = trust_test_ca(TestTls())
    scratch = harness.scratch_dir("download-" + group)
    config = {"scratch": harness.win_path(scratch)}

    # A folder the test user may not write to.
    readonly = os.path.join(scratch, "readonly")
    os.makedirs(readonly)
    if os.getuid() == 0:
        os.chown(readonly, 0, 0)
    os.chmod(readonly, 0o555)
    config["readonly_dir"] = harness.win_path(readonly) + "\\"

    packages_root = tempfile.mkdtemp(prefix="packages-", dir=harness.BUILD_DIR)
    os.chmod(packages_root, 0o755)
    try:
        with contextlib.ExitStack() as stack:
            config["closed_port"] = str(stack.enter_context(ClosedPort()).port)
            proxy = stack.enter_context(TinyProxy())
            config["proxy.port"] = str(proxy.port)
            config["proxy.log"] = harness.win_path(proxy.log_path)

            for index, (name, size) in enumerate(sorted(NGINX_PACKAGES.items())):
                folder = os.path.join(packages_root, name)
                data = package_bytes(size, index)
                write_package(folder, data, signed=False)
                port = free_port()
                with open(os.path.join(folder, "proxy.pac"), "w") as pac:
                    pac.write('function FindProxyForURL(url, host) {\n'
                              '    return "PROXY 127.0.0.1:%d";\n}\n' % proxy.port)
                server = stack.enter_context(UpdateServer(folder, port, trust=False))
                config["nginx.%s.port" % name] = str(port)
                config["nginx.%s.size" % name] = str(size)
                config["nginx.%s.sha256" % name] = hashlib.sha256(data).hexdigest()
                config["nginx.%s.log" % name] = harness.win_path(server.access_log_path)
                config["nginx.%s.pac" % name] = server.url("/proxy.pac")
            # A configuration script address where nothing answers.
            config["pac.dead"] = ("https://localhost:%d/proxy.pac"
                                  % stack.enter_context(ClosedPort()).port)

            # The build's own port, for the shipped settings, when it is free.
            try:
                shipped_folder = os.path.join(packages_root, "shipped")
                shipped = package_bytes(RANGE + 77, 99)
                write_package(shipped_folder, shipped, signed=False)
                stack.enter_context(UpdateServer(shipped_folder, harness.UPDATE_PORT, trust=False))
                config["shipped.sha256"] = hashlib.sha256(shipped).hexdigest()
            except (RuntimeError, OSError):
                print("port %d is taken; the shipped-settings test is skipped" % harness.UPDATE_PORT)

            package_zip = zip_package()
            zip_folder = os.path.join(packages_root, "zip")
            write_package(zip_folder, package_zip)
            zip_server = stack.enter_context(UpdateServer(zip_folder, free_port(), trust=False))
            config["nginx.zip.port"] = str(zip_server.port)
            config["nginx.zip.log"] = harness.win_path(zip_server.access_log_path)
            config["nginx.zip.pac"] = zip_server.url("/proxy.pac")
            with open(os.path.join(zip_folder, "proxy.pac"), "w") as pac:
                pac.write('function FindProxyForURL(url, host) {\n'
                          '    return "PROXY 127.0.0.1:%d";\n}\n' % proxy.port)
            config["zip.payload.sha256"] = hashlib.sha256(
                ZIP_MEMBERS["data/payload.bin"]).hexdigest()
            config["zip.exe.sha256"] = hashlib.sha256(ZIP_MEMBERS["Quillon.exe"]).hexdigest()

            fault_log = os.path.join(packages_root, "fault.log")
            packages = {name: package_bytes(size, 1000 + index)
                        for index, (name, size) in enumerate(sorted(FAULT_PACKAGES.items()))}
            for behaviour in ("short_body", "ignore_range", "reset_mid_range"):
                packages[behaviour + ":zip"] = package_zip
            # The pipeline's runs fetch the signed manifest first; the faults
            # are the package's.
            manifest = signed_manifest(package_zip)
            faults = stack.enter_context(FaultServer(packages, tls, fault_log,
                                                     stall_seconds=STALL_SECONDS,
                                                     lifetime=300,
                                                     manifests={name: manifest for name in packages
                                                                if name.endswith(":zip")}))
            config["fault.log"] = harness.win_path(fault_log)
            for name, port in faults.ports.items():
                config["fault.%s.port" % name] = str(port)
                config["fault.%s.size" % name] = str(len(packages[name]))
                config["fault.%s.sha256" % name] = hashlib.sha256(packages[name]).hexdigest()

            config_path = os.path.join(scratch, "servers.conf")
            with open(config_path, "w") as handle:
                for key in sorted(config):
                    handle.write("%s=%s\n" % (key, config[key]))
            os.chmod(config_path, 0o644)

            guard = (user_proxy_settings_restored() if group in ("proxy", "pipeline")
                     else contextlib.nullcontext())
            with guard:
                result = harness.run(harness.exe("download_tests"),
                                     "--config=" + harness.win_path(config_path),
                                     "--gtest_filter=" + gtest_filter, timeout=240)
            print(result.stdout)
            return result.returncode
    finally:
        shutil.rmtree(packages_root, ignore_errors=True)
        os.chmod(readonly, 0o755)
        harness.remove_tree(scratch)


if __name__ == "__main__":
    sys.exit(main())
