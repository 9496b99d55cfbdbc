"""The silent install of the shipped program, end to end under Wine: a
stand-in USB stick as E:, the local update server, a realistic package.
"""
import datetime
import hashlib
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import quillon_harness as h
import silent_install as si
from update_server import (TestTls, UpdateServer, manifest_path, signed_manifest, trust_test_ca, version_record,
                           write_package)

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "download"))
import make_package  # noqa: E402
from fault_server import FaultServer  # noqa: E402

PACKAGE_DIR = None
RECORDS = None
ZIP_BYTES = None
# The next version of the same tree: every file changed, same attributes.
RECORDS_V2 = None
ZIP_V2 = None


def setUpModule():
    global PACKAGE_DIR, RECORDS, ZIP_BYTES, RECORDS_V2, ZIP_V2
    PACKAGE_DIR = tempfile.mkdtemp(prefix="e2e-package-", dir=h.BUILD_DIR)
    zip_path, RECORDS = make_package.make_package(PACKAGE_DIR, files=300, megabytes=4.0, seed=5)
    with open(zip_path, "rb") as handle:
        ZIP_BYTES = handle.read()
    zip_path, RECORDS_V2 = make_package.make_package(os.path.join(PACKAGE_DIR, "v2"), files=300,
                                                     megabytes=4.0, seed=5, version=2)
    with open(zip_path, "rb") as handle:
        ZIP_V2 = handle.read()
    si.register_standin()


def tearDownModule():
    shutil.rmtree(PACKAGE_DIR, ignore_errors=True)


