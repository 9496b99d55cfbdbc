"""The command line and the run modes, seen from outside the real Installer.exe."""
import os
import shutil
import sys
import time
import unittest

import quillon_harness as h
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "handover"))
import silent_install as si  # noqa: E402
from test_install_dialog import CLOSE, COMPLETE, PROGRESS, Installer, Stick, text, visible  # noqa: E402
from test_update_handover import closing_key, last_line, refused_package, standin_package  # noqa: E402

INSTALLER = h.exe("Installer")
STAND_IN = h.exe("QuillonStandIn")

UPDATE = "SetAppUpdateMode m_driveLetter: "
DOWNLOADING = "Please wait, downloading Quillon..."
ACCEPT, INSTALL = 1001, 1009
# Slow enough that a download can be watched and cancelled.
SLOW = 200 * 1024
PACKAGE = None


def setUpModule():
    global PACKAGE
    PACKAGE = standin_package()
    si.register_standin()
# The first window of each mode that has one, known by a control of its own.
FIRST_WINDOWS = {1005: "licence", 1013: "progress"}


class InstallerRun:
    """One start of Installer.exe with a temporary folder of its own. With
    window, the mode opens one: the run notes which (in `window`) and
    closes it with Esc."""

    def __init__(self, *args, temp=None, window=False):
        self.temp = temp or h.scratch_dir("temp")
        self.window = None
        if window:
            env = []
            for name, value in h.temp_env(self.temp).items():
                env += ["--env", "%s=%s" % (name, value)]
            program = h.start(h.exe("launch"), *env, "--", INSTALLER, *args,
                              output=os.path.join(self.temp, "output.txt"))
            try:
                h.wait_for_x_window(program=program)
                state = h.wait_for_window(timeout=60)
                self.window = next((FIRST_WINDOWS[c["id"]] for c in state["controls"] if c["id"] in FIRST_WINDOWS),
                                   "unknown")
                h.key("Escape")
                h.xdotool("keyup", "Escape")
                self.exit_code = program.wait(timeout=60)
            finally:
                program.stop()
        else:
            self.exit_code = h.run(INSTALLER, *args, env=h.temp_env(self.temp)).returncode
        self.log = h.read_log(self.temp)
        self.messages = [line.split("] ", 1)[1] for line in self.log.splitlines() if "] " in line]


