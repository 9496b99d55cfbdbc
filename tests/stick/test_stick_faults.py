"""A stick that fails while it is updated, end to end under Wine: the stick
is a FUSE file system of our own over a folder (fault_stick.py) that fails
the N-th operation that changes it with an I/O error or a full stick, or
ends the installer at that moment, for a spread of N over an update. After
a failure the stick is the old version or the new one, exactly; after a kill
it may be half way. Either way the next run, on "another PC" (a fresh
temporary folder, the stick under another letter), ends with the new
version and nothing staged left on the stick.
"""
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import quillon_harness as h
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
import make_package  # noqa: E402
import silent_install as si  # noqa: E402

FAULT_STICK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fault_stick.py")
JOURNAL = "Quillon.journal"
# Where in the update each kind fails, as fractions of its changing
# operations: a spread from the first staged file to the last removal,
# few enough that the sweep stays within a few minutes.
SPREAD = (0.01, 0.2, 0.45, 0.7, 0.9, 0.99)
V1 = V2 = None


def setUpModule():
    global V1, V2
    folder = tempfile.mkdtemp(prefix="faults-package-", dir=h.BUILD_DIR)
    try:
        zip_path, _ = make_package.make_package(folder, files=60, megabytes=1.0, seed=28)
        with open(zip_path, "rb") as handle:
            V1 = handle.read()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    V2 = next_version(V1)
    si.register_standin()


