"""Updates that rebuild a changed member from a binary patch, end to end
under Wine against the real nginx: releases published by the vendor's own
tool, the patch list fetched beside the manifest, only the patches' bytes
fetched for the members they rebuild, and every way a patch can be wrong
costing the member's range in the same run, never the update."""
import hashlib
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import quillon_harness as h
import silent_install as si
from update_server import UpdateServer, signing_key

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "scripts"))
import package_patches  # noqa: E402

TOOL = os.path.join(h.SOURCE_DIR, "scripts", "publish-package")
FOLDER = "/SW_UPDATE/KT-QUILLON/"
ISSUED = "2026-12-01T10:00:00Z"
# Members that change a little from release to release, and one that does
# not change at all.
DATABASES = ["defs/main.db", "defs/small.db", "defs/other.db", "defs/ok.db"]
RELEASES = {}


def scattered_changes(data, rng, runs, length=64):
    data = bytearray(data)
    for _ in range(runs):
        at = rng.randrange(len(data) - length)
        data[at:at + length] = bytes(rng.getrandbits(8) for _ in range(length))
    return bytes(data)


def setUpModule():
    rng = random.Random(29)
    contents = {name: bytes(rng.getrandbits(8) for _ in range(size))
                for name, size in zip(DATABASES, (1200000, 300000, 200000, 150000))}
    program = os.urandom(60000)
    for version in (1, 2, 3):
        if version > 1:
            # About 1 % of each database, in scattered places.
            contents = {name: scattered_changes(data, rng, len(data) // 6400) for name, data in contents.items()}
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("Quillon.exe", program)
            archive.writestr("defs/", b"")
            for name in DATABASES:
                archive.writestr(name, contents[name])
            archive.writestr("readme.txt", b"Quillon\n" * 300)
        RELEASES[version] = out.getvalue()
    si.register_standin()


def member(data, name):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return archive.read(name)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def ranges_of(requests):
    return [tuple(map(int, r.range[len("bytes="):].split("-"))) for r in requests if r.range]


def span(data, name):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        starts = sorted(i.header_offset for i in archive.infolist()) + [archive.start_dir]
        first = archive.getinfo(name).header_offset
    return first, starts[starts.index(first) + 1] - 1


class BinaryPatchTest(unittest.TestCase):
    def setUp(self):
        self.stick = h.scratch_dir("patch-stick")
        self.temp = h.scratch_dir("patch-temp")
        self.releases = tempfile.mkdtemp(prefix="patch-releases-", dir=h.BUILD_DIR)
        self.served = tempfile.mkdtemp(prefix="patch-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)
        self.key = signing_key().key
        for version, data in RELEASES.items():
            with open(self.release_zip(version), "wb") as handle:
                handle.write(data)

    def tearDown(self):
        for folder in (self.stick, self.temp, self.served, self.releases):
            h.remove_tree(folder)

    def release_zip(self, version):
        return os.path.join(self.releases, "Quillon-%d.zip" % version)

    def site(self):
        return os.path.join(self.served, *FOLDER.strip("/").split("/"))

    def publish(self, version, previous=()):
        """Publishes a release with the vendor's tool, patches from
        `previous` releases; what it served before is gone."""
        shutil.rmtree(self.served)
        os.makedirs(self.site())
        args = [sys.executable, TOOL, self.release_zip(version), "--key", self.key, "--version", str(version),
                "--issued", ISSUED, "--out", self.site()]
        for earlier in previous:
            args += ["--previous", self.release_zip(earlier)]
        if not previous:
            args += ["--patch-releases", "0"]
        result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(0, result.returncode, result.stdout)
        for root, folders, files in os.walk(self.served):
            for name in folders:
                os.chmod(os.path.join(root, name), 0o755)

    def install(self, program=None):
        """One silent run; the exit code, the server's requests, the run's log."""
        before = len(h.read_log(self.temp)) if os.path.exists(h.work_folder(self.temp)) else 0
        with UpdateServer(self.served) as server, si.usb_stick("E", self.stick) as wmi:
            result = si.run_installer(program or h.exe("Installer"), "E:", self.temp, wmi)
            requests = server.requests()
        return result.returncode, requests, h.read_log(self.temp)[before:]

    def assert_stick_holds(self, version):
        with zipfile.ZipFile(io.BytesIO(RELEASES[version])) as archive:
            for info in archive.infolist():
                if not info.filename.endswith("/"):
                    with open(os.path.join(self.stick, *info.filename.split("/")), "rb") as handle:
                        self.assertEqual(sha(archive.read(info)), sha(handle.read()), info.filename)
        with open(os.path.join(self.stick, "Quillon.version")) as handle:
            self.assertEqual("quillon-package-version %d" % version, handle.readline().strip())

    def package_requests(self, requests, version):
        return [r for r in requests if r.uri == FOLDER + "Quillon-%d.zip" % version]

    def patch_requests(self, requests):
        return [r for r in requests if r.uri.startswith(FOLDER + "patches/")]

    def test_a_stick_two_releases_behind_fetches_only_the_patches_from_its_own_release(self):
        self.publish(1)
        code, requests, log = self.install()
        self.assertEqual(0, code, log)
        self.assertEqual([], self.patch_requests(requests), "a fresh stick needs no patch")

        self.publish(3, previous=(2, 1))
        code, requests, log = self.install()
        self.assertEqual(0, code, log)
        self.assert_stick_holds(3)
        v1, v3 = RELEASES[1], RELEASES[3]
        wanted = sorted(FOLDER + "patches/%s-%s.zst" % (sha(member(v1, name)), sha(member(v3, name)))
                        for name in DATABASES)
        patches = self.patch_requests(requests)
        self.assertEqual(wanted, sorted(r.uri for r in patches), "one patch each, from version 1, no chain")
        self.assertTrue(all(r.status == 206 for r in patches), patches)
        # Of the package, its tail and each rebuilt member's local header
        # (the entry's times and attributes): none of the members' data.
        package = ranges_of(self.package_requests(requests, 3))
        with zipfile.ZipFile(io.BytesIO(v3)) as archive:
            self.assertEqual((archive.start_dir, len(v3) - 1), package[0])
            headers = {archive.getinfo(name).header_offset: name for name in DATABASES}
        self.assertEqual(sorted(headers), sorted(first for first, _ in package[1:]))
        for first, last in package[1:]:
            self.assertLessEqual(last - first + 1, 30 + len(headers[first]) + 1024, headers[first])
        for name in DATABASES:
            self.assertIn('Rebuilt "%s"' % name, log)
        fetched = sum(r.bytes for r in patches)
        self.assertLess(fetched, sum(len(member(v3, name)) for name in DATABASES) // 10)
        self.assertEqual([], [f for f in os.listdir(os.path.join(h.work_folder(self.temp), "QL_Install_E"))],
                         "patches or rebuilt members left in the work folder")

    def test_every_wrong_patch_costs_its_member_in_the_same_run(self):
        self.publish(1)
        self.assertEqual(0, self.install()[0])
        # A release without patches: the list is not there, and members come.
        self.publish(2)
        code, requests, log = self.install()
        self.assertEqual(0, code, log)
        self.assert_stick_holds(2)
        self.assertIn("No binary patches for this update", log)
        asked = [r for r in requests if r.uri == FOLDER + package_patches.LIST_NAME]
        self.assertTrue(asked and all(r.status == 404 for r in asked), asked)

        # Release 3 with patches from 2 and 1, then spoilt on the server: one
        # patch damaged, one missing, one listed for the stick's file but
        # made from another, and a file on the stick over the decoder's
        # bound. Only defs/ok.db's patch is good.
        self.publish(3, previous=(2, 1))
        v2, v3 = RELEASES[2], RELEASES[3]

        def patch_file(old, name):
            return os.path.join(self.site(), "patches", "%s-%s.zst" % (sha(member(old, name)), sha(member(v3, name))))
        with open(patch_file(v2, "defs/main.db"), "r+b") as handle:
            handle.seek(100)
            byte = handle.read(1)
            handle.seek(100)
            handle.write(bytes([byte[0] ^ 0xFF]))
        os.unlink(patch_file(v2, "defs/small.db"))
        huge = b"\0" * (128 * 1024 * 1024 + 1)
        with open(os.path.join(self.stick, "readme.txt"), "wb") as handle:
            handle.write(huge)
        # As a release that shipped it would have recorded it: the run then
        # knows the file's SHA-256, and a listed patch could start from it.
        record = os.path.join(self.stick, "Quillon.version")
        with open(record) as handle:
            text = handle.read()
        with open(record, "w") as handle:
            handle.write(text.replace("file %d readme.txt" % len(member(v2, "readme.txt")),
                                      "file %d readme.txt" % len(huge)))
        # The list as the tool signed it, but for other.db from the stick's
        # release a patch to the right member made from another file (the
        # member with its bytes moved round), and a patch for the file over
        # the bound.
        unrelated = os.path.join(self.releases, "unrelated")
        moved = member(v3, "defs/other.db")
        with open(unrelated, "wb") as handle:
            handle.write(moved[1000:] + moved[:1000])
        target = os.path.join(self.releases, "other.db")
        with open(target, "wb") as handle:
            handle.write(member(v3, "defs/other.db"))
        wrong = FOLDER + "patches/wrong-base.zst"
        wrong_path = os.path.join(self.site(), "patches", "wrong-base.zst")
        subprocess.run(["zstd", "-q", "-19", "--patch-from=" + unrelated, target, "-o", wrong_path], check=True,
                       stderr=subprocess.DEVNULL)
        os.chmod(wrong_path, 0o644)
        with open(wrong_path, "rb") as handle:
            other_base = handle.read()
        entries = [e for e in self.listed() if e[0] != sha(member(v2, "defs/other.db"))]
        entries.append((sha(member(v2, "defs/other.db")), sha(member(v3, "defs/other.db")), len(other_base),
                        sha(other_base), wrong))
        entries.append((sha(huge), sha(member(v3, "readme.txt")), 10, sha(b"0123456789"),
                        FOLDER + "patches/too-big.zst"))
        self.write_list(3, sorted(entries))

        code, requests, log = self.install()
        self.assertEqual(0, code, log)
        self.assert_stick_holds(3)
        asked = sorted(r.uri for r in self.patch_requests(requests) if r.range or r.status == 404)
        self.assertNotIn(FOLDER + "patches/too-big.zst", asked, "a patch asked for over the bound")
        self.assertIn(wrong, asked)
        self.assertIn('Rebuilt "defs/ok.db"', log)
        whole = [line for line in log.splitlines() if "whole instead of patching it" in line]
        self.assertEqual(sorted(["defs/main.db", "defs/small.db", "defs/other.db", "readme.txt"]),
                         sorted(line.split('"')[1] for line in whole), log)
        self.assertEqual(1, log.count("the patch decoder takes"), log)
        # The four members that were not rebuilt, from the package; of
        # ok.db only its header.
        package = ranges_of(self.package_requests(requests, 3))
        for name in ("defs/main.db", "defs/small.db", "defs/other.db", "readme.txt"):
            first, last = span(v3, name)
            self.assertTrue(any(a <= first and last <= b for a, b in package), (name, package))
        first, last = span(v3, "defs/ok.db")
        self.assertFalse(any(a <= (first + last) // 2 <= b for a, b in package), "defs/ok.db fetched whole")

    @unittest.skipUnless(os.environ.get("QUILLON_FIELD_INSTALLER"),
                         "QUILLON_FIELD_INSTALLER names no installer of an earlier release")
    def test_an_installer_that_knows_no_patches_installs_a_release_published_with_them(self):
        """QUILLON_FIELD_INSTALLER: Installer.exe of a release before patches,
        built with this build's package key and update port
        (-DQUILLON_PACKAGE_KEYS=<build>/package-signing/test-package.pub.pem
        -DQUILLON_UPDATE_HOST=localhost -DQUILLON_UPDATE_PORT=<port>)."""
        field = os.environ["QUILLON_FIELD_INSTALLER"]
        self.publish(1)
        self.assertEqual(0, self.install(field)[0])
        self.publish(3, previous=(2, 1))
        self.assertTrue(os.path.exists(os.path.join(self.site(), package_patches.LIST_NAME)))
        code, requests, log = self.install(field)
        self.assertEqual(0, code, log)
        self.assert_stick_holds(3)
        self.assertEqual([], [r.uri for r in requests if r.uri.startswith(FOLDER + "patches")
                              or r.uri == FOLDER + package_patches.LIST_NAME])

    def listed(self):
        with open(os.path.join(self.site(), package_patches.LIST_NAME), "rb") as handle:
            lines = handle.read().decode().splitlines()
        return [tuple(int(f) if i == 2 else f for i, f in enumerate(line.split(" ")[1:]))
                for line in lines if line.startswith("patch ")]

    def write_list(self, version, entries):
        with open(os.path.join(self.site(), "Quillon.manifest"), "rb") as handle:
            manifest = handle.read()
        with open(os.path.join(self.site(), package_patches.LIST_NAME), "wb") as handle:
            handle.write(package_patches.signed_list(signing_key(), manifest, version, entries))


if __name__ == "__main__":
    unittest.main()
