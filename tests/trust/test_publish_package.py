"""The vendor's publishing tool, checked from outside: what it writes is
verified by openssl alone (not by the tool's own code), for a plain key, a
password-protected key and a key that never leaves a PKCS#11 token; the
patches it publishes are decoded by Debian's zstd alone."""
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE_DIR = os.environ["QUILLON_SOURCE_DIR"]
TOOL = os.path.join(SOURCE_DIR, "scripts", "publish-package")
ISSUED = "2026-12-01T10:00:00Z"


def openssl(*args, **kwargs):
    return subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, **kwargs).stdout


def der_signature(raw):
    """r||s as the DER ECDSA-Sig-Value openssl verifies."""
    def integer(value):
        body = value.lstrip(b"\0") or b"\0"
        if body[0] & 0x80:
            body = b"\0" + body
        return b"\x02" + bytes([len(body)]) + body
    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


class PublishingTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="publish-")
        cls.zip_path = os.path.join(cls.work, "release.zip")
        with zipfile.ZipFile(cls.zip_path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("Quillon.exe", os.urandom(70000))
            archive.writestr("defs/", b"")
            archive.writestr("defs/signatures été.dat", b"definitions\n" * 4000)
        cls.key = os.path.join(cls.work, "vendor.key")
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", cls.key)
        cls.public = os.path.join(cls.work, "vendor.pub.pem")
        openssl("pkey", "-in", cls.key, "-pubout", "-out", cls.public)

    def publish(self, key, out, password=None, extra=(), package=None):
        env = dict(os.environ)
        env.pop("QUILLON_PACKAGE_KEY_PASSWORD", None)
        if password is not None:
            env["QUILLON_PACKAGE_KEY_PASSWORD"] = password
        return subprocess.run([sys.executable, TOOL, package or self.zip_path, "--key", key, "--version", "12",
                               "--issued", ISSUED, "--out", os.path.join(self.work, out)] + list(extra),
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def read_manifest(self, out):
        with open(os.path.join(self.work, out, "Quillon.manifest"), "rb") as handle:
            return handle.read()

    def assert_verified_by_openssl(self, manifest, public):
        body, _, last = manifest.rstrip(b"\n").rpartition(b"\n")
        body += b"\n"
        self.assertTrue(last.startswith(b"signature "), last)
        signature = os.path.join(self.work, "signature.der")
        with open(signature, "wb") as handle:
            handle.write(der_signature(bytes.fromhex(last[len(b"signature "):].decode())))
        verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature", signature],
                                  input=body, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(0, verified.returncode, verified.stdout)
        point = openssl("pkey", "-pubin", "-in", public, "-outform", "DER")[-64:]
        self.assertIn(b"key %s\n" % hashlib.sha256(point).hexdigest()[:16].encode(), body)
        return body

    def test_manifest_describes_the_package_and_verifies_with_openssl(self):
        result = self.publish(self.key, "plain")
        self.assertEqual(0, result.returncode, result.stdout)
        body = self.assert_verified_by_openssl(self.read_manifest("plain"), self.public)
        with open(self.zip_path, "rb") as handle:
            data = handle.read()
        with open(os.path.join(self.work, "plain", "Quillon-12.zip"), "rb") as handle:
            self.assertEqual(data, handle.read(), "the versioned package is the zip")
        lines = body.decode("utf-8").splitlines()
        self.assertEqual("quillon-manifest 1", lines[0])
        self.assertEqual("version 12", lines[2])
        self.assertEqual("issued " + ISSUED, lines[3])
        self.assertEqual("package /SW_UPDATE/KT-QUILLON/Quillon-12.zip %d %s"
                         % (len(data), hashlib.sha256(data).hexdigest()), lines[5])
        offset, length, digest = lines[6].split(" ")[1:]
        self.assertEqual(len(data), int(offset) + int(length))
        self.assertEqual(data[int(offset):int(offset) + 4], b"PK\x01\x02", "the tail starts at the directory")
        self.assertEqual(hashlib.sha256(data[int(offset):]).hexdigest(), digest)
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            wanted = ["member %d %s %s" % (info.file_size, hashlib.sha256(archive.read(info)).hexdigest(),
                                           info.filename) for info in archive.infolist()]
        self.assertEqual(wanted, lines[7:])

        # The same inputs give the same manifest; only the ECDSA signature,
        # which is randomised, differs.
        self.assertEqual(0, self.publish(self.key, "again").returncode)
        self.assertEqual(body, self.assert_verified_by_openssl(self.read_manifest("again"), self.public))

    def test_a_password_protected_key_signs_and_a_wrong_password_does_not(self):
        encrypted = os.path.join(self.work, "encrypted.key")
        openssl("pkey", "-in", self.key, "-aes256", "-passout", "pass:correct horse", "-out", encrypted)
        result = self.publish(encrypted, "encrypted", password="correct horse")
        self.assertEqual(0, result.returncode, result.stdout)
        self.assert_verified_by_openssl(self.read_manifest("encrypted"), self.public)
        result = self.publish(encrypted, "wrong", password="wrong")
        self.assertNotEqual(0, result.returncode)
        self.assertFalse(os.path.exists(os.path.join(self.work, "wrong", "Quillon.manifest")))

    def test_a_key_in_a_pkcs11_token_signs(self):
        tokens = os.path.join(self.work, "tokens")
        os.makedirs(tokens)
        config = os.path.join(self.work, "softhsm2.conf")
        with open(config, "w") as handle:
            handle.write("directories.tokendir = %s\nobjectstore.backend = file\n" % tokens)
        os.environ["SOFTHSM2_CONF"] = config
        subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "vendor", "--pin", "4321",
                        "--so-pin", "8765"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["softhsm2-util", "--import", self.key, "--token", "vendor", "--label", "packages",
                        "--id", "0a", "--pin", "4321"], check=True, stdout=subprocess.DEVNULL)
        uri = "pkcs11:token=vendor;object=packages;type=private"
        result = self.publish(uri, "token", password="4321",
                              extra=["--pkcs11-module", "/usr/lib/softhsm/libsofthsm2.so"])
        self.assertEqual(0, result.returncode, result.stdout)
        self.assert_verified_by_openssl(self.read_manifest("token"), self.public)
        self.assertNotEqual(0, self.publish(uri, "badpin", password="0000").returncode)

    def test_patches_from_earlier_releases_decode_with_zstd_alone_and_are_listed_signed(self):
        import random
        rng = random.Random(29)
        base = bytes(rng.getrandbits(8) for _ in range(300000))
        releases = []
        for version in (1, 2, 3):
            data = bytearray(base)
            for _ in range(version * 20):
                at = rng.randrange(len(data) - 64)
                data[at:at + 64] = bytes(rng.getrandbits(8) for _ in range(64))
            path = os.path.join(self.work, "release%d.zip" % version)
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
                archive.writestr("defs/", b"")
                archive.writestr("defs/db.dat", bytes(data))
                # Changed through and through: a patch is no smaller.
                archive.writestr("Quillon.exe", os.urandom(40000))
                archive.writestr("same.txt", b"unchanged\n" * 100)
            releases.append(path)
        out = os.path.join(self.work, "patched")
        self.assertEqual(0, self.publish_version(releases[0], 1, out).returncode)
        self.assertFalse(os.path.exists(os.path.join(out, "Quillon.patches")), "a list with no earlier release")
        self.assertEqual(0, self.publish_version(releases[1], 2, out).returncode)
        result = self.publish_version(releases[2], 3, out)
        self.assertEqual(0, result.returncode, result.stdout)
        manifest = self.assert_verified_by_openssl(self.read_manifest("patched"), self.public)
        with open(os.path.join(out, "Quillon.patches"), "rb") as handle:
            listed = handle.read()
        body = self.assert_verified_by_openssl(listed, self.public)
        lines = body.decode().splitlines()
        self.assertEqual(["quillon-patches 1", "version 3", "manifest " + hashlib.sha256(manifest).hexdigest()],
                         [lines[0], lines[2], lines[3]])

        def member(path, name):
            with zipfile.ZipFile(path) as archive:
                return archive.read(name)
        new = member(releases[2], "defs/db.dat")
        olds = {hashlib.sha256(member(path, "defs/db.dat")).hexdigest(): member(path, "defs/db.dat")
                for path in releases[:2]}
        patches = [line.split(" ") for line in lines[4:]]
        # One patch from each of the two earlier releases, for the one
        # member that changed a little; none for the rewritten program.
        self.assertEqual(sorted(olds), sorted(p[1] for p in patches))
        for _, old_sha, new_sha, size, sha, address in patches:
            self.assertEqual(hashlib.sha256(new).hexdigest(), new_sha)
            self.assertEqual("/SW_UPDATE/KT-QUILLON/patches/%s-%s.zst" % (old_sha, new_sha), address)
            patch = os.path.join(out, address[len("/SW_UPDATE/KT-QUILLON/"):])
            with open(patch, "rb") as handle:
                data = handle.read()
            self.assertEqual((int(size), sha), (len(data), hashlib.sha256(data).hexdigest()))
            self.assertLess(len(data), len(new) // 10)
            old = os.path.join(self.work, "old.dat")
            with open(old, "wb") as handle:
                handle.write(olds[old_sha])
            decoded = subprocess.run(["zstd", "-d", "-c", "--patch-from=" + old, patch], check=True,
                                     stdout=subprocess.PIPE).stdout
            self.assertEqual(new, decoded)

        # The same inputs give the same list and manifest, signatures aside;
        # without earlier releases there is no list at all.
        again = os.path.join(self.work, "patched-again")
        for version, path in enumerate(releases, 1):
            self.assertEqual(0, self.publish_version(path, version, again).returncode)
        self.assertEqual(manifest, self.assert_verified_by_openssl(self.read_manifest("patched-again"), self.public))
        with open(os.path.join(again, "Quillon.patches"), "rb") as handle:
            self.assertEqual(body, self.assert_verified_by_openssl(handle.read(), self.public))
        alone = self.publish_version(releases[2], 3, out, extra=["--patch-releases", "0"])
        self.assertEqual(0, alone.returncode, alone.stdout)
        self.assertFalse(os.path.exists(os.path.join(out, "Quillon.patches")), "a list left for another manifest")

    def publish_version(self, package, version, out, extra=()):
        return subprocess.run([sys.executable, TOOL, package, "--key", self.key, "--version", str(version),
                               "--issued", ISSUED, "--out", out] + list(extra),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def test_packages_the_installer_would_refuse_are_not_signed(self):
        cases = {
            "climbs out": [("../Quillon.exe", b"x")],
            "one file twice": [("Quillon.exe", b"x"), ("QUILLON.EXE", b"y")],
            "backslash": [("bin\\Quillon.exe", b"x")],
        }
        for what, members in cases.items():
            path = os.path.join(self.work, "bad.zip")
            with zipfile.ZipFile(path, "w") as archive:
                for name, data in members:
                    info = zipfile.ZipInfo("placeholder")
                    info.filename = name  # as stored, unchecked
                    archive.writestr(info, data)
            result = self.publish(self.key, "bad", package=path)
            self.assertNotEqual(0, result.returncode, what)
            self.assertIn("publish-package:", result.stdout, what)
            self.assertFalse(os.path.exists(os.path.join(self.work, "bad", "Quillon.manifest")), what)


if __name__ == "__main__":
    unittest.main()
