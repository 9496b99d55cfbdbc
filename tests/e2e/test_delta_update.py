"""Updates of a stick that already holds the product, end to end under Wine:
only the members the stick lacks come over the network, as plain ranges
that the real nginx serves, and what a cut run fetched is not fetched again.
"""
import hashlib
import io
import os
import re
import shutil
import sys
import tempfile
import time
import unittest
import zipfile

import quillon_harness as h
import silent_install as si
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
import make_package  # noqa: E402

PACKAGE_URI = "/SW_UPDATE/KT-QUILLON/Quillon.zip"
CHANGED = "bin/engine.dll"
ZIP_V1 = None


def setUpModule():
    global ZIP_V1
    folder = tempfile.mkdtemp(prefix="delta-package-", dir=h.BUILD_DIR)
    try:
        zip_path, _ = make_package.make_package(folder, files=200, megabytes=3.0, seed=11)
        with open(zip_path, "rb") as handle:
            ZIP_V1 = handle.read()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    si.register_standin()


def rezip(data, replace=None, add=None, comment=b""):
    """The package with some members' contents replaced and some added, the
    others exactly as they were (same names, times, attributes, method)."""
    replace = replace or {}
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(out, "w") as archive:
        for old in source.infolist():
            info = zipfile.ZipInfo(old.filename, date_time=old.date_time)
            info.create_system, info.external_attr = old.create_system, old.external_attr
            info.extra, info.compress_type = old.extra, old.compress_type
            archive.writestr(info, replace.get(old.filename, source.read(old)))
        for name, content in (add or {}).items():
            archive.writestr(name, content, compress_type=zipfile.ZIP_DEFLATED)
        archive.comment = comment
    return out.getvalue()


def members(data):
    """{name: sha256} of the package's files."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {i.filename: hashlib.sha256(archive.read(i)).hexdigest()
                for i in archive.infolist() if not i.filename.endswith("/")}


def span(data, name):
    """Where a member's bytes lie in the package: its header to the next."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        starts = sorted(i.header_offset for i in archive.infolist()) + [archive.start_dir]
        first = archive.getinfo(name).header_offset
    return first, starts[starts.index(first) + 1] - 1