def next_version(data):
    """One file in four changed, two new, two gone (the last two files)."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(out, "w") as archive:
        files = [i for i in source.infolist() if not i.filename.endswith("/")]
        gone = {i.filename for i in files[-2:]}
        changed = {i.filename for i in files[::4]} - gone
        for old in source.infolist():
            if old.filename in gone:
                continue
            info = zipfile.ZipInfo(old.filename, date_time=old.date_time)
            info.create_system, info.external_attr = old.create_system, old.external_attr
            info.extra, info.compress_type = old.extra, old.compress_type
            body = source.read(old)
            archive.writestr(info, body + b" changed" if old.filename in changed else body)
        for name in ("bin/added.dll", "docs/added.txt"):
            archive.writestr(name, ("new in version 2: " + name).encode(), compress_type=zipfile.ZIP_DEFLATED)
    return out.getvalue()


def tree(root):
    """{relative name: sha256 of a file, None for a folder}."""
    return {name: data if data is None else hashlib.sha256(data).hexdigest()
            for name, data in h.files_under(root).items()}


def staged_left(found):
    return sorted(n for n in found if os.path.basename(n).lower().startswith("~ql"))


def journal_names(root):
    path = os.path.join(root, JOURNAL)
    if not os.path.exists(path):
        return set()
    with open(path, "rb") as handle:
        text = handle.read().decode("utf-16-le", "replace")
    return {field.replace("\\", "/") for line in text.splitlines() for field in line.split("|")[1:]}


class FaultStick:
    """fault_stick.py mounted over `backing` at `mount`, steered through a
    control file; None where this machine cannot mount it."""

    def __init__(self, work):
        self.backing = os.path.join(work, "backing")
        self.mount = os.path.join(work, "mount")
        self.control = os.path.join(work, "control.json")
        os.mkdir(self.backing)
        os.mkdir(self.mount)
        self.arm(0)
        self.process = subprocess.Popen(["/usr/bin/python3", FAULT_STICK, self.backing, self.mount, self.control],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(work, "fault_stick.err"), "w"))
        deadline = time.time() + 15
        while not os.path.ismount(self.mount):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("fault_stick.py did not mount: " +
                                   open(os.path.join(work, "fault_stick.err")).read())
            time.sleep(0.05)

    def arm(self, fail_at, kind="eio", group=0):
        # A new stamp for every plan, so that the count starts again.
        with open(self.control + ".new", "w") as handle:
            json.dump({"fail_at": fail_at, "kind": kind, "group": group, "at": time.time_ns()}, handle)
        if fail_at and os.path.exists(self.control + ".failed"):
            os.unlink(self.control + ".failed")
        os.replace(self.control + ".new", self.control)

    def count(self):
        try:
            with open(self.control + ".count") as handle:
                return int(handle.read() or 0)
        except FileNotFoundError:
            return 0

    def failed(self):
        try:
            with open(self.control + ".failed") as handle:
                return handle.read().strip()
        except FileNotFoundError:
            return ""

    def close(self):
        if subprocess.run(["fusermount3", "-u", self.mount], capture_output=True).returncode != 0:
            subprocess.run(["fusermount3", "-u", "-z", self.mount], capture_output=True)
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def cannot_mount():
    if os.getuid() != 0:
        return "needs root to mount with allow_other"
    if not os.path.exists("/dev/fuse") or shutil.which("fusermount3") is None:
        return "needs /dev/fuse and fusermount3"
    if subprocess.run(["/usr/bin/python3", "-c", "import fusepy"], capture_output=True).returncode != 0:
        return "needs python3-fusepy"
    return None


class FailingStickTest(unittest.TestCase):
    def setUp(self):
        reason = cannot_mount()
        if reason:
            print("SKIP fault-injecting stick: " + reason, file=sys.stderr)
            self.skipTest(reason)
        self.work = tempfile.mkdtemp(prefix="faults-", dir=h.BUILD_DIR)
        os.chmod(self.work, 0o755)
        self.addCleanup(h.remove_tree, self.work)
        self.served = os.path.join(self.work, "served")
        os.mkdir(self.served)
        self.stick = FaultStick(self.work)
        self.addCleanup(self.stick.close)
        self.server = UpdateServer(self.served)
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        self.runs = 0

    def fresh_temp(self):
        self.runs += 1
        temp = os.path.join(self.work, "temp%d" % self.runs)
        os.mkdir(temp)
        h.give_to_test_user(temp)
        return temp

    def run_installer(self, letter, fail_at=0, kind="eio"):
        """One silent run on a fresh temporary folder; the fault armed as the
        program starts. Returns the exit code and the run's log; the folder
        is self.temp."""
        temp = self.temp = self.fresh_temp()
        env = dict(h.temp_env(temp))
        with si.usb_stick(letter, self.stick.mount, work=temp) as wmi:
            env.update(wmi)
            command = [h.WINE_RUN, h.exe("launch")]
            for name, value in env.items():
                command += ["--env", "%s=%s" % (name, value)]
            command += ["--", h.exe("Installer"), "/path=%s:" % letter]
            with open(os.path.join(temp, "out.txt"), "w") as output:
                program = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                           stderr=subprocess.STDOUT, start_new_session=True)
                self.stick.arm(fail_at, kind, program.pid)
                try:
                    code = program.wait(timeout=180)
                finally:
                    if program.poll() is None:
                        os.killpg(program.pid, 9)
                        program.wait()
            self.stick.arm(0)
        return code, h.read_log(temp)

    def put_back(self, snapshot):
        """The stick as it was, written through the mount with no fault armed."""
        self.stick.arm(0)
        for name in os.listdir(self.stick.mount):
            path = os.path.join(self.stick.mount, name)
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.unlink(path)
        shutil.copytree(snapshot, self.stick.mount, dirs_exist_ok=True)

    def test_an_update_cut_at_any_changing_operation_is_settled_by_the_next_run_on_another_pc(self):
        write_package(self.served, V1, version=1)
        code, log = self.run_installer("E")
        self.assertEqual(0, code, log)
        old = tree(self.stick.backing)
        snapshot = os.path.join(self.work, "v1")
        shutil.copytree(self.stick.backing, snapshot)

        write_package(self.served, V2, version=2)
        code, log = self.run_installer("E")
        self.assertEqual(0, code, log)
        operations = self.stick.count()
        new = tree(self.stick.backing)
        self.assertEqual([], staged_left(new))
        self.assertNotIn(JOURNAL, new)
        self.assertNotEqual(old, new)
        print("the update makes %d changing operations on the stick" % operations, file=sys.stderr)

        outcomes = []
        for kind in ("eio", "enospc", "kill"):
            for fraction in SPREAD:
                fail_at = max(1, int(operations * fraction))
                where = "%s at %d of %d" % (kind, fail_at, operations)
                self.put_back(snapshot)
                code, log = self.run_installer("E", fail_at, kind)
                failed, fault_code = self.stick.failed(), code
                after = tree(self.stick.backing)
                if kind != "kill":
                    self.assertIn(code, (0, 1), where)
                    listed = journal_names(self.stick.backing)
                    unlisted = [n for n in staged_left(after) if n not in listed]
                    self.assertEqual([], unlisted, "%s (%s): staging files outside the journal" % (where, failed))
                    kept = {n: d for n, d in after.items() if n != JOURNAL and n not in listed}
                    self.assertEqual(new if code == 0 else old, kept,
                                     "%s (%s) ended with %d and a stick of neither version" % (where, failed, code))
                    # A failing stick says nothing against the download.
                    if code == 1:
                        record = os.path.join(h.work_folder(self.temp), "QL_Install_E", "Quillon.kept")
                        self.assertTrue(os.path.exists(record), "%s (%s): the kept download went" % (where, failed))
                # The next run: another PC, another letter, a fresh temporary folder.
                code, log = self.run_installer("F")
                self.assertEqual(0, code, "%s (%s): the next run failed\n%s" % (where, failed, log))
                self.assertEqual(new, tree(self.stick.backing), "%s (%s): the next run" % (where, failed))
                outcomes.append("%s: %s, exit %d" % (where, failed or "not reached", fault_code))
        print("\n".join(outcomes), file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
