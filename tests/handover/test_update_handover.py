"""The update's hand-over with the installed program, end to end: the real
Installer.exe in update mode against the real server, stand-ins of the
program running from the stick being updated (E:) and from another (G:).
The copies on E: are asked to quit only when the update is ready to commit,
a copy that does not quit holds the commit (nothing replaced, nothing moved
aside), and whatever was asked to quit runs again however the update ends;
the copy on G: is never touched. Screenshots in
build/<preset>/test-output/update_handover/.
"""
import hashlib
import io
import os
import sys
import time
import unittest
import zipfile

import quillon_harness as h
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
from test_install_dialog import ACTION, PROGRESS, Installer, Stick, text, visible, wait_until  # noqa: E402

DOWNLOADING = "Please wait, downloading Quillon..."
WAITING = "Waiting for Quillon to close\u2026"
UPDATE_ARGS = ("/AppUpdate", "--drivePath", "E:\\", "--exePath", "E:\\Quillon.exe")
# Slow enough that a download can be watched and cancelled.
SLOW = 200 * 1024
# What the stand-ins write beside themselves.
RECORDS = ("QuillonRuns.txt", "QuillonMessages.txt", "QuillonStop.txt")

PACKAGE = None
SCREEN = None


def standin_package():
    """A small package whose program is the stand-in, at the root and in a
    subfolder, with enough data that a slow download can be caught in the
    middle."""
    with open(h.exe("QuillonStandIn"), "rb") as handle:
        program = handle.read()
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("Quillon.exe", program)
        archive.writestr("Tools/Quillon.exe", program)
        archive.writestr("defs/signatures.bin", os.urandom(600 * 1024), compress_type=zipfile.ZIP_STORED)
    return out.getvalue()


