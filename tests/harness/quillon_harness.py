"""Helpers for tests that drive Windows programs under Wine from outside.

Every path and setting comes from the environment that CTest gives the test
(see WineHarness.cmake), so a script runs the same from any build folder.
"""
import contextlib
import ctypes
import json
import os
import pwd
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

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
    command += [str(a) for a in args]
    # Output goes to a file, not a pipe: Wine's background services (and the
    # desktop process) that a program starts when none is running inherit
    # its output, and keep a pipe open until they end, seconds or minutes
    # after the program itself.
    with tempfile.TemporaryFile() as output:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output,
                                stderr=subprocess.STDOUT, timeout=timeout)
        output.seek(0)
        text = output.read().decode("utf-8", "replace")
        result.stdout = text.replace("\r\n", "\n").replace("\r", "\n")
    return result


def restart_wine_server(persistent=True):
    """Ends the prefix's Wine server and its background services. With
    persistent, starts them again as the prefix fixture does, with no output;
    without, the next Windows program starts them itself."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # -k only signals the server; a program started before it has gone can
    # reach the dying server and never show a window (seen: no window in 60 s).
    subprocess.run([WINE_RUN, "--shell", "sh", "-c", '"$WINESERVER" -k; "$WINESERVER" -w'], **quiet)
    if persistent:
        subprocess.run([WINE_RUN, "--shell", "sh", "-c", '"$WINESERVER" -p60'], **quiet)
        subprocess.run([WINE_RUN, "cmd.exe", "/c", "exit"], **quiet)


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


@contextlib.contextmanager
def exfat_stick(megabytes, label="QUILLON"):
    """A stick's own file system rather than this machine's ext4: an exFAT
    image of this size, mounted through FUSE for the user that runs Wine.
    Yields its folder, or None with the reason printed where this machine
    cannot mount one (not root, no FUSE, no exFAT tools)."""
    tools = ("mkfs.exfat", "mount.exfat-fuse", "losetup", "fusermount3")
    missing = [t for t in tools if shutil.which(t) is None]
    if os.getuid() != 0 or missing or not os.path.exists("/dev/fuse"):
        print("SKIP exFAT stick: needs root, /dev/fuse and %s" % ", ".join(missing or tools), file=sys.stderr)
        yield None
        return
    work = tempfile.mkdtemp(prefix="exfat-", dir=BUILD_DIR)
    os.chmod(work, 0o755)
    image, folder = os.path.join(work, "stick.img"), os.path.join(work, "stick")
    os.mkdir(folder)
    quiet = dict(check=True, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    device, mounted = None, False
    try:
        try:
            with open(image, "wb") as handle:
                handle.truncate(megabytes * 1024 * 1024)
            subprocess.run(["mkfs.exfat", "-L", label, image], **quiet)
            device = subprocess.run(["losetup", "-f", "--show", image], **quiet).stdout.strip()
            uid, gid = _test_user_ids() or (0, 0)
            subprocess.run(["mount.exfat-fuse", "-o", "uid=%d,gid=%d,umask=022" % (uid, gid), device, folder],
                           **quiet)
            mounted = True
        except subprocess.CalledProcessError as error:
            print("SKIP exFAT stick: %s failed: %s" % (error.cmd[0], error.stderr.strip()), file=sys.stderr)
        yield folder if mounted else None
    finally:
        if mounted:
            # Lazily when Wine still holds a handle on it for a moment.
            if subprocess.run(["fusermount3", "-u", folder], capture_output=True).returncode != 0:
                subprocess.run(["fusermount3", "-u", "-z", folder], capture_output=True)
        if device:
            subprocess.run(["losetup", "-d", device], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)

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


def files_under(root):
    """Every file and folder under root: {relative name: a file's bytes},
    a folder as "name/": None."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            found[os.path.relpath(os.path.join(folder, name), root) + "/"] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as handle:
                found[os.path.relpath(os.path.join(folder, name), root)] = handle.read()
    return found


# ---- windows on the prefix's virtual screen --------------------------------
#
# wine-prefix starts an Xvfb screen for the prefix and wine-run shows every
# program there. A test starts its program with start(), reads the window's
# state with probe(), keeps a screenshot of each state it reaches with
# screen.shot() (in the test's output folder, for people to look at) and
# checks pixels of it, and drives the pointer and keyboard with xdotool.



def display():
    """The prefix's screen, ":N"."""
    with open(WINEPREFIX + ".display") as handle:
        return handle.read().strip()


def _x_env():
    env = dict(os.environ)
    env["DISPLAY"] = display()
    return env


class Program:
    """A Windows program running in the background; its output goes to a file
    that lines() and wait_line() read while it runs."""

    def __init__(self, program, args, output):
        self.output = output
        self._file = open(output, "w")
        self.process = subprocess.Popen([WINE_RUN, program] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                                        stdout=self._file, stderr=subprocess.STDOUT, start_new_session=True)

    def lines(self):
        with open(self.output, errors="replace") as handle:
            return [line.rstrip("\n") for line in handle]

    def wait_line(self, prefix, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for line in self.lines():
                if line.startswith(prefix):
                    return line
            if self.process.poll() is not None and not any(l.startswith(prefix) for l in self.lines()):
                break
            time.sleep(0.1)
        raise AssertionError("no line %r from the program; it wrote:\n%s" % (prefix, "\n".join(self.lines())))

    def wait(self, timeout=30):
        """The exit code, once the program has ended by itself."""
        try:
            return self.process.wait(timeout)
        finally:
            self._file.close()

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self._file.close()


def start(program, *args, output):
    return Program(program, args, output)


def probe(title="Quillon Setup"):
    """The state of the top-level window with this title, read by ui_probe
    from outside (see tests/ui/UiProbe.cpp for the fields).

    Its output goes through a file, not a pipe: when the probe is the first
    program of a Wine session to need the desktop, the desktop process it
    starts inherits its output and would hold a pipe open for good."""
    with tempfile.TemporaryFile("w+") as output:
        subprocess.run([WINE_RUN, exe("ui_probe"), "--title", title], stdin=subprocess.DEVNULL,
                       stdout=output, stderr=subprocess.STDOUT, timeout=60)
        output.seek(0)
        return json.loads(output.read())


def wait_for_window(title="Quillon Setup", timeout=30, gone=False):
    deadline = time.time() + timeout
    while time.time() < deadline:
        state = probe(title)
        if state["found"] != gone:
            return state
        time.sleep(0.2)
    raise AssertionError("window %r %s" % (title, "still there" if gone else "never appeared"))


def control(state, control_id):
    for item in state["controls"]:
        if item["id"] == control_id:
            return item
    raise AssertionError("no control %d in the window" % control_id)


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=_x_env(), check=True, timeout=30)


def pointer_location():
    shown = subprocess.run(["xdotool", "getmouselocation", "--shell"], env=_x_env(), check=True, timeout=30,
                           capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in shown.split() if "=" in line)
    return int(values["X"]), int(values["Y"])


def pointer_to(x, y):
    """Moves the pointer and waits until it is there. Not asked to move
    where it already is: over a Wine window, mousemove --sync then waits
    about 15 s for a move that never comes."""
    if pointer_location() != (x, y):
        xdotool("mousemove", "--sync", x, y)
    time.sleep(0.3)


def press(button=1):
    xdotool("mousedown", button)
    time.sleep(0.3)


def release(button=1):
    xdotool("mouseup", button)
    time.sleep(0.3)


def drag(start_point, end_point, steps=5):
    """Presses at start_point, moves to end_point in steps, releases."""
    pointer_to(*start_point)
    press()
    for i in range(1, steps + 1):
        x = start_point[0] + (end_point[0] - start_point[0]) * i // steps
        y = start_point[1] + (end_point[1] - start_point[1]) * i // steps
        xdotool("mousemove", x, y)
        time.sleep(0.1)
    time.sleep(0.3)
    release()


def key(name, title="Quillon Setup", window=None, settle=True):
    """A key press for the window with this title (or this X window id).
    There is no window manager on the virtual screen, so the window is given
    the X input focus first; the key then goes in a call of its own, through
    the X server's own input (XTEST), which that focus directs. The server
    carries out the first call's requests before the second's, so nothing
    waits for the focus to be reported on that very window (with Wine the
    server may report PointerRoot instead).

    A key that closes its window (Esc) can be left down in the server, which
    would then repeat it into the next program; every key still down
    afterwards is let go. With settle, returns a moment later, for the
    window to have acted."""
    if window is None:
        xdotool("search", "--limit", "1", "--name", "^%s$" % title, "windowfocus")
    else:
        xdotool("windowfocus", window)
    try:
        xdotool("key", name)
    finally:
        release_held_keys()
    if settle:
        time.sleep(0.2)


class _X:
    """The few Xlib and XTEST calls that see and let go of held keys."""

    def __init__(self):
        self.lib = ctypes.CDLL("libX11.so.6")
        self.test = ctypes.CDLL("libXtst.so.6")
        self.lib.XOpenDisplay.restype = ctypes.c_void_p
        self.lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        for name in ("XCloseDisplay", "XSync", "XQueryKeymap"):
            getattr(self.lib, name).argtypes = [ctypes.c_void_p] + ([ctypes.c_char_p] if name == "XQueryKeymap"
                                                                    else [ctypes.c_int] if name == "XSync" else [])
        self.test.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

    @contextlib.contextmanager
    def connection(self):
        connection = self.lib.XOpenDisplay(display().encode())
        if not connection:
            raise AssertionError("cannot open the X display %s" % display())
        try:
            yield connection
        finally:
            self.lib.XCloseDisplay(connection)

    def held(self, connection):
        keys = ctypes.create_string_buffer(32)
        self.lib.XQueryKeymap(connection, keys)
        return [i * 8 + bit for i, byte in enumerate(keys.raw) for bit in range(8) if byte >> bit & 1]


_x = None


def _xlib():
    global _x
    if _x is None:
        _x = _X()
    return _x


def keys_held():
    """The key codes that the X server of the prefix's screen holds down."""
    with _xlib().connection() as connection:
        return _xlib().held(connection)


def release_held_keys():
    """Lets go of every key the X server holds down."""
    x = _xlib()
    with x.connection() as connection:
        for code in x.held(connection):
            x.test.XTestFakeKeyEvent(connection, code, 0, 0)
        x.lib.XSync(connection, 0)


def shown_windows(title="Quillon Setup"):
    """The X windows with this title that are on the screen: what a person
    sees, read without asking the program (whose thread may be busy)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                           env=_x_env(), capture_output=True, text=True)
    return set(found.stdout.split())


def wait_for_x_window(title="Quillon Setup", timeout=60, program=None):
    """Waits on the X side for a program's first window. Probing before it
    exists could make the probe the process that starts Wine's desktop, which
    keeps the probe's output open and the probe's caller waiting. With the
    Program, a failure says whether it was still running and what it wrote."""
    deadline = time.time() + timeout
    while subprocess.run(["xdotool", "search", "--name", "^%s$" % title], env=_x_env(),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        if time.time() > deadline:
            how = ""
            if program is not None:
                code = program.process.poll()
                how = "; the program %s; it wrote:\n%s" % (
                    "still runs" if code is None else "ended with %d" % code, "\n".join(program.lines()))
            raise AssertionError("no window %r on the screen within %d s%s" % (title, timeout, how))
        time.sleep(0.2)

def moment_when(condition, timeout=15):
    """When condition() first held, polled every 20 ms."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return time.time()
        time.sleep(0.02)
    raise AssertionError("not within %d s" % timeout)


@contextlib.contextmanager
def windows_without_a_window_manager():
    """Wine treats the program's windows as managed, and with no window
    manager on the virtual screen each window's hiding or end then waits two
    seconds for one to answer, with the window's thread stuck meanwhile
    (measured: the licence's DestroyWindow took 2.0 s, 0.04 s with managed
    mode off). Off for Installer.exe alone, so that a timing measures the
    program, not that wait."""
    key = "HKCU\\Software\\Wine\\AppDefaults\\Installer.exe"
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINE_RUN, "--shell", "sh", "-c", 'wine reg "$@"', "reg", "add", key + "\\X11 Driver",
                    "/v", "Managed", "/d", "N", "/f"], check=True, **quiet)
    try:
        yield
    finally:
        subprocess.run([WINE_RUN, "--shell", "sh", "-c", 'wine reg "$@"', "reg", "delete", key, "/f"], **quiet)


