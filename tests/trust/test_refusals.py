"""Only a package the vendor signed reaches the stick: the real program,
the real HTTPS server, and every way a manifest or a package can be wrong.
Each refusal fails the run with one line that says why, fetches once more
(the pipeline's retry), and leaves the stick exactly as it was."""
import datetime
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

import quillon_harness as h
from update_server import UpdateServer, signed_manifest, version_record, write_manifest, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(h.SOURCE_DIR, "scripts"))
import package_manifest  # noqa: E402
import silent_install as si  # noqa: E402

VERSION_RECORD = "Quillon.version"


def make_zip(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members:
            info = zipfile.ZipInfo("placeholder", date_time=(2026, 12, 1, 10, 0, 0))
            info.filename = name
            info.compress_type = zipfile.ZIP_DEFLATED if data else zipfile.ZIP_STORED
            archive.writestr(info, data)
    return buffer.getvalue()


MEMBERS = [("Quillon.exe", os.urandom(40000)), ("defs/", b""),
           ("defs/main.dat", b"definitions\n" * 3000), ("licence.txt", b"licence\n" * 100)]
PACKAGE = make_zip(MEMBERS)


def listed(data):
    return package_manifest.describe_members(data)[0]


def stored_member_swapped(data, name, replacement):
    """The package with one stored member's bytes replaced by others of the
    same length and its CRC-32 fixed to match: whole to a zip reader, not
    what the vendor signed."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = archive.getinfo(name)
    assert info.compress_type == zipfile.ZIP_STORED and len(replacement) == info.file_size
    changed = bytearray(data)
    local = info.header_offset
    start = local + 30 + int.from_bytes(changed[local + 26:local + 28], "little") + \
        int.from_bytes(changed[local + 28:local + 30], "little")
    changed[start:start + len(replacement)] = replacement
    crc = zlib.crc32(replacement).to_bytes(4, "little")
    changed[local + 14:local + 18] = crc
    central = _central_entry(data, name)
    changed[central + 16:central + 20] = crc
    return bytes(changed)


def _central_entry(data, name):
    encoded = name.encode()
    at = 0
    while True:
        at = data.index(b"PK\x01\x02", at)
        length = int.from_bytes(data[at + 28:at + 30], "little")
        if data[at + 46:at + 46 + length] == encoded:
            return at
        at += 4


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        si.register_standin()

    def setUp(self):
        self.stick = h.scratch_dir("trust-stick")
        self.temp = h.scratch_dir("trust-temp")
        self.served = tempfile.mkdtemp(prefix="trust-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)

    def tearDown(self):
        for folder in (self.stick, self.temp, self.served):
            h.remove_tree(folder)

    def install(self):
        log = os.path.join(h.work_folder(self.temp), "Installer.log")
        if os.path.exists(log):
            os.remove(log)
        with UpdateServer(self.served) as server, si.usb_stick("E", self.stick) as wmi:
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            requests = server.requests()
        return result, h.read_log(self.temp), requests

    def stick_state(self):
        state = {}
        for root, _, files in os.walk(self.stick):
            for name in files:
                path = os.path.join(root, name)
                with open(path, "rb") as handle:
                    state[os.path.relpath(path, self.stick)] = hashlib.sha256(handle.read()).hexdigest()
        return state

    def assert_refused(self, what, reason, before):
        result, log, requests = self.install()
        self.assertEqual(1, result.returncode, what + "\n" + log)
        refusals = [line for line in log.splitlines() if "ERROR [default] Package refused: " in line]
        # Fetched once: this machine has no automatic proxy that could have
        # damaged the bytes, and the server's own would be refused again.
        self.assertEqual(1, len(refusals), "%s: one refusal, no second fetch\n%s" % (what, log))
        # One length request for the manifest: one attempt.
        self.assertEqual(1, sum(1 for r in requests if r.uri.endswith(".manifest") and not r.range), (what, requests))
        self.assertIn(reason, refusals[0], what)
        self.assertRegex(log, r"Install failed: Package refused: .*%s" % reason.replace("(", r"\("), what)
        self.assertEqual(before, self.stick_state(), what + ": the stick changed")
        work = os.path.join(h.work_folder(self.temp), "QL_Install_E")
        self.assertEqual([], [n for n in os.listdir(work) if n.startswith("Quillon.")] if os.path.isdir(work) else [],
                         what + ": the package or the manifest stayed")

    def test_every_refusal_leaves_the_stick_as_it_was(self):
        stranger = self.served + "-stranger.key"
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-out", stranger], check=True)
        self.addCleanup(os.remove, stranger)
        good = signed_manifest(PACKAGE)
        changed = bytearray(PACKAGE)
        changed[100] ^= 0x01
        unlisted = listed(PACKAGE)[:-1]
        extra = listed(PACKAGE) + [("extra.txt", 1, hashlib.sha256(b"x").hexdigest())]
        stored = make_zip_stored([("Quillon.exe", b"A" * 5000)])
        swapped = stored_member_swapped(stored, "Quillon.exe", b"B" * 5000)
        twins = make_zip([("Quillon.exe", b"1"), ("QUILLON.EXE", b"2")])
        twins_listed = [("Quillon.exe", 1, hashlib.sha256(b"1").hexdigest()),
                        ("QUILLON.EXE", 1, hashlib.sha256(b"2").hexdigest())]

        # (what, package bytes, manifest bytes or None for none, reason in the log)
        cases = [
            ("no manifest", PACKAGE, None, None),
            ("empty manifest", PACKAGE, b"", "the manifest is empty"),
            ("truncated manifest", PACKAGE, good[:len(good) // 2], "the manifest cannot be used"),
            ("unknown format", PACKAGE, good.replace(b"quillon-manifest 1", b"quillon-manifest 9", 1),
             "format 9 is not one this installer knows"),
            ("damaged signature", PACKAGE, good[:-10] + (b"0" if good[-10:-9] != b"0" else b"1") + good[-9:],
             "the signature does not match the manifest"),
            ("another key", PACKAGE, signed_manifest(PACKAGE, key=package_manifest.SigningKey(stranger)),
             "which this installer does not trust"),
            ("changed after signing", PACKAGE, good.replace(b"version 1\n", b"version 2\n", 1),
             "the signature does not match the manifest"),
            ("longer than signed", PACKAGE + b"\0" * 100, good, "the signed size is %d" % len(PACKAGE)),
            ("shorter than signed", PACKAGE[:-100], good, "the signed size is %d" % len(PACKAGE)),
            ("other bytes", bytes(changed), good, "the package's SHA-256 differs from the signed one"),
            ("member changed, CRC fixed", swapped, signed_manifest(swapped, members=listed(stored)),
             "\"Quillon.exe\" differs from its signed SHA-256"),
            ("member not listed", PACKAGE, signed_manifest(PACKAGE, members=unlisted),
             "which the manifest does not list"),
            ("listed member missing", PACKAGE, signed_manifest(PACKAGE, members=extra),
             "\"extra.txt\", which the package lacks"),
            ("one file twice", twins, signed_manifest(twins, members=twins_listed), "are one file on the drive"),
        ]
        for what, package, manifest, reason in cases:
            with self.subTest(what):
                write_package(self.served, package, signed=False)
                manifest_file = os.path.join(self.served, "SW_UPDATE", "KT-QUILLON", "Quillon.manifest")
                if manifest is None:
                    if os.path.exists(manifest_file):
                        os.remove(manifest_file)
                    result, log, requests = self.install()
                    self.assertEqual(1, result.returncode, log)
                    self.assertEqual(2, log.count("The package manifest /SW_UPDATE/KT-QUILLON/Quillon.manifest "
                                                  "could not be fetched"), log)
                    self.assertFalse([r for r in requests if r.uri.endswith(".zip")], "fetched without a manifest")
                    self.assertEqual({}, self.stick_state())
                    continue
                write_manifest(self.served, manifest)
                self.assert_refused(what, reason, {})

    def test_the_version_only_goes_up_and_the_same_one_installs_again(self):
        write_package(self.served, PACKAGE, version=5)
        result, log, _ = self.install()
        self.assertEqual(0, result.returncode, log)
        before = self.stick_state()
        self.assertEqual(hashlib.sha256(version_record(PACKAGE, 5).encode()).hexdigest(), before[VERSION_RECORD])

        older = make_zip(MEMBERS[:-1] + [("licence.txt", b"old licence\n")])
        write_package(self.served, older, version=4)
        result, log, requests = self.install()
        self.assertEqual(1, result.returncode, log)
        self.assertIn("Package refused: version 4 is older than version 5 on the drive", log)
        self.assertFalse([r for r in requests if r.uri.endswith(".zip")], "an older package was fetched")
        self.assertEqual(before, self.stick_state())

        # The same version again repairs what is there; an expired manifest
        # is still installed (a wrong clock must not strand anyone), and
        # the log says so.
        with open(os.path.join(self.stick, "licence.txt"), "wb") as handle:
            handle.write(b"damaged")
        past = datetime.datetime(2025, 1, 1, tzinfo=datetime.timezone.utc)
        write_package(self.served, PACKAGE, version=5, issued=past, expires=past + datetime.timedelta(days=30))
        result, log, _ = self.install()
        self.assertEqual(0, result.returncode, log)
        self.assertIn("Version 5 is on the drive already; installing it again", log)
        self.assertIn("The package manifest expired on 2025-01-31T00:00:00Z", log)
        self.assertEqual(before, self.stick_state())


def make_zip_stored(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name, data in members:
            archive.writestr(zipfile.ZipInfo(name, date_time=(2026, 12, 1, 10, 0, 0)), data)
    return buffer.getvalue()


if __name__ == "__main__":
    unittest.main()
