"""Helpers for tests that drive Windows programs under Wine from outside.

Every path and setting comes from the environment that CTest gives the test
(see WineHarness.cmake), so a script runs the same from any build folder.
"""
import contextlib
import os
import pwd
import shutil
import subprocess
import tempfile

BUILD_DIR = os.environ["QUILLON_BUILD_DIR"]
SOURCE_DIR = os.environ["QUILLON_SOURCE_DIR"]
WINE_RUN = os.environ["QUILLON_WINE_RUN"]
WINEPREFIX = os.environ["QUILLON_WINEPREFIX"]
TEST_USER = os.environ.get("QUILLON_TEST_USER", "")
SCRATCH = os.environ["QUILLON_TEST_SCRATCH"]
UPDATE_HOST = os.environ.get("QUILLON_UPDATE_HOST", "")
UPDATE_PORT = int(os.environ.get("QUILLON_UPDATE_PORT", "443"))

WORK_FOLDER_NAME = "{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}"


def exe(target):
    """Path of a built Windows program, by its CMake target name."""
    return os.environ["QUILLON_EXE_" + target]


def _test_user_ids():
    if os.getuid() != 0 or not TEST_USER:
        return None
    entry = pwd.getpwnam(TEST_USER)
    return entry.pw_uid, entry.pw_gid


def give_to_test_user(path):
    """Hands a file or a whole tree to the user that runs Wine."""
    ids = _test_user_ids()
    if ids is None:
        return
    os.chown(path, *ids)
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(root, name), *ids)


def scratch_dir(prefix):
    """A new empty folder that Windows programs under test may write to."""
    os.makedirs(SCRATCH, exist_ok=True)
    give_to_test_user(SCRATCH)
    path = tempfile.mkdtemp(prefix=prefix + "-", dir=SCRATCH)
    give_to_test_user(path)
    return path


def win_path(path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(program, *args, env=None, cwd=None, timeout=180):
    """Runs a Windows program and returns the CompletedProcess.

    With env (a dict of Windows environment variables) or cwd, the program is
    started through launch.exe, since Wine does not pass the Unix TMP and
    TEMP through. Output is captured as text.
    """
    command = [WINE_RUN]
    if env or cwd:
        command.append(exe("launch"))
        for name, value in (env or {}).items():
            command += ["--env", "%s=%s" % (name, value)]
        if cwd:
            command += ["--cwd", cwd]
        command.append("--")
    command.append(program)
    command += list(args)
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=timeout, text=True,
                          errors="replace")


def dosdevice(letter):
    return os.path.join(WINEPREFIX, "dosdevices", letter.lower() + ":")


@contextlib.contextmanager
def drive(letter, folder):
    """Maps a drive letter to a Unix folder for the duration of the block."""
    link = dosdevice(letter)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.path.abspath(folder), link)
    ids = _test_user_ids()
    if ids is not None:
        os.lchown(link, *ids)
    try:
        yield letter.upper() + ":"
    finally:
        if os.path.islink(link):
            os.unlink(link)


def temp_env(folder):
    """Windows environment that makes `folder` the program's temporary folder."""
    windows = win_path(folder) + "\\"
    return {"TMP": windows, "TEMP": windows}


def work_folder(temp_folder):
    """Unix path of the installer's work folder under a temporary folder."""
    return os.path.join(temp_folder, WORK_FOLDER_NAME)


def read_log(temp_folder):
    path = os.path.join(work_folder(temp_folder), "Installer.log")
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as handle:
        return handle.read().decode("utf-8", "replace")


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)



def _restart_wine_session():
    script = os.path.join(SOURCE_DIR, "tests", "harness", "wine-prefix")
    for action in ("stop", "start"):
        subprocess.run([script, WINE_RUN, WINEPREFIX, TEST_USER, action], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


@contextlib.contextmanager
def x_display():
    """A private Xvfb display for the block, open to the test user, for
    programs that open windows.

    Wine binds its desktop to the display of the session that first needs
    one, and the suite's session starts without a display. So the block runs
    in a Wine session of its own, started on the new display, and a session
    without one is put back after it (any program still running in the
    block's session ends with it)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-ac", "-nolisten", "tcp",
                               "-screen", "0", "1024x768x24"],
                              pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        number = announced.readline().strip()
    if not number:
        server.wait()
        raise RuntimeError("Xvfb did not start (exit code %s)" % server.returncode)
    previous = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = ":" + number
    try:
        _restart_wine_session()
        yield os.environ["DISPLAY"]
    finally:
        if previous is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = previous
        _restart_wine_session()
        server.terminate()
        try:
            server.wait(timeout=5)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