def tail_range(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return "bytes=%d-%d" % (archive.start_dir, len(data) - 1)


def package_requests(requests):
    return [r for r in requests if r.uri == PACKAGE_URI]


class DeltaUpdateTest(unittest.TestCase):
    def setUp(self):
        self.stick = h.scratch_dir("delta-stick")
        self.temp = h.scratch_dir("delta-temp")
        self.served = tempfile.mkdtemp(prefix="delta-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)

    def tearDown(self):
        for folder in (self.stick, self.temp, self.served):
            h.remove_tree(folder)

    def kept_folder(self):
        return os.path.join(h.work_folder(self.temp), "QL_Install_E")

    def install(self, data, version, **server_options):
        """One silent run against a server publishing `data`; returns the
        exit code, the package requests and the log of that run."""
        write_package(self.served, data, version=version)
        before = len(h.read_log(self.temp)) if os.path.exists(h.work_folder(self.temp)) else 0
        with UpdateServer(self.served, **server_options) as server, si.usb_stick("E", self.stick) as wmi:
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            requests = server.requests()
        return result.returncode, package_requests(requests), h.read_log(self.temp)[before:]

    def stick_files(self):
        found = {}
        for root, _, files in os.walk(self.stick):
            for name in files:
                path = os.path.join(root, name)
                found[os.path.relpath(path, self.stick).replace(os.sep, "/")] = path
        return found

    def assert_stick_holds(self, data):
        on_stick = {}
        for name, path in self.stick_files().items():
            if name != "Quillon.version":
                with open(path, "rb") as handle:
                    on_stick[name] = hashlib.sha256(handle.read()).hexdigest()
        self.assertEqual(members(data), on_stick)

    def identities(self):
        """What tells a file rewritten from one left alone: its inode and times."""
        return {name: (os.stat(path).st_ino, os.stat(path).st_mtime_ns)
                for name, path in self.stick_files().items()}

    def test_an_update_fetches_only_changed_and_new_members_and_rewrites_nothing_else(self):
        code, _, log = self.install(ZIP_V1, 1)
        self.assertEqual(0, code, log)
        before = self.identities()

        # Nothing changed: the manifest and the tail, and not one file written.
        code, requests, log = self.install(ZIP_V1, 1)
        self.assertEqual(0, code, log)
        self.assertEqual([tail_range(ZIP_V1)], [r.range for r in requests])
        self.assertIn("nothing to write", log)
        self.assertEqual(before, self.identities())

        v2 = rezip(ZIP_V1, replace={CHANGED: os.urandom(300000)},
                   add={"Added/deep/new.txt": b"new in this version\n" * 500})
        code, requests, log = self.install(v2, 2)
        self.assertEqual(0, code, log)
        self.assert_stick_holds(v2)
        after = self.identities()
        for name, identity in before.items():
            if name not in (CHANGED, "Quillon.version"):
                self.assertEqual(identity, after[name], name + " was rewritten")
        # The tail, then the changed member and the new one, each whole, and
        # at most a small gap between neighbours besides.
        self.assertEqual(tail_range(v2), requests[0].range)
        asked = [tuple(map(int, r.range[len("bytes="):].split("-"))) for r in requests[1:]]
        wanted = [span(v2, CHANGED), span(v2, "Added/deep/new.txt")]
        for first, last in wanted:
            self.assertTrue(any(a <= first and last <= b for a, b in asked), (first, last, asked))
        self.assertLessEqual(sum(r.bytes for r in requests[1:]),
                             sum(last - first + 1 for first, last in wanted) + 32 * 1024)
        self.assertTrue(all(r.status == 206 for r in requests), requests)
        fetched = sum(r.bytes for r in requests)
        self.assertLess(fetched, len(v2) // 4)
        manifest = os.path.getsize(os.path.join(self.served, "SW_UPDATE", "KT-QUILLON", "Quillon.manifest"))
        self.assertRegex(log, r"Install succeeded: every entry extracted; %d bytes downloaded in \d+\.\d s, "
                              r"for a package of %d bytes" % (fetched + manifest, len(v2)))
        self.assertEqual([], os.listdir(self.kept_folder()), "kept data left after a completed run")

    def test_a_damaged_file_on_the_stick_is_fetched_again_and_named_once(self):
        self.assertEqual(0, self.install(ZIP_V1, 1)[0])
        damaged = os.path.join(self.stick, *CHANGED.split("/"))
        with open(damaged, "r+b") as handle:
            handle.seek(1000)
            handle.write(b"\0" * 16)
        code, requests, log = self.install(ZIP_V1, 1)
        self.assertEqual(0, code, log)
        self.assert_stick_holds(ZIP_V1)
        first, last = span(ZIP_V1, CHANGED)
        self.assertEqual([tail_range(ZIP_V1), "bytes=%d-%d" % (first, last)], [r.range for r in requests])
        # Named as a repair, not as an accusation.
        self.assertEqual(1, log.count('Repairing "%s" on the drive: it differs from the signed file' % CHANGED), log)
        self.assertEqual(1, log.count("Repairing "), log)

    def test_a_stick_without_room_for_a_second_copy_takes_an_update_of_a_few_members(self):
        """An exFAT stick of 340 MiB that holds a product of 187 MB: its free
        space is above the 150 MiB any install needs but below the product,
        so the whole new version could never be staged beside the old; the
        update stages only the member it replaces."""
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
            archive.writestr("Quillon.exe", os.urandom(1000000))
            for i in range(4):
                archive.writestr("defs/signatures-%d.dat" % i, (b"%d quillon definitions " % i) * 2020000)
        v1 = out.getvalue()
        v2 = rezip(v1, replace={"Quillon.exe": os.urandom(1000000)})
        saved = self.stick
        with h.exfat_stick(340) as stick:
            if stick is None:
                self.skipTest("this machine cannot mount an exFAT stick")
            self.stick = stick
            try:
                code, _, log = self.install(v1, 1)
                self.assertEqual(0, code, log)
                product = sum(os.path.getsize(path) for path in self.stick_files().values())
                state = os.statvfs(stick)
                free = state.f_bavail * state.f_frsize
                self.assertTrue(150 * 1024 * 1024 <= free < product, (free, product))

                code, requests, log = self.install(v2, 2)
                self.assertEqual(0, code, log)
                self.assertIn("The drive lacks 1 of the package's 5 members", log)
                self.assert_stick_holds(v2)
                first, last = span(v2, "Quillon.exe")
                self.assertEqual([tail_range(v2), "bytes=%d-%d" % (first, last)], [r.range for r in requests])
            finally:
                self.stick = saved

    def test_a_server_that_ignores_range_or_a_tail_that_is_not_signed_ends_the_delta_path(self):
        self.assertEqual(0, self.install(ZIP_V1, 1)[0])
        v2 = rezip(ZIP_V1, replace={CHANGED: os.urandom(1000)}, add={"big.bin": os.urandom(5000000)},
                   comment=b"A" * 16)

        # nginx with max_ranges 0 answers the tail's range with the whole
        # package; the run takes that as the end of the delta path, once,
        # and asks for the whole package (more than one 4 MiB range) in one.
        code, requests, log = self.install(v2, 2, ranges=False)
        self.assertEqual(0, code, log)
        self.assert_stick_holds(v2)
        self.assertEqual(1, log.count("fetching the whole package instead"), log)
        self.assertEqual([tail_range(v2), "bytes=0-%d" % (len(v2) - 1)], [r.range for r in requests])

        # The server's package is not the signed one: its tail says so, the
        # whole package is tried (and refused), and the stick keeps version 2.
        before = self.identities()
        v3 = rezip(v2, replace={CHANGED: os.urandom(1000)}, comment=b"A" * 16)
        served = v3[:-16] + b"B" * 16
        write_package(self.served, served, version=3, signed_data=v3)
        with UpdateServer(self.served) as server, si.usb_stick("E", self.stick) as wmi:
            mark = len(h.read_log(self.temp))
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            requests = package_requests(server.requests())
        log = h.read_log(self.temp)[mark:]
        self.assertEqual(1, result.returncode, log)
        self.assertEqual(1, log.count("The package's directory does not match the manifest"), log)
        self.assertEqual(tail_range(v3), requests[0].range)
        # The whole package, once: with no automatic proxy that could have
        # damaged it, a refused package is not fetched again, and nothing
        # of it is kept.
        whole = ["bytes=0-4194303", "bytes=4194304-%d" % (len(v3) - 1)]
        self.assertEqual(whole, [r.range for r in requests[1:]])
        self.assertEqual(before, self.identities())
        self.assertEqual([], os.listdir(self.kept_folder()), "a refused package kept")


class InterruptedUpdateTest(unittest.TestCase):
    """Runs cut short: what they fetched is used, not fetched again."""

    def setUp(self):
        self.stick = h.scratch_dir("delta-stick")
        self.temp = h.scratch_dir("delta-temp")
        self.served = tempfile.mkdtemp(prefix="delta-served-", dir=h.BUILD_DIR)
        os.chmod(self.served, 0o755)
        self.package = tempfile.mkdtemp(prefix="delta-big-", dir=h.BUILD_DIR)
        self.addCleanup(shutil.rmtree, self.package, True)

    def tearDown(self):
        for folder in (self.stick, self.temp, self.served):
            h.remove_tree(folder)

    def start(self, wmi, name):
        env = dict(h.temp_env(self.temp), **wmi)
        args = []
        for key, value in env.items():
            args += ["--env", "%s=%s" % (key, value)]
        return h.start(h.exe("launch"), *args, "--", h.exe("Installer"), "/path=E:",
                       output=os.path.join(self.temp, name + ".txt"))

    def stick_sums(self):
        """{name: sha256} of the files on the stick, staged ones and the
        journal that goes with them (it travels with the stick) aside."""
        return {name: hashlib.sha256(open(path, "rb").read()).hexdigest()
                for name, path in DeltaUpdateTest.stick_files(self).items()
                if "~ql" not in name and name != "Quillon.journal"}

    def kept_bytes(self):
        record = os.path.join(h.work_folder(self.temp), "QL_Install_E", "Quillon.kept")
        try:
            with open(record) as handle:
                ranges = re.findall(r"^range (\d+) (\d+)$", handle.read(), re.M)
        except OSError:
            return 0
        return sum(int(last) - int(first) + 1 for first, last in ranges)

    def cut(self, stick):
        """Starts a run against a slow server and kills it once half the
        package is kept; returns how many bytes are."""
        size = os.path.getsize(os.path.join(self.served, *PACKAGE_URI.strip("/").split("/")))
        with UpdateServer(self.served, rate=3 * 1024 * 1024), si.usb_stick("E", stick) as wmi:
            program = self.start(wmi, "cut")
            deadline = time.time() + 120
            while self.kept_bytes() < size // 2 and program.process.poll() is None and time.time() < deadline:
                time.sleep(0.02)
            program.stop()
        kept = self.kept_bytes()
        self.assertTrue(size // 2 <= kept < size, kept)
        return kept

    def run_again(self, stick):
        mark = len(h.read_log(self.temp))
        with UpdateServer(self.served) as server, si.usb_stick("E", stick) as wmi:
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            requests = package_requests(server.requests())
        log = h.read_log(self.temp)[mark:]
        self.assertEqual(0, result.returncode, log)
        self.assertFalse(os.listdir(os.path.join(h.work_folder(self.temp), "QL_Install_E")), "kept data left")
        return sum(r.bytes for r in requests), log

    def test_a_killed_download_resumes_where_it_stopped_unless_the_package_changed(self):
        zip_path, _ = make_package.make_package(self.package, files=300, megabytes=12.0, seed=12)
        with open(zip_path, "rb") as handle:
            data = handle.read()
        write_package(self.served, data)
        kept = self.cut(self.stick)
        fetched, log = self.run_again(self.stick)
        self.assertEqual(len(data) - kept, fetched)
        self.assertIn("Kept from an earlier run: %d bytes" % kept, log)

        # What a cut run kept of one package is no use for another.
        fresh = h.scratch_dir("delta-stick")
        self.addCleanup(h.remove_tree, fresh)
        self.cut(fresh)
        other = rezip(data, comment=b"the next build")
        write_package(self.served, other, version=2)
        fetched, log = self.run_again(fresh)
        self.assertEqual(len(other), fetched)
        self.assertNotIn("Kept from an earlier run", log)

    def test_a_stick_pulled_during_a_delta_update_keeps_its_version_and_the_fetched_members(self):
        zip_path, _ = make_package.make_package(self.package, files=1200, megabytes=16.0, seed=13)
        with open(zip_path, "rb") as handle:
            v1 = handle.read()
        write_package(self.served, v1)
        work = h.scratch_dir("wmi")
        with UpdateServer(self.served), si.usb_stick("E", self.stick, work=work) as wmi:
            self.assertEqual(0, si.run_installer(h.exe("Installer"), "E:", self.temp, wmi).returncode)
        with zipfile.ZipFile(io.BytesIO(v1)) as archive:
            names = [i.filename for i in archive.infolist() if not i.filename.endswith("/")]
        v2 = rezip(v1, replace={name: os.urandom(2000) for name in names[::2]})
        write_package(self.served, v2, version=2)
        before = self.stick_sums()

        with UpdateServer(self.served) as server, si.usb_stick("E", self.stick, work=work) as wmi:
            program = self.start(wmi, "pull")
            deadline = time.time() + 120
            while not any("~ql" in n for _, _, files in os.walk(self.stick) for n in files) \
                    and program.process.poll() is None and time.time() < deadline:
                time.sleep(0.005)
            self.assertIsNone(program.process.poll(), "the update ended before it staged anything")
            pulled = self.stick + "-pulled"
            os.rename(self.stick, pulled)
            si.write_wmi_fixture(work, [])
            self.assertEqual(1, program.wait(timeout=120))
            os.rename(pulled, self.stick)
            self.assertEqual(before, self.stick_sums(), "the pulled stick is not at version 1")
            first = sum(r.bytes for r in package_requests(server.requests()))
            si.write_wmi_fixture(work, ["E"])
            mark = server.mark()
            result = si.run_installer(h.exe("Installer"), "E:", self.temp, wmi)
            second = package_requests(server.requests(mark))
        log = h.read_log(self.temp)
        self.assertEqual(0, result.returncode, log)
        self.assertIn("Removed what an unfinished run left", log)
        self.assertLess(first, len(v2))
        # The members came with the pulled run; the second fetches nothing.
        self.assertEqual([], second)
        self.assertEqual(members(v2), {n: d for n, d in self.stick_sums().items() if n != "Quillon.version"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
