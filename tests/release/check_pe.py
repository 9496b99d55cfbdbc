"""Checks what a Windows user gets: the shipped Installer.exe as a file.

The release build is 32-bit and cannot run on a machine without 32-bit user
code, so it is checked here by reading its PE headers and resources:
32-bit, GUI subsystem, nothing but kernel32 and the C runtime imported
(self-contained, and no other DLL resolved as the process starts), the
manifest, the version resource, the icon, the licence document and, when
given the certificate chain it was signed with, an Authenticode signature
that verifies to that chain.
Usage: check_pe.py PATH-TO-Installer.exe EXPECTED-MACHINE (i686 or x86_64) [SIGNER-CHAIN.pem]
"""
import os
import re
import struct
import subprocess
import sys
import unittest
import zlib

RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 5, 14, 16, 24
LICENCE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Installer",
                              "res", "Licence.rtf")
# The dialogs' templates and images, with the images' sizes in pixels: at
# 96 dpi, and drawn for 120, 144 and 192 dpi under their numbers plus 1000,
# 2000 and 3000 at those sizes scaled (to the nearest pixel, a half up).
DIALOGS = (102, 301, 302)
BITMAPS_AT_96 = {300: (278, 450), 302: (278, 171), 309: (122, 30), 310: (122, 30), 315: (123, 31),
                 316: (100, 48), **{i: (16, 16) for i in (303, 304, 305, 306, 307, 308, 311)},
                 **{i: (36, 13) for i in (317, 318, 319)}}
