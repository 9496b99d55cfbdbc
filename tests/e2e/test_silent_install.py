"""The silent install of the shipped program, end to end under Wine: a
stand-in USB stick as E:, the local update server, a realistic package.
"""
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest
import zipfile

import quillon_harness as h
import silent_install as si
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
import make_package  # noqa: E402

PACKAGE_DIR = None
RECORDS = None
ZIP_BYTES = None


def setUpModule():
    global PACKAGE_DIR, RECORDS, ZIP_BYTES
    PACKAGE_DIR = tempfile.mkdtemp(prefix="e2e-package-", dir=h.BUILD_DIR)
    zip_path, RECORDS = make_package.make_package(PACKAGE_DIR, files=300, megabytes=4.0, seed=5)
    with open(zip_path, "rb") as handle:
        ZIP_BYTES = handle.read()
    si.register_standin()


def tearDownModule():
    shutil.rmtree(PACKAGE_DIR, ignore_errors=True)


def sha256(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


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
        self.assertEqual(set(expected), unix_tree(self.stick))
        for path, record in expected.items():
            if not record["dir"]:
                self.assertEqual(record["sha256"], sha256(os.path.join(self.stick, path)), path)

        # The link for E: is gone once the run is over; the same folder is
        # read through Wine's Z: drive.
        seen = si.windows_tree(h.exe("drive_probe"), h.win_path(self.stick))
        self.assertEqual(set(expected), set(seen), "tree as Windows reports it")
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
        # The first download fails directly, the second through the
        # automatically found proxy, which this machine has none of.
        self.assertIn("WinHttpSendRequest failed Last error: ", log)
        self.assertEqual(1, log.count("Sending WinHttpRequest failed Last error: "), log)
        self.assertEqual(set(), unix_tree(self.stick))

    def test_a_damaged_package_is_fetched_again_and_the_run_fails(self):
        # Corrupt the data of one deflated member in the middle of the
        # archive: its CRC no longer matches, the entries before it extract.
        damaged = bytearray(ZIP_BYTES)
        victim = next(r for r in RECORDS[len(RECORDS) // 2:]
                      if not r["dir"] and not r.get("stored") and r["size"] > 1000)
        with zipfile.ZipFile(os.path.join(PACKAGE_DIR, "Quillon.zip")) as archive:
            info = archive.getinfo(victim["path"])
        header = info.header_offset
        name_length = int.from_bytes(damaged[header + 26:header + 28], "little")
        extra_length = int.from_bytes(damaged[header + 28:header + 30], "little")
        data = header + 30 + name_length + extra_length
        for offset in range(data + 10, data + 40):
            damaged[offset] ^= 0x5A
        write_package(self.served, bytes(damaged))
        with UpdateServer(self.served) as server:
            result = self.install()
            package_gets = [r for r in server.requests() if r.status in (200, 206)]
        log = h.read_log(self.temp)
        self.assert_failed_cleanly(result, log)
        extraction_failures = len(re.findall(
            r"ERROR +\[default\] (Failed to open zip file|GetZipItem failed|UnzipItem failed)"
            r" Last error: ", log))
        # The retry fetches through the automatically found proxy only. With
        # one, the package is extracted (and fails) a second time; without,
        # the retry's download is what fails.
        if "Sending WinHttpRequest failed Last error: " in log:
            self.assertEqual(1, extraction_failures, log)
        else:
            self.assertEqual(2, extraction_failures, log)
        self.assertTrue(package_gets)
        # What was installed before the damaged entry is complete; the
        # damaged entry never looks installed.
        victim_path = os.path.join(self.stick, victim["path"])
        if os.path.exists(victim_path):
            self.assertNotEqual(victim["sha256"], sha256(victim_path))
            seen = si.windows_tree(h.exe("drive_probe"), h.win_path(self.stick))
            self.assertNotEqual(si.filetime_of_unix(victim["mtime"]), seen[victim["path"]][1])
        for record in RECORDS:
            path = os.path.join(self.stick, record["path"])
            if record is not victim and not record["dir"] and os.path.exists(path):
                self.assertEqual(record["sha256"], sha256(path), record["path"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