class Image:
    """RGB pixels: a screenshot, or a 32-bit BMP composited over nothing."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])


def read_png(path):
    size = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True, check=True)
    width, height = (int(v) for v in size.stdout.split())
    raw = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    return Image(width, height, raw)


def read_bmp(path):
    """A 32-bit premultiplied BMP as the (b, g, r, a) rows the program blends,
    top row first: {(x, y): (r, g, b, a)}."""
    with open(path, "rb") as handle:
        data = handle.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    pixels = {}
    for row in range(abs(height)):
        y = abs(height) - 1 - row if height > 0 else row
        for x in range(width):
            b, g, r, a = data[offset + (row * width + x) * 4:offset + (row * width + x) * 4 + 4]
            pixels[(x, y)] = (r, g, b, a)
    return width, abs(height), pixels


def blend(source, under):
    """A premultiplied source pixel (r, g, b, a) over an opaque pixel, as
    AlphaBlend with per-pixel alpha does it."""
    r, g, b, a = source
    return tuple(min(255, s + (d * (255 - a) + 127) // 255) for s, d in zip((r, g, b), under))


def image_mismatches(shot, state, control_id, image, under, tolerance=2):
    """Pixels of a control that differ from an image (read_bmp's pixels)
    blended over the pixels under it (a skin's, in client coordinates): by
    more than `tolerance` in a channel, or at all where the image is fully
    transparent. [((x, y), actual, expected)] in the control's coordinates."""
    x0, y0, _, _ = control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    bad = []
    for (x, y), source in image.items():
        expected = blend(source, under[(x0 + x, y0 + y)][:3])
        actual = shot.pixel(ox + x0 + x, oy + y0 + y)
        limit = 0 if source[3] == 0 else tolerance
        if max(abs(a - e) for a, e in zip(actual, expected)) > limit:
            bad.append(((x, y), actual, expected))
    return bad


def light_cue(shot, state, control_id):
    """The share of a control's edge pixels that are white: a light focus
    cue drawn around it."""
    x, y, width, height = control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    edge = {(x + i, y + j) for i in range(width) for j in (0, height - 1)}
    edge |= {(x + i, y + j) for i in (0, width - 1) for j in range(height)}
    return sum(shot.pixel(ox + px, oy + py) == (255, 255, 255) for px, py in edge) / len(edge)


class Screen:
    """Screenshots of the prefix's screen, numbered in the order taken and
    kept in one folder: build/test-output/<name>/NN-<state>.png."""

    def __init__(self, name):
        self.folder = os.path.join(BUILD_DIR, "test-output", name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.count = 0

    def shot(self, state):
        self.count += 1
        path = os.path.join(self.folder, "%02d-%s.png" % (self.count, state))
        time.sleep(0.3)
        subprocess.run(["import", "-window", "root", path], env=_x_env(), check=True, timeout=60)
        return read_png(path)
