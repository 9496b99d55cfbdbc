"""Updates of a stick under Wine with the real program: the files the new
version no longer ships go and nothing of the user's does, a re-install
removes nothing, and a scanner that holds a freshly staged file for a
moment is waited for.
"""
import io
import os
import sys
import tempfile
import unittest
import zipfile

import quillon_harness as h
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
import silent_install as si  # noqa: E402


def package(files):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data, compress_type=zipfile.ZIP_STORED if data is None else zipfile.ZIP_DEFLATED)
    return out.getvalue()


V1 = {"Quillon.exe": b"program 1" * 1000, "bin/": b"", "bin/core.dll": b"core" * 500, "docs/": b"",
      "docs/licence.txt": b"the licence", "Logs/": b"", "Logs/empty.log": b""}
V2 = {"Quillon.exe": b"program 2" * 1000, "bin/": b"", "bin/core.dll": b"core" * 500, "Logs/": b""}


files_on = h.files_under


def setUpModule():
    si.register_standin()


class StickUpdateTest(unittest.TestCase):
    def setUp(self):
        self.stick = h.scratch_dir("updates-stick")
        self.served = tempfile.mkdtemp(prefix="updates-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)
        self.addCleanup(h.remove_tree, self.stick)
        self.addCleanup(h.remove_tree, self.served)

    def install(self, files, version):
        write_package(self.served, package(files), version=version)
        temp = h.scratch_dir("updates-temp")
        self.addCleanup(h.remove_tree, temp)
        with UpdateServer(self.served), si.usb_stick("E", self.stick) as wmi:
            result = si.run_installer(h.exe("Installer"), "E:", temp, wmi)
        return result.returncode, h.read_log(temp)

    def user_file(self, name, data):
        path = os.path.join(self.stick, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(data)
        h.give_to_test_user(self.stick)

    def test_an_update_removes_what_the_new_version_no_longer_ships_and_nothing_else(self):
        code, log = self.install(V1, 1)
        self.assertEqual(0, code, log)
        self.user_file("notes.txt", b"the user's")
        self.user_file("Logs/mine.log", b"the user's log")
        code, log = self.install(V2, 2)
        self.assertEqual(0, code, log)
        on_stick = files_on(self.stick)
        del on_stick["Quillon.version"]
        expected = {n: d for n, d in V2.items() if not n.endswith("/")}
        expected.update({"bin/": None, "Logs/": None, "notes.txt": b"the user's", "Logs/mine.log": b"the user's log"})
        self.assertEqual(expected, on_stick)
        self.assertIn('Removing "docs/licence.txt": the new version no longer ships it', log)

        # The same version again: the record lists only what it installed,
        # and a file of an old name the user put back stays.
        self.user_file("docs/licence.txt", b"kept by the user")
        before = files_on(self.stick)
        code, log = self.install(V2, 2)
        self.assertEqual(0, code, log)
        self.assertEqual(before, files_on(self.stick))
        self.assertNotIn("Removing", log)

    def test_a_scanner_that_holds_a_staged_file_for_a_moment_is_waited_for(self):
        code, log = self.install(V1, 1)
        self.assertEqual(0, code, log)
        before = files_on(self.stick)
        marker = os.path.join(self.served, "held")
        holder = h.start(h.exe("hold_staged"), h.win_path(self.stick), 1500, h.win_path(marker),
                         output=os.path.join(self.served, "holder.out"))
        self.addCleanup(holder.stop)
        code, log = self.install(V2, 2)
        holder.wait(timeout=60)
        self.assertTrue(any(line.startswith("held ~ql") for line in holder.lines()), holder.lines())
        self.assertEqual(0, code, log)
        self.assertNotEqual(before, files_on(self.stick))
        self.assertRegex(log, r"Waited \d+ ms for .*~ql[0-9A-F]{4}\.tmp, which another program held \(error 32\)")
        self.assertEqual(1, log.count("which another program held"), "one line per file")


if __name__ == "__main__":
    unittest.main(verbosity=2)