def refused_package(package):
    """Publishes what the server then sends: not the bytes the vendor signed."""
    def publish(folder):
        damaged = bytearray(package)
        damaged[len(damaged) // 2] ^= 0x01
        write_package(folder, bytes(damaged), version=2, signed_data=package)
    return publish


def setUpModule():
    global PACKAGE, SCREEN
    PACKAGE = standin_package()
    SCREEN = h.Screen("update_handover")


def stick_files(stick):
    """{path: sha256} of the stick, without what the stand-ins record."""
    found = {}
    for root, _, files in os.walk(stick.folder):
        for name in files:
            if name in RECORDS:
                continue
            path = os.path.join(root, name)
            with open(path, "rb") as handle:
                found[os.path.relpath(path, stick.folder)] = hashlib.sha256(handle.read()).hexdigest()
    return found


def last_line(log):
    """(level, message) of the log's last line."""
    line = log.rstrip("\r\n").splitlines()[-1]
    level, _, message = line.split(" ", 2)[2].partition(" [default] ")
    return level.strip(), message


def closing_key(run, name):
    """A key that closes the window, released afterwards: a key held in the
    X server when its window goes is repeated into the next program."""
    run.key(name)
    h.xdotool("keyup", name)


def stop_standins(*folders):
    """Ends every stand-in running from these folders, also those the
    installer started."""
    for folder in folders:
        if os.path.isdir(folder):
            with open(os.path.join(folder, "QuillonStop.txt"), "w"):
                pass
    time.sleep(1)


class UpdateHandOverTest(unittest.TestCase):
    def setUp(self):
        self.served = h.scratch_dir("served")
        os.chmod(self.served, 0o755)

    def tearDown(self):
        h.remove_tree(self.served)

    def update(self, name, publish, programs, act, expected_exit):
        """One update of E: with the stand-ins `programs` ({path: mode})
        running from it and one in window mode from G:. `publish` puts the
        package on the server (None: no server), `act(run, e, name)` drives the
        window to its end. Returns (stick E, the log, its files before and
        after, {path: whether the copy the test started still runs})."""
        server = None
        if publish is not None:
            publish(self.served)
            server = UpdateServer(self.served, rate=SLOW)
            server.__enter__()
        try:
            with Stick("E", programs=programs) as e, Stick("G", programs={"Quillon.exe": "window"}) as g:
                # The installed version differs from the package's, so the
                # program file is one that the update replaces.
                for path in programs:
                    with open(e.path(path), "ab") as handle:
                        handle.write(b"old version")
                running = {path: e.start(path) for path in programs}
                from_g = g.start("Quillon.exe")
                before = stick_files(e)
                try:
                    with Installer(*UPDATE_ARGS) as run:
                        act(run, e, name)
                        self.assertEqual(expected_exit, run.exit_code(60), name)
                        log = run.log()
                    after = stick_files(e)
                    time.sleep(1)
                    alive = {path: program.process.poll() is None for path, program in running.items()}
                    # The other stick's copy was never asked anything.
                    self.assertEqual("", g.read("QuillonMessages.txt"), name)
                    self.assertIsNone(from_g.process.poll(), name + ": the copy on G: ended")
                    self.assertEqual(1, len(g.runs()), name)
                    return e, log, before, after, alive
                finally:
                    stop_standins(e.folder, e.path("Tools"), g.folder)
        finally:
            if server is not None:
                server.__exit__(None, None, None)

    def assert_never_asked(self, name, e, log, before, after, alive):
        self.assertEqual("", e.read("QuillonMessages.txt"), name + ": asked to quit before the commit")
        self.assertNotIn("Asking Quillon to quit", log, name)
        self.assertTrue(all(alive.values()), name + ": a copy ended")
        self.assertEqual(before, after, name + ": the stick changed")

    def test_the_program_runs_again_however_the_update_ends(self):
        def publish_good(folder):
            write_package(folder, PACKAGE, version=2)

        def to_the_end(run, e, name):
            pass

        def cancel_downloading(run, e, name):
            run.until(lambda s: text(s) == DOWNLOADING and visible(s, PROGRESS), "downloading")
            SCREEN.shot("cancel-while-downloading")
            closing_key(run, "Escape")

        def failed(run, e, name):
            run.until(lambda s: not visible(s, PROGRESS), "failed", timeout=120)
            SCREEN.shot("failed-" + name.replace(" ", "-"))
            run.click(1008)  # the header's close

        # One copy on E: quits at once.
        window = {"Quillon.exe": "window"}
        e, log, before, after, alive = self.update("succeeds", publish_good, window, to_the_end, 0)
        self.assertEqual(["WM_PRODUCT_CLOSE", "WM_PRODUCT_QUIT"], e.read("QuillonMessages.txt").split())
        # Asked once every byte was in: after the download, before the files moved.
        asked = log.index("Asking Quillon to quit before the files on E:\\ are replaced: E:\\Quillon.exe")
        self.assertGreater(asked, log.rindex("Checked the "), log)
        self.assertIn("Quillon has quit after ", log[asked:])
        self.assertEqual(("INFO", "Update succeeded:"), (last_line(log)[0], last_line(log)[1][:17]), log)
        self.assertNotEqual(before, after)
        runs = wait_until(lambda: e.runs()[1:], 20, "the updated program was not started")
        self.assertEqual([(["E:\\Quillon.exe", "/NotifyUpdate"], "E:\\")], runs)

        # A failure or a cancel before the commit asks nothing.
        for name, publish, act, line in (
                ("server down", None, failed, ("ERROR", "Update failed: the update server ")),
                ("refused package", refused_package(PACKAGE), failed, ("ERROR", "Update failed: Package refused: ")),
                ("cancelled while downloading", publish_good, cancel_downloading,
                 ("INFO", "Update cancelled: cancelled by the user"))):
            with self.subTest(name):
                e, log, before, after, alive = self.update(name, publish, window, act, 1)
                self.assert_never_asked(name, e, log, before, after, alive)
                level, message = last_line(log)
                self.assertEqual(line, (level, message[:len(line[1])]), log)
                self.assertEqual(1, len(e.runs()), name + ": started again though it never quit")

        # A second copy on E: that does not quit: one that answers but stays,
        # cancelled while the window waits; one that hangs, waited for to the
        # bound. The one that quit runs again; nothing was replaced.
        def cancel_waiting(run, e, name):
            state = run.until(lambda s: text(s) == WAITING, "waiting for Quillon", timeout=120)
            SCREEN.shot("waiting-for-quillon")
            self.assertEqual(["WM_PRODUCT_CLOSE", "WM_PRODUCT_QUIT"], e.read("QuillonMessages.txt").split())
            closing_key(run, "Escape")

        def held(run, e, name):
            run.until(lambda s: text(s) == WAITING, "waiting for Quillon", timeout=120)
            waited = time.time()
            state = run.until(lambda s: not visible(s, PROGRESS), "held", timeout=30)
            print("the window waited %.1f s for the hung copy" % (time.time() - waited))
            SCREEN.shot("commit-held")
            self.assertNotEqual(WAITING, text(state))
            closing_key(run, "alt+F4")

        for name, stays, act, reason in (
                ("cancelled while waiting", "stay", cancel_waiting,
                 "Stopped waiting for Quillon to quit after "),
                ("hung copy", "hung", held,
                 "Quillon is still running from E:\\ after 6.0 s (E:\\Tools\\Quillon.exe): nothing was replaced")):
            with self.subTest(name):
                programs = {"Quillon.exe": "window", "Tools/Quillon.exe": stays}
                e, log, before, after, alive = self.update(name, publish_good, programs, act, 1)
                self.assertEqual(before, after, name + ": the stick changed")
                self.assertFalse([f for f in os.listdir(e.folder) if f.startswith("~ql")], "moved aside and left")
                self.assertIn(reason, log)
                self.assertEqual(("INFO", "Started Quillon again, as the update did not complete: E:\\Quillon.exe"),
                                 last_line(log), log)
                self.assertEqual({"Quillon.exe": False, "Tools/Quillon.exe": True}, alive, name)
                runs = wait_until(lambda: e.runs()[1:], 20, name + ": not started again")
                self.assertEqual([(["E:\\Quillon.exe"], "E:\\")], runs, name)
                self.assertEqual(1, len(e.runs("Tools")), name + ": a copy still running was started twice")

        # Try again once the hung copy is closed: the hand-over runs again,
        # the copy started again quits once more, and the update completes.
        def held_then_try_again(run, e):
            run.until(lambda s: h.control(s, ACTION)["enabled"], "held", timeout=120)
            with open(e.path("Tools/QuillonStop.txt"), "w"):
                pass
            wait_until(lambda: len(e.runs()) == 2, 20, "not started again")
            run.key("alt+t")

        programs = {"Quillon.exe": "window", "Tools/Quillon.exe": "hung"}
        e, log, before, after, alive = self.update("try again", publish_good, programs,
                                                    lambda run, e, name: held_then_try_again(run, e), 0)
        self.assertIn("Trying the run again", log)
        self.assertEqual(2, log.count("Asking Quillon to quit before the files on E:\\ are replaced"), log)
        self.assertEqual(["WM_PRODUCT_CLOSE", "WM_PRODUCT_QUIT"] * 2, e.read("QuillonMessages.txt").split())
        self.assertEqual("INFO", last_line(log)[0], log)
        self.assertNotEqual(before, after)
        wait_until(lambda: e.runs()[2:], 20, "the updated program was not started")
        self.assertEqual([(["E:\\Quillon.exe"], "E:\\"), (["E:\\Quillon.exe", "/NotifyUpdate"], "E:\\")],
                         e.runs()[1:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