def sha256(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def damage_member(data, name):
    """The package with bytes of one member's data altered: its CRC fails."""
    damaged = bytearray(data)
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        header = archive.getinfo(name).header_offset
    start = (header + 30 + int.from_bytes(damaged[header + 26:header + 28], "little")
             + int.from_bytes(damaged[header + 28:header + 30], "little"))
    for offset in range(start + 10, start + 40):
        damaged[offset] ^= 0x5A
    return bytes(damaged)


def log_time(line):
    return datetime.datetime.strptime(line[:23], "%d/%m/%Y %H:%M:%S,%f").timestamp()


# The record of the installed package's version, beside the program.
VERSION_RECORD = "Quillon.version"


def unix_tree(folder):
    found = set()
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return found


class SilentInstallTest(unittest.TestCase):
    def setUp(self):
        self.stick = h.scratch_dir("e2e-stick")
        self.temp = h.scratch_dir("e2e-temp")
        self.served = tempfile.mkdtemp(prefix="e2e-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)

    def tearDown(self):
        for folder in (self.stick, self.temp, self.served):
            h.remove_tree(folder)

    def install(self, attached=True, stick=None):
        with si.usb_stick("E", stick or self.stick, attached=attached) as wmi:
            return si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)

    def package_file(self):
        return os.path.join(h.work_folder(self.temp), "QL_Install_E", "Quillon.zip")

    def installed(self):
        """Path: (sha256, attributes, last write) as Windows sees it; a folder
        has no sha256 and its last write changes with what is in it."""
        seen = si.windows_tree(h.exe("drive_probe"), h.win_path(self.stick))
        return {path: (None, attributes, None) if attributes & 0x10 else
                (sha256(os.path.join(self.stick, path)), attributes, written)
                for path, (attributes, written, _) in seen.items() if path != VERSION_RECORD}

    def assert_installed(self, records, installed=None):
        installed = installed or self.installed()
        self.assertEqual({r["path"] for r in records}, set(installed), "tree (temporary files left?)")
        for record in records:
            digest, attributes, written = installed[record["path"]]
            wanted = (0x10 if record["dir"] else 0) | (0x2 if record["hidden"] else 0) | \
                     (0x1 if record["readonly"] else 0) | (0x4 if record.get("system") else 0)
            self.assertEqual(wanted, attributes & 0x17, record["path"])
            if not record["dir"]:
                self.assertEqual(record["sha256"], digest, record["path"])
                self.assertEqual(si.filetime_of_unix(record["mtime"]), written, record["path"])

    def start_install(self, wmi, output):
        env = dict(h.temp_env(self.temp))
        env.update(wmi)
        args = []
        for name, value in env.items():
            args += ["--env", "%s=%s" % (name, value)]
        return h.start(h.exe("launch"), *args, "--", h.exe("Installer"), "/path=E:", output=output)

    def staged_files(self, folder):
        return [name for _, _, files in os.walk(folder) for name in files if name.startswith("~ql")]

    def assert_failed_cleanly(self, result, log):
        self.assertEqual(1, result.returncode, result.stdout + log)
        self.assertFalse(os.path.exists(self.package_file()), "package left in the work folder")
        self.assertEqual(1, log.count("[default] Log created"), log)

    def test_installs_the_package_byte_for_byte_with_attributes_and_times(self):
        write_package(self.served, ZIP_BYTES)
        with UpdateServer(self.served) as server:
            result = self.install()
            requests = server.requests()
        log = h.read_log(self.temp)
        self.assertEqual(0, result.returncode, result.stdout + log)

        expected = {record["path"]: record for record in RECORDS}
        self.assertEqual(set(expected) | {VERSION_RECORD}, unix_tree(self.stick))
        for path, record in expected.items():
            if not record["dir"]:
                self.assertEqual(record["sha256"], sha256(os.path.join(self.stick, path)), path)

        # The link for E: is gone once the run is over; the same folder is
        # read through Wine's Z: drive.
        seen = si.windows_tree(h.exe("drive_probe"), h.win_path(self.stick))
        self.assertEqual(set(expected) | {VERSION_RECORD}, set(seen), "tree as Windows reports it")
        for path, record in expected.items():
            attributes, written, size = seen[path]
            self.assertEqual(record["dir"], bool(attributes & 0x10), path)
            self.assertEqual(record["hidden"], bool(attributes & 0x02), path)
            self.assertEqual(record["readonly"], bool(attributes & 0x01), path)
            if not record["dir"]:
                self.assertEqual(record["size"], size, path)
                self.assertEqual(si.filetime_of_unix(record["mtime"]), written, path)

        self.assertFalse(os.path.exists(self.package_file()), "package left in the work folder")
        self.assertTrue(os.path.isdir(os.path.dirname(self.package_file())))
        self.assertEqual(1, log.count("[default] Log created"), log)
        self.assertNotIn(" ERROR ", log)
        self.assertTrue(requests and all(r.agent == "Quillon" for r in requests), requests)
        # One line per request, and one for the whole run.
        self.assertEqual(len(requests), log.count("HTTP response to "), log)
        self.assertRegex(log, r"INFO +\[default\] Install succeeded: every entry extracted; %d bytes "
                              r"downloaded in \d+\.\d s" % (len(ZIP_BYTES) + os.path.getsize(manifest_path(self.served))))

    def test_a_second_silent_start_is_refused_while_the_first_installs_byte_for_byte(self):
        write_package(self.served, ZIP_BYTES)
        with UpdateServer(self.served, rate=1024 * 1024), si.usb_stick("E", self.stick) as wmi:
            env = dict(h.temp_env(self.temp), **wmi)
            launch = [h.exe("launch")]
            for name, value in env.items():
                launch += ["--env", "%s=%s" % (name, value)]
            first = h.start(*launch, "--", h.exe("Installer"), "/path=E:",
                            output=os.path.join(h.scratch_dir("e2e-first"), "output.txt"))
            try:
                for _ in range(300):
                    if os.path.exists(self.package_file()) or first.process.poll() is not None:
                        break
                    time.sleep(0.1)
                self.assertTrue(os.path.exists(self.package_file()), "the first install never downloaded")
                second = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
                self.assertTrue(os.path.exists(self.package_file()), "the first install's package went")
                self.assertEqual(1, second.returncode, second.stdout)
                self.assertEqual(0, first.wait(300))
            finally:
                first.stop()
        log = h.read_log(self.temp)
        self.assertEqual(1, log.count("Another installer is running in this session; this silent install ends "
                                      "without touching its files\r\n"), log)
        self.assertEqual(1, log.count("[default] Log created"), log)
        self.assertEqual(1, log.count("Install succeeded"), log)
        expected = {record["path"]: record for record in RECORDS}
        self.assertEqual(set(expected) | {VERSION_RECORD}, unix_tree(self.stick))
        for path, record in expected.items():
            if not record["dir"]:
                self.assertEqual(record["sha256"], sha256(os.path.join(self.stick, path)), path)

    def test_a_drive_that_is_not_attached_gets_nothing(self):
        write_package(self.served, ZIP_BYTES)
        with UpdateServer(self.served) as server:
            result = self.install(attached=False)
            requests = server.requests()
        log = h.read_log(self.temp)
        self.assert_failed_cleanly(result, log)
        self.assertIn("CheckDriveConnected E:\\ is not among the attached USB drives", log)
        self.assertEqual([], requests, "downloaded for a missing drive")
        self.assertEqual(set(), unix_tree(self.stick))

    def test_a_small_drive_gets_nothing(self):
        if os.getuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        small = tempfile.mkdtemp(prefix="e2e-small-", dir=h.BUILD_DIR)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=100m,mode=0777", "tmpfs", small],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if mounted.returncode != 0:
            os.rmdir(small)
            print("SKIP small drive: this machine does not allow mount -t tmpfs (%s)"
                  % mounted.stdout.strip(), file=sys.stderr)
            self.skipTest("mount -t tmpfs is not allowed here")
        try:
            h.give_to_test_user(small)
            write_package(self.served, ZIP_BYTES)
            with UpdateServer(self.served) as server:
                result = self.install(stick=small)
                requests = server.requests()
            log = h.read_log(self.temp)
            self.assert_failed_cleanly(result, log)
            self.assertRegex(log, r"CheckDriveFreeSpace E:\\ has \d+ bytes free, 157286400 needed")
            self.assertEqual([], requests)
            self.assertEqual(set(), unix_tree(small))
        finally:
            subprocess.run(["umount", small])
            os.rmdir(small)

    def test_an_unreachable_server_fails_both_downloads(self):
        with self.assertRaises(OSError, msg="something listens on the update port"):
            socket.create_connection(("127.0.0.1", h.UPDATE_PORT), timeout=1).close()
        result = self.install()
        log = h.read_log(self.temp)
        self.assert_failed_cleanly(result, log)
        # Both downloads try the server: this machine has no automatic
        # proxy, so the second goes direct too (ERROR_WINHTTP_CANNOT_CONNECT).
        self.assertEqual(2, log.count("WinHttpSendRequest failed Last error: 12029"), log)
        # The last line names the server and the cause in words.
        self.assertIn("Install failed: the update server %s:%d could not be reached: connection refused "
                      "(WinHTTP error 12029); 0 bytes downloaded" % (h.UPDATE_HOST, h.UPDATE_PORT),
                      log.strip().splitlines()[-1])
        self.assertEqual(set(), unix_tree(self.stick))

    def test_reinstall_and_update_replace_every_file_whatever_its_attributes(self):
        # The package holds read-only, hidden and system files; the second
        # run finds them in its way, and so does the update.
        write_package(self.served, ZIP_BYTES)
        with UpdateServer(self.served):
            codes = [self.install().returncode]
            first = self.installed()
            codes.append(self.install().returncode)
        self.assertEqual([0, 0], codes, h.read_log(self.temp))
        self.assertEqual(first, self.installed())
        self.assert_installed(RECORDS, first)

        write_package(self.served, ZIP_V2, version=2)
        with UpdateServer(self.served):
            self.assertEqual(0, self.install().returncode, h.read_log(self.temp))
        # A file whose bytes the new version keeps is not rewritten: it keeps
        # its time of the first version.
        kept = {r["path"]: r for r in RECORDS if not r["dir"]}
        self.assert_installed([kept[r["path"]] if r["path"] in kept and kept[r["path"]]["sha256"] == r["sha256"]
                               else r for r in RECORDS_V2])
        with open(os.path.join(self.stick, VERSION_RECORD), encoding="utf-8", newline="") as handle:
            self.assertEqual(version_record(ZIP_V2, 2), handle.read())

    def test_a_failed_update_leaves_the_installed_version_as_it_was(self):
        write_package(self.served, ZIP_BYTES)
        with UpdateServer(self.served):
            self.assertEqual(0, self.install().returncode, h.read_log(self.temp))
        before = self.installed()

        # The next version with a new folder, whose last member is damaged.
        update = io.BytesIO(ZIP_V2)
        with zipfile.ZipFile(update, "a") as archive:
            archive.writestr("Added/", b"")
            archive.writestr("Added/deep/new.txt", b"new in this version\n" * 500,
                             compress_type=zipfile.ZIP_DEFLATED)
        write_package(self.served, damage_member(update.getvalue(), "Added/deep/new.txt"), version=2,
                      signed_data=update.getvalue())
        with UpdateServer(self.served) as server:
            result = self.install()
            requests = server.requests()
        log = h.read_log(self.temp)
        self.assertEqual(1, result.returncode, result.stdout + log)
        self.assertFalse(os.path.exists(self.package_file()), "package left in the work folder")
        # The stick holds version 1, so only the members it lacks are
        # fetched, and the damaged one is refused as it is extracted. This
        # machine has no automatic proxy that could have damaged it, so it
        # is not fetched again: the manifest's length asked for once.
        self.assertEqual(1, sum(1 for r in requests if r.uri.endswith(".manifest") and not r.range), requests)
        self.assertIn("No proxy found that could have changed the package: it is not fetched again", log)
        # A download that differs from the signed one, never a disk's fault.
        self.assertNotRegex(log, r"CRC|damaged data|Extracting .* failed")
        self.assertRegex(log.strip().splitlines()[-1],
                         r"Install failed: Package refused: the download does not match what the vendor signed: "
                         r"\S*Added/deep/new.txt\S* ")
        self.assertEqual(before, self.installed())

    def test_a_damaged_first_install_leaves_no_damaged_program(self):
        damaged = bytearray(ZIP_BYTES)
        with zipfile.ZipFile(os.path.join(PACKAGE_DIR, "Quillon.zip")) as archive:
            info = archive.getinfo("Quillon.exe")
        header = info.header_offset
        data = (header + 30 + int.from_bytes(damaged[header + 26:header + 28], "little")
                + int.from_bytes(damaged[header + 28:header + 30], "little"))
        damaged[data + 1000] ^= 0x01
        write_package(self.served, bytes(damaged), signed_data=ZIP_BYTES)
        with UpdateServer(self.served):
            result = self.install()
        self.assertEqual(1, result.returncode, result.stdout + h.read_log(self.temp))
        self.assertFalse(os.path.exists(os.path.join(self.stick, "Quillon.exe")))
        self.assertFalse([p for p in unix_tree(self.stick) if "~ql" in p])


    def test_a_pulled_drive_or_a_killed_run_leaves_nothing_for_long(self):
        # Big enough that the extraction takes a while.
        package = tempfile.mkdtemp(prefix="e2e-big-", dir=h.BUILD_DIR)
        self.addCleanup(shutil.rmtree, package, True)
        zip_path, records = make_package.make_package(package, files=1500, megabytes=24.0, seed=8)
        with open(zip_path, "rb") as handle:
            write_package(self.served, handle.read())
        work = h.scratch_dir("wmi")
        for interruption in ("pull", "kill"):  # in this order
            h.remove_tree(self.stick)
            os.makedirs(self.stick)
            h.give_to_test_user(self.stick)
            with UpdateServer(self.served) as server, si.usb_stick("E", self.stick, work=work) as wmi:
                program = self.start_install(wmi, os.path.join(self.temp, interruption + ".txt"))
                deadline = time.time() + 120
                while not self.staged_files(self.stick) and program.process.poll() is None \
                        and time.time() < deadline:
                    time.sleep(0.005)
                self.assertIsNone(program.process.poll(), "the run ended before it staged anything")
                if interruption == "pull":
                    pulled = self.stick + "-pulled"
                    os.rename(self.stick, pulled)
                    si.write_wmi_fixture(work, [])
                    self.assertEqual(1, program.wait(timeout=120))
                    os.rename(pulled, self.stick)
                    log = h.read_log(self.temp)
                    self.assertIn("CheckDriveConnected E:\\ is no longer attached", log)
                    self.assertRegex(log, r"Install failed: the drive is not among the attached USB "
                                          r"drives; %d bytes downloaded" % (os.path.getsize(zip_path) +
                                                                            os.path.getsize(manifest_path(self.served))))
                    self.assertEqual(1, sum(1 for r in server.requests() if not r.range), "downloads")
                else:
                    program.stop()
                self.assertTrue(self.staged_files(self.stick), interruption)
                si.write_wmi_fixture(work, ["E"])
                result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            log = h.read_log(self.temp)
            self.assertEqual(0, result.returncode, log)
            self.assertEqual(1 + (interruption == "kill"), log.count("Removed what an unfinished run left"))
            self.assertEqual({r["path"] for r in records} | {VERSION_RECORD}, unix_tree(self.stick), interruption)

    def test_packages_of_common_zip_writers_install_byte_for_byte(self):
        source = tempfile.mkdtemp(prefix="e2e-writers-", dir=h.BUILD_DIR)
        self.addCleanup(shutil.rmtree, source, True)
        tree = os.path.join(source, "tree")
        make_package.build_tree(tree, files=40, megabytes=0.5, seed=11)
        with open(os.path.join(tree, "docs", "\u041f\u0440\u043e\u0447\u0442\u0438.txt"), "wb") as handle:
            handle.write("\u0440\u0443\u0441\u0441\u043a\u0438\u0439\n".encode("utf-8") * 50)
        os.chmod(os.path.join(tree, "docs", "licence.txt"), 0o444)
        expected = {path: (None if os.path.isdir(os.path.join(tree, path))
                           else sha256(os.path.join(tree, path))) for path in unix_tree(tree)}
        writers = {
            "zip": ["zip", "-q", "-r", "{zip}", "."],
            "7z": ["7z", "a", "-tzip", "-bd", "{zip}", "."],
            "bsdtar": ["bsdtar", "--format", "zip", "-cf", "{zip}", "."],
            "jar": ["jar", "cfM", "{zip}", "."],
        }
        for writer, command in writers.items():
            package = os.path.join(source, writer + ".zip")
            subprocess.run([part.replace("{zip}", package) for part in command], cwd=tree, check=True,
                           stdout=subprocess.DEVNULL)
            with open(package, "rb") as handle:
                write_package(self.served, handle.read())
            h.remove_tree(self.stick)
            os.makedirs(self.stick)
            h.give_to_test_user(self.stick)
            with UpdateServer(self.served):
                result = self.install()
            self.assertEqual(0, result.returncode, writer + h.read_log(self.temp))
            installed = {path: (None if os.path.isdir(os.path.join(self.stick, path))
                                else sha256(os.path.join(self.stick, path)))
                         for path in unix_tree(self.stick) - {VERSION_RECORD}}
            self.assertEqual(expected, installed, writer)
            if writer != "jar":  # Java's writers store no attributes at all
                licence = si.windows_tree(h.exe("drive_probe"), h.win_path(self.stick))["docs/licence.txt"]
                self.assertEqual(0x1, licence[0] & 0x1, writer)


class HostileServerTest(unittest.TestCase):
    """The installer against the project's fault server on its update port."""

    def setUp(self):
        self.stick = h.scratch_dir("e2e-stick")
        self.temp = h.scratch_dir("e2e-temp")
        self.tls = trust_test_ca(TestTls())

    def tearDown(self):
        for folder in (self.stick, self.temp):
            h.remove_tree(folder)

    def install(self, behaviour):
        log_path = os.path.join(self.temp, "fault.log")
        self.manifest = signed_manifest(ZIP_BYTES)
        server = FaultServer({behaviour: ZIP_BYTES}, self.tls, log_path,
                             fixed_ports={behaviour: h.UPDATE_PORT}, lifetime=300,
                             manifests={behaviour: self.manifest})
        with server, si.usb_stick("E", self.stick) as wmi:
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            self.ended = time.time()
        return result, h.read_log(self.temp)

    def test_wrong_answers_never_reach_the_extraction(self):
        for behaviour in ("not_found", "short_body", "long_body", "misplaced_range"):
            h.remove_tree(h.work_folder(self.temp))
            result, log = self.install(behaviour)
            self.assertEqual(1, result.returncode, behaviour + log)
            self.assertEqual(2, log.count("ERROR [default] Unexpected HTTP response to "), log)
            self.assertNotRegex(log, r"Failed to open zip file|Reading the package's directory failed|Extracting .* failed")
            self.assertRegex(log, r"Install failed: the update server %s:%d answered wrongly: Unexpected HTTP "
                                  r"response.*; \d+ bytes downloaded" % (re.escape(h.UPDATE_HOST), h.UPDATE_PORT))
            self.assertEqual(set(), unix_tree(self.stick), behaviour)

    def test_one_reset_mid_range_still_installs_byte_for_byte(self):
        result, log = self.install("reset_mid_range")
        self.assertEqual(0, result.returncode, log)
        self.assertIn("broke off after 65536 of ", log)
        for record in RECORDS:
            if not record["dir"]:
                self.assertEqual(record["sha256"], sha256(os.path.join(self.stick, record["path"])))
        self.assertIn("Install succeeded: every entry extracted; %d bytes downloaded"
                      % (len(ZIP_BYTES) + len(self.manifest)),
                      log)

    def test_every_run_ends_within_a_second_of_its_last_line(self):
        # The first run has to start Wine's background services, which
        # inherit its output: the case where a run seemed never to end.
        h.restart_wine_server(persistent=False)
        self.addCleanup(h.restart_wine_server)
        for attempt in range(3):
            h.remove_tree(h.work_folder(self.temp))
            result, log = self.install("stall_mid_range")
            self.assertEqual(0, result.returncode, log)
            last = log.strip().splitlines()[-1]
            self.assertIn("Install succeeded", last)
            self.assertLess(self.ended - log_time(last), 1.0, "run %d: %s" % (attempt, last))

    def test_the_second_download_reaches_the_server_without_a_proxy(self):
        # The very first request gets an error page; the proxy-only second
        # download finds no automatic proxy here and goes direct.
        result, log = self.install("error_once")
        self.assertEqual(0, result.returncode, log)
        self.assertIn("no automatic proxy, going direct", log)
        self.assertEqual({r["path"] for r in RECORDS} | {VERSION_RECORD}, unix_tree(self.stick))


if __name__ == "__main__":
    unittest.main(verbosity=2)