def wait_for(path, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return True
        time.sleep(0.1)
    return False


class DriveWithProgram:
    """A stand-in USB stick holding the stand-in Quillon.exe, mapped to a letter."""

    def __init__(self, letter, with_program=True):
        self.folder = h.scratch_dir("drive" + letter)
        if with_program:
            shutil.copy(STAND_IN, os.path.join(self.folder, "Quillon.exe"))
            h.give_to_test_user(self.folder)
        self.record = os.path.join(self.folder, "QuillonRuns.txt")
        self._mapping = h.drive(letter, self.folder)

    def __enter__(self):
        self._mapping.__enter__()
        return self

    def __exit__(self, *exc):
        return self._mapping.__exit__(*exc)


class Ends:
    """Each way a mode ends: its exit code and the log's last line, level and text."""

    def assertEnds(self, what, code, level, message, run_code, log):
        self.assertEqual(code, run_code, "%s: exit code\n%s" % (what, log))
        got_level, got_message = last_line(log)
        self.assertEqual((level, message), (got_level, got_message[:len(message)]), "%s: last line\n%s" % (what, log))


class OpenMode(unittest.TestCase, Ends):
    def test_program_on_the_named_drive_is_started_and_nothing_installed(self):
        with DriveWithProgram("E") as drive:
            run = InstallerRun("--path", "E:\\")
            self.assertTrue(wait_for(drive.record), "Quillon.exe was not started")
            with open(drive.record, encoding="utf-8") as handle:
                command_line, folder = handle.read().rstrip("\r\n").split("\t")
            self.assertIn("E:\\Quillon.exe", command_line)
            self.assertEqual("E:\\", folder, "started in the stick's root")
            self.assertEnds("started", 0, "INFO", "Started E:\\Quillon.exe in E:\\", run.exit_code, run.log)
            self.assertEqual(2, len(run.messages), run.log)

        # A program file the user may not read cannot be started.
        with DriveWithProgram("E") as drive:
            os.chmod(os.path.join(drive.folder, "Quillon.exe"), 0)
            run = InstallerRun("--path", "E:\\")
            self.assertEnds("not started", 1, "ERROR", "Could not start E:\\Quillon.exe: error ", run.exit_code,
                            run.log)
            self.assertFalse(os.path.exists(drive.record))

        # Nor a folder of that name, which the shell would open as a folder.
        with DriveWithProgram("E", with_program=False) as drive:
            os.mkdir(os.path.join(drive.folder, "Quillon.exe"))
            h.give_to_test_user(drive.folder)
            run = InstallerRun("--path", "E:\\")
            self.assertEnds("a folder", 1, "ERROR", "Could not start E:\\Quillon.exe: it is a folder, not the program",
                            run.exit_code, run.log)

    def test_letter_is_kept_as_written(self):
        with DriveWithProgram("E") as drive:
            run = InstallerRun("--path", "e:\\")
            self.assertEqual(0, run.exit_code)
            self.assertTrue(wait_for(drive.record))
            with open(drive.record, encoding="utf-8") as handle:
                self.assertIn("e:\\Quillon.exe", handle.read())

    def test_values_that_are_not_a_drive_root_are_ignored(self):
        with DriveWithProgram("E") as drive:
            for args in (["--path", "E:"], ["--path", "E:\\Tools"], ["--path"],
                         ["--path", "E:", "--path", "E:\\"]):
                run = InstallerRun(*args, window=True)
                self.assertEqual(1, run.exit_code, args)
                self.assertEqual(("licence", ["Log created"]), (run.window, run.messages), args)
            time.sleep(1)
            self.assertFalse(os.path.exists(drive.record), "the program must not be started")

    def test_drive_without_the_program_goes_to_the_interactive_install(self):
        with DriveWithProgram("E", with_program=False):
            run = InstallerRun("--path", "E:\\", "/path=F:", window=True)
            self.assertEqual(1, run.exit_code)
            self.assertEqual(("licence", ["Log created"]), (run.window, run.messages),
                             "/path= is not looked at once --path named a drive")


class SilentInstall(unittest.TestCase, Ends):
    def test_every_end(self):
        served = h.scratch_dir("served")
        os.chmod(served, 0o755)
        try:
            for what, publish, attached, code, level, message in (
                    ("installed", lambda f: write_package(f, PACKAGE), True, 0, "INFO", "Install succeeded: "),
                    ("drive missing", None, False, 1, "ERROR",
                     "Install failed: the drive is not among the attached USB drives"),
                    ("server down", None, True, 1, "ERROR", "Install failed: "),
                    ("refused package", refused_package(PACKAGE), True, 1, "ERROR", "Install failed: ")):
                stick = h.scratch_dir("stick")
                with self.subTest(what), si.usb_stick("E", stick, attached=attached) as wmi:
                    temp = h.scratch_dir("temp")
                    if publish is None:
                        result = si.run_installer(INSTALLER, "E:", temp, wmi)
                    else:
                        publish(served)
                        with UpdateServer(served):
                            result = si.run_installer(INSTALLER, "E:", temp, wmi)
                    self.assertEnds(what, code, level, message, result.returncode, h.read_log(temp))
        finally:
            h.remove_tree(served)

    def test_last_destination_wins(self):
        run = InstallerRun("/path=E:", "/path=F:")
        self.assertEqual(1, run.exit_code)
        self.assertIn("CheckDriveConnected F:\\ is not among the attached USB drives", run.messages)
        self.assertEqual(3, len(run.messages), run.log)
        self.assertRegex(run.messages[-1], r"^Install failed: the drive is not among the attached "
                                           r"USB drives; 0 bytes downloaded in \d+\.\d s$")

    def test_first_six_characters_are_cut_wherever_the_option_stands(self):
        run = InstallerRun("x/path=E:")
        self.assertIn("CheckDriveConnected =E:\\ is not among the attached USB drives", run.messages)

    def test_empty_value_is_no_silent_install(self):
        run = InstallerRun("/path=", window=True)
        self.assertEqual(("licence", ["Log created"]), (run.window, run.messages))

    def test_silent_install_beats_the_update(self):
        run = InstallerRun("/path=E:", "/AppUpdate", "--drivePath", "E:\\")
        self.assertEqual(1, run.exit_code)
        self.assertIn("CheckDriveConnected E:\\ is not among the attached USB drives", run.messages)
        self.assertFalse(any(m.startswith(UPDATE) for m in run.messages))

    def test_drive_missing_leaves_no_package_behind(self):
        temp = h.scratch_dir("temp")
        work = h.work_folder(temp)
        os.makedirs(os.path.join(work, "QL_Install_G"))
        stale = os.path.join(work, "QL_Install_G", "Quillon.zip")
        with open(stale, "wb") as handle:
            handle.write(b"PK from an interrupted run")
        h.give_to_test_user(temp)
        run = InstallerRun("/path=G:", temp=temp)
        self.assertEqual(1, run.exit_code)
        self.assertFalse(os.path.exists(stale))
        self.assertTrue(os.path.isdir(os.path.join(work, "QL_Install_G")), "the folder itself stays")


def window_ends(test, args, cases, programs=None):
    """Runs the progress dialog once per case against the real server, on a
    stick E: that holds `programs` ({path: stand-in mode}):
    (what, serve: None for no server, or a publish function; act(run) that
    ends the window; exit code; level; the last line's start)."""
    served = h.scratch_dir("served")
    os.chmod(served, 0o755)
    try:
        for what, publish, act, code, level, message in cases:
            with test.subTest(what), Stick("E", programs=programs):
                server = None
                if publish is not None:
                    publish(served)
                    server = UpdateServer(served, rate=SLOW)
                    server.__enter__()
                try:
                    with Installer(*args) as run:
                        act(run)
                        test.assertEnds(what, code, level, message, run.exit_code(60), run.log())
                finally:
                    if server is not None:
                        server.__exit__(None, None, None)
    finally:
        h.remove_tree(served)


def publish_package(folder):
    write_package(folder, PACKAGE, version=2)


def when(condition, then):
    """Waits for the window's state, then does `then(run)`."""
    def act(run):
        run.until(condition, "ready to end", timeout=120)
        then(run)
    return act


def downloading(state):
    return text(state) == DOWNLOADING and visible(state, PROGRESS)


def failed(state):
    return not visible(state, PROGRESS)


def close_button(run):
    run.click(CLOSE)


def escape(run):
    closing_key(run, "Escape")


def alt_f4(run):
    closing_key(run, "alt+F4")


class InteractiveInstall(unittest.TestCase, Ends):
    def test_every_end(self):
        # Before the progress dialog: the licence declined, the picker closed.
        run = InstallerRun(window=True)
        self.assertEnds("licence declined", 1, "INFO", "Log created", run.exit_code, run.log)
        picker = Installer()
        try:
            picker.state = h.wait_for_window()
            picker.click(ACCEPT)
            picker.until(lambda s: any(c["id"] == INSTALL for c in s["controls"]), "on the picker")
            escape(picker)
            self.assertEnds("no drive chosen", 1, "INFO", "Log created", picker.exit_code(60), picker.log())
        finally:
            picker.program.stop()

        window_ends(self, ("--path", "E:\\"), (
            ("completed, closed", publish_package, when(lambda s: visible(s, COMPLETE), escape),
             0, "INFO", "Install succeeded: "),
            ("failed, closed", None, when(failed, alt_f4), 1, "ERROR", "Install failed: "),
            ("cancelled with the close button", publish_package, when(downloading, close_button),
             1, "INFO", "Install cancelled: "),
            ("cancelled with Esc", publish_package, when(downloading, escape), 1, "INFO", "Install cancelled: "),
        ))


class UpdateMode(unittest.TestCase, Ends):
    def test_every_end(self):
        args = ("/AppUpdate", "--drivePath", "E:\\", "--exePath", "E:\\Quillon.exe")
        window_ends(self, args, (
            ("updated", publish_package, lambda run: None, 0, "INFO", "Update succeeded: "),
            ("server down", None, when(failed, close_button), 1, "ERROR", "Update failed: the update server "),
            ("refused package", refused_package(PACKAGE), when(failed, escape), 1, "ERROR", "Update failed: Package refused: "),
            ("cancelled", publish_package, when(downloading, alt_f4), 1, "INFO", "Update cancelled: "),
        ), programs={"Quillon.exe": ""})
        window_ends(self, ("/AppUpdate",), (
            ("no drive named", None, when(failed, close_button), 1, "ERROR",
             "Update failed: the drive is not among the attached USB drives"),
        ))

    def test_update_is_chosen_by_a_case_sensitive_substring(self):
        run = InstallerRun("/AppUpdate", "--drivePath", "E:\\", "--exePath", "E:\\Папка\\Quillon.exe", window=True)
        self.assertEqual(1, run.exit_code, "Esc cancels the progress dialog")
        self.assertEqual("progress", run.window)
        self.assertEqual([UPDATE + "69", "SetAppUpdateMode m_exePathToUpdate: E:\\Папка\\Quillon.exe"],
                         run.messages[1:3], run.log)

        run = InstallerRun("x/AppUpdatey", window=True)
        self.assertEqual("progress", run.window)
        self.assertTrue(run.messages[1].startswith(UPDATE), run.log)

        run = InstallerRun("/appupdate", window=True)
        self.assertEqual(("licence", ["Log created"]), (run.window, run.messages))

    def test_open_mode_beats_the_update(self):
        with DriveWithProgram("E") as drive:
            run = InstallerRun("/AppUpdate", "--path", "E:\\")
            self.assertEqual(["Log created", "Started E:\\Quillon.exe in E:\\"], run.messages)
            self.assertTrue(wait_for(drive.record))


class LogFile(unittest.TestCase):
    def test_runs_append_and_each_begins_with_log_created(self):
        temp = h.scratch_dir("temp")
        InstallerRun("/path=Q:", temp=temp)
        second = InstallerRun("/path=Q:", temp=temp)
        self.assertEqual("Log created", second.messages[0])
        self.assertTrue(second.messages[1].startswith("CheckDriveConnected Q:"), second.log)
        self.assertTrue(second.messages[2].startswith("Install failed: "), second.log)
        self.assertEqual("Log created", second.messages[3])
        self.assertEqual(6, len(second.messages), second.log)
        self.assertRegex(second.log.splitlines()[0],
                         r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d,\d{3} INFO  \[default\] Log created$")

    def test_non_ascii_temporary_folder(self):
        temp = os.path.join(h.scratch_dir("temp"), "Временная 临时 é")
        os.makedirs(temp)
        h.give_to_test_user(os.path.dirname(temp))
        run = InstallerRun("/path=Q:", temp=temp)
        self.assertEqual("Log created", run.messages[0] if run.messages else None,
                         "no Installer.log in the work folder under " + temp)


if __name__ == "__main__":
    unittest.main(verbosity=2)