BITMAPS = {number + added: tuple((v * dpi * 2 + 96) // 192 for v in size)
           for dpi, added in ((96, 0), (120, 1000), (144, 2000), (192, 3000))
           for number, size in BITMAPS_AT_96.items()}
# The icon's sizes: the small and large icons at 100 to 200 % scaling, and 256.
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
# Resolved when the process starts, before the program can restrict where
# DLLs come from: only known DLLs, which Windows never takes from the
# program's folder. Every other DLL is delay-loaded. A MinGW runtime DLL here
# would also mean the program does not run on its own.
LOADED_WITH_THE_PROCESS = {"kernel32.dll", "msvcrt.dll"}


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as handle:
            self.data = handle.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", d, optional)[0]
        self.subsystem = struct.unpack_from("<H", d, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError("address outside every section: %#x" % rva)

    def string(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        entry = self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, entry)
            if not any(fields):
                return names
            names.append(self.string(self.offset(fields[3])))
            entry += 20

    def resources(self):
        """{(type, id): bytes}; a named type or id is its string. The
        languages each resource is stored under go to self.languages."""
        rva, _ = self.directories[2]
        found = {}
        self.languages = {}
        if rva == 0:
            return found
        base = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                yield key, target

        def key_of(key):
            if not key & 0x80000000:
                return key
            at = base + (key & 0x7FFFFFFF)
            length = struct.unpack_from("<H", self.data, at)[0]
            return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")

        for type_id, type_dir in entries(base):
            for name_id, name_dir in entries(base + (type_dir & 0x7FFFFFFF)):
                key = (key_of(type_id), key_of(name_id))
                for language, leaf in entries(base + (name_dir & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found[key] = self.data[start:start + size]
                    self.languages.setdefault(key, []).append(language)
        return found


def ends_at_a_root(chain):
    with open(chain) as handle:
        last = re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", handle.read(), re.S)[-1]
    names = subprocess.run(["openssl", "x509", "-noout", "-subject", "-issuer", "-nameopt", "compat"],
                           input=last, capture_output=True, text=True, check=True).stdout.splitlines()
    return names[0].split("=", 1)[1] == names[1].split("=", 1)[1]


class ShippedInstaller(unittest.TestCase):
    path = None
    arch = None
    signer_chain = None
    # The root the signature must lead to. When not given: the signer's chain
    # if it ends at its own root, or else the system's roots, where a
    # vendor's chain that stops at its intermediate leads. Trusting only a
    # root proves that the program carries the intermediates.
    trust_root = None
    # When given, the signature must carry a timestamp that leads to this root.
    timestamp_root = None

    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(cls.path)
        cls.res = cls.pe.resources()

    def test_architecture_and_subsystem(self):
        machine, magic = MACHINES[self.arch]
        self.assertEqual(machine, self.pe.machine)
        self.assertEqual(magic, self.pe.magic)
        self.assertEqual(2, self.pe.subsystem, "GUI subsystem, no console window")

    def test_self_contained(self):
        imported = {name.lower() for name in self.pe.imports()}
        self.assertEqual(LOADED_WITH_THE_PROCESS, imported)

    def test_manifest(self):
        manifest = self.res.get((RT_MANIFEST, 1), b"").decode("utf-8")
        self.assertRegex(manifest, r'requestedExecutionLevel\s+level="asInvoker"')
        # Per monitor (v2, then v1), and system-aware where only dpiAware is read.
        self.assertRegex(manifest, r"<dpiAware[^>]*>\s*true/pm\s*</dpiAware>")
        self.assertRegex(manifest, r"<dpiAwareness[^>]*>\s*PerMonitorV2\s*,\s*PerMonitor\s*</dpiAwareness>")
        self.assertRegex(manifest, r'name="Microsoft\.Windows\.Common-Controls"\s+version="6\.0\.0\.0"')

    def test_version_resource(self):
        text = self.res.get((RT_VERSION, 1), b"").decode("utf-16-le", "replace")
        for key, value in (("ProductName", "Quillon Installer"), ("InternalName", "Installer.exe")):
            self.assertRegex(text, key + r"\x00+" + re.escape(value) + r"\x00", key)
        self.assertRegex(text, r"FileVersion\x00+\d+\.\d+\.\d+\.\d+\x00")

    def test_icon_group_50(self):
        group = self.res.get((RT_GROUP_ICON, 50))
        self.assertIsNotNone(group, "icon group 50 is missing")
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((0, 1), (reserved, kind))
        self.assertEqual(ICON_SIZES, sorted(group[6 + 14 * i] or 256 for i in range(count)))
        for i in range(count):
            icon_id = struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
            self.assertIn((RT_ICON, icon_id), self.res, "the group names an icon that is not there")

    def test_signature(self):
        if not self.signer_chain:
            self.skipTest("this build is not signed")
        _, size = self.pe.directories[4]
        self.assertGreater(size, 0, "no certificate table: the program is not signed")
        command = ["osslsigncode", "verify", "-in", self.path]
        trust = self.trust_root or (self.signer_chain if ends_at_a_root(self.signer_chain) else None)
        if trust:
            command[2:2] = ["-CAfile", trust]
        if self.timestamp_root:
            command[2:2] = ["-TSA-CAfile", self.timestamp_root]
        verify = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(0, verify.returncode, verify.stdout + verify.stderr)
        self.assertIn("Signature verification: ok", verify.stdout)
        if self.timestamp_root:
            self.assertIn("Timestamp Server Signature verification: ok", verify.stdout)
        # The signer must be the chain's leaf, not merely someone the chain trusts.
        leaf = subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "compat", "-in", self.signer_chain],
                              capture_output=True, text=True, check=True).stdout.split("=", 1)[1].strip()
        signer = re.search(r"Signer #0:\s*Subject: (.*)", verify.stdout)
        self.assertIsNotNone(signer, verify.stdout)
        self.assertEqual(leaf, signer.group(1).strip())

    def test_licence_document_under_russian_alone(self):
        # Looked up without a language, so the loader falls back to this one
        # entry whatever the user's language is.
        with open(LICENCE_SOURCE, "rb") as handle:
            document = handle.read()
        self.assertEqual([1049], self.pe.languages.get(("BIN", 130)))
        self.assertEqual(document, self.res[("BIN", 130)], "the document, unchanged")
        self.assertTrue(document.startswith(b"{\\rtf1\\ansi\\ansicpg1252"))
    def test_dialogs_and_images(self):
        for dialog in DIALOGS:
            template = self.res.get((RT_DIALOG, dialog), b"")
            self.assertEqual((1, 0xFFFF), struct.unpack_from("<HH", template, 0) if template else None,
                             "dialog %d is not an extended template" % dialog)
        for bitmap, size in BITMAPS.items():
            if bitmap in BITMAPS_AT_96:
                data = self.res.get((RT_BITMAP, bitmap))
            else:
                # Deflated: the DIB's length, then the DIB compressed with zlib.
                deflated = self.res.get(("ZDIB", bitmap), b"\0\0\0\0")
                data = zlib.decompress(deflated[4:]) if len(deflated) > 4 else None
                self.assertEqual(struct.unpack_from("<I", deflated)[0], len(data or b""), "bitmap %d" % bitmap)
            self.assertIsNotNone(data, "bitmap %d is missing" % bitmap)
            _, width, height, _, bits = struct.unpack_from("<IiiHH", data, 0)
            self.assertEqual((size, 32), ((width, abs(height)), bits), "bitmap %d" % bitmap)


if __name__ == "__main__":
    ShippedInstaller.path, ShippedInstaller.arch = sys.argv[1], sys.argv[2]
    ShippedInstaller.signer_chain = sys.argv[3] if len(sys.argv) > 3 else None
    unittest.main(argv=sys.argv[:1], verbosity=2)
