"""The interactive install as a user meets it: the licence, the drive
picker, and what each way out of them leads to. Screenshots of every state
are kept in build/.../test-output/dialogs.interactive/."""
import hashlib
import io
import json
import os
import subprocess
import sys
import time
import unittest
import zipfile

import quillon_harness as h

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
import silent_install as si  # noqa: E402
from update_server import UpdateServer, version_record, write_package  # noqa: E402

INSTALLER = h.exe("Installer")
STAND_IN = h.exe("QuillonStandIn")
IMAGES = os.path.join(h.BUILD_DIR, "Installer", "res")
LICENCE_DOCUMENT = os.path.join(h.SOURCE_DIR, "Installer", "res", "Licence.rtf")
TEXT_COLOUR = (0, 61, 61)
# EVENT_OBJECT_VALUECHANGE
VALUE_CHANGED = 0x800E
LOOKING = "Looking for USB drives\u2026"
# NTFS allows 32 characters, FAT32 11; W is the widest letter.
LABEL_32 = "W" * 32
_bmps = {}


def bmp(number):
    if number not in _bmps:
        _bmps[number] = h.read_bmp(os.path.join(IMAGES, "%d.bmp" % number))
    return _bmps[number]


class Sticks:
    """USB sticks by letter (a label, or None for none), mapped to folders
    and listed in a WMI fixture that can be rewritten while a run goes on."""

    def __init__(self):
        self.work = h.scratch_dir("dialogs-wmi")
        self.fixture = None
        self._mapped = []

    def attach(self, *letters_and_labels):
        folders = []
        for letter, label in letters_and_labels:
            folder = h.scratch_dir("stick" + letter)
            if label is not None:
                with open(os.path.join(folder, ".windows-label"), "w") as handle:
                    handle.write(label + "\n")
            mapping = h.drive(letter, folder)
            mapping.__enter__()
            self._mapped.append(mapping)
            folders.append(folder)
        return folders

    def report(self, *letters, hold_ms=0):
        """What WMI reports from now on, in this order; with hold_ms, each
        enumeration takes that long."""
        self.fixture = si.write_wmi_fixture(self.work, list(letters))
        if hold_ms:
            with open(os.path.join(self.work, "wmi-fixture.txt"), "a") as handle:
                handle.write("hold\t%d\n" % hold_ms)

    def close(self):
        for mapping in reversed(self._mapped):
            mapping.__exit__(None, None, None)
        h.remove_tree(self.work)


class Run:
    """Installer.exe started in the background, as a user starts it."""

    def __init__(self, sticks, *args):
        self.temp = h.scratch_dir("dialogs-temp")
        env = dict(h.temp_env(self.temp))
        env["QUILLON_WMI_FIXTURE"] = sticks.fixture
        command = []
        for name, value in env.items():
            command += ["--env", "%s=%s" % (name, value)]
        self.program = h.start(h.exe("launch"), *command, "--", INSTALLER, *args,
                               output=os.path.join(self.temp, "output.txt"))

    def window(self, control_id):
        """Waits for the dialog that has this control and returns its state."""
        for _ in range(150):
            state = h.probe()
            if state["found"] and any(c["id"] == control_id for c in state["controls"]):
                return state
            if self.program.process.poll() is not None:
                break
            subprocess.run(["sleep", "0.2"])
        raise AssertionError("no window with control %d; log:\n%s" % (control_id, self.log()))

    def click(self, state, control_id, settle=True):
        """Returns when the button was let go, which is when a click acts;
        without settle at once, for timing what follows."""
        x, y, width, height = h.control(state, control_id)["rect"]
        origin = state["clientOrigin"]
        h.pointer_to(origin[0] + x + width // 2, origin[1] + y + height // 2)
        h.press()
        h.xdotool("mouseup", 1)
        released = time.time()
        if settle:
            time.sleep(0.3)
        return released

    def picker(self):
        """The drive picker once it has stopped looking for drives."""
        for _ in range(150):
            if entries(self.window(1009))[0] != [(LOOKING, 0)]:
                # Read again: the probe may have read the focus while the
                # list was being filled, before the keyboard moved to it.
                return self.window(1009)
            subprocess.run(["sleep", "0.2"])
        raise AssertionError("the picker never stopped looking for drives")

    def exit_code(self):
        return self.program.wait(timeout=30)

    def log(self):
        return h.read_log(self.temp)

    def messages(self):
        return [line.split("] ", 1)[1] for line in self.log().splitlines() if "] " in line]

    def stop(self):
        self.program.stop()


def text_drawn_over_skin(test, shot, state, skin):
    """The static texts show the skin around their letters (no box of
    another colour behind them) and letters in the dialog's text colour."""
    ox, oy = state["clientOrigin"]
    for item in state["controls"]:
        if item["class"] != "Static" or not item["visible"]:
            continue
        x0, y0, width, height = item["rect"]
        skin_pixels = text_pixels = 0
        for y in range(y0, y0 + height):
            for x in range(x0, x0 + width):
                actual = shot.pixel(ox + x, oy + y)
                skin_pixels += actual == bmp(skin)[2][(x, y)][:3]
                text_pixels += actual == TEXT_COLOUR
        test.assertGreater(skin_pixels, width * height // 2, "skin behind %r" % item["text"])
        test.assertGreater(text_pixels, 20, "letters of %r in the text colour" % item["text"])


def install_button_image(shot, state):
    """309 or 315: which image the Install button shows, told by a pixel of
    its square."""
    x0, y0, _, _ = h.control(state, 1009)["rect"]
    ox, oy = state["clientOrigin"]
    actual = shot.pixel(ox + x0 + 4, oy + y0 + 15)
    under = bmp(302)[2][(x0 + 4, y0 + 15)][:3]
    for image in (309, 315):
        if actual == h.blend(bmp(image)[2][(4, 15)], under):
            return image
    return actual


def quillon_package():
    """A package whose program is the stand-in Quillon; (zip bytes,
    {path: sha256} of its files)."""
    with open(STAND_IN, "rb") as handle:
        files = {"Quillon.exe": handle.read(),
                 "Definitions/base.qdb": hashlib.sha256(b"definitions").digest() * 4096,
                 "ReadMe.txt": b"Quillon runs from this drive.\r\n"}
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, content in files.items():
            archive.writestr(path, content)
    return data.getvalue(), {path: hashlib.sha256(content).hexdigest() for path, content in files.items()}


def tree_of(folder):
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as handle:
                found[os.path.relpath(path, folder).replace(os.sep, "/")] = hashlib.sha256(handle.read()).hexdigest()
    return found


def centre(rect):
    """Twice the centre of an [x, y, width, height] rectangle, in whole
    numbers."""
    return rect[0] * 2 + rect[2], rect[1] * 2 + rect[3]


def changed_pixels(before, after, state, control_id):
    x, y, width, height = h.control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    return sum(before.pixel(ox + x + i, oy + y + j) != after.pixel(ox + x + i, oy + y + j)
               for i in range(width) for j in range(height))


def set_dpi(dpi):
    """The resolution Wine gives the programs it starts from now on."""
    subprocess.run([h.WINE_RUN, "--shell", "sh", "-c", 'wine reg "$@"', "reg", "add",
                    "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def key_to_the_shown_window(name):
    """h.key, aimed at the one window on the screen: without managed mode
    the window that went before can still be there, under the same title,
    for a moment."""
    h.moment_when(lambda: len(h.shown_windows()) == 1)
    h.key(name, window=next(iter(h.shown_windows())), settle=False)


def ink_columns(shot, state, control_id, columns):
    """Of these columns of a control (relative x), those where its middle
    rows are not all one colour: where something is drawn over the ground."""
    x0, y0, _, height = h.control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    return [x for x in columns
            if len({shot.pixel(ox + x0 + x, oy + y0 + y) for y in range(3, height - 3)}) > 1]


def unlike_the_image(shot, state, control_id, image, columns):
    """Pixels of a button in these columns that differ from its image
    blended over the skin: what was drawn on top."""
    x0, y0, _, height = h.control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    return [(x, y) for x in columns for y in range(height)
            if shot.pixel(ox + x0 + x, oy + y0 + y) != h.blend(bmp(image)[2][(x, y)], bmp(302)[2][(x0 + x, y0 + y)][:3])]


def darkest_grey(shot, state, control_id, columns):
    """The darkest grey (r = g = b) of a control in these columns: a
    caption's ink on the light bar; 255 for none."""
    x0, y0, _, height = h.control(state, control_id)["rect"]
    ox, oy = state["clientOrigin"]
    greys = [p[0] for p in (shot.pixel(ox + x0 + x, oy + y0 + y) for x in columns for y in range(height))
             if p[0] == p[1] == p[2]]
    return min(greys, default=255)


def screen_reader():
    """What a screen reader reads of each control of the window through
    MSAA: {id: (name, role, value, shortcut)}."""
    state = json.loads(h.run(h.exe("ui_probe"), "--access").stdout)
    return {c["id"]: tuple(c["access"][k] for k in ("name", "role", "value", "shortcut")) for c in state["controls"]}


def line_pitch(tops):
    """The spacing of the lines within a paragraph: the commonest step
    between one line's top and the next."""
    steps = [b - a for a, b in zip(tops, tops[1:]) if b > a]
    return max(set(steps), key=steps.count)


def entries(state):
    combo = h.control(state, 1002)
    return [(item["text"], item["data"]) for item in combo["items"]], combo["selected"], combo["enabled"]


class InteractiveInstall(unittest.TestCase):
    screen = None

    @classmethod
    def setUpClass(cls):
        cls.screen = h.Screen("dialogs.interactive")
        si.register_standin()

    def setUp(self):
        self.sticks = Sticks()
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.stop()
        self.sticks.close()

    def start(self, *args):
        run = Run(self.sticks, *args)
        self.runs.append(run)  # stopped by tearDown also when no window comes
        h.wait_for_x_window(program=run.program)
        return run

    def restart_wine(self):
        """Wine's mount manager learns of drive links (and their labels)
        only when it starts."""
        h.restart_wine_server(persistent=False)

    def test_licence_accepted_then_no_drive_to_install_to(self):
        self.sticks.report()
        run = self.start()
        licence = run.window(1005)
        shot = self.screen.shot("licence")
        self.assertEqual("Quillon Setup", licence["title"])
        self.assertFalse(h.control(licence, 1007)["visible"], "the help button is hidden")
        shown = h.run(h.exe("ui_probe"), "--text", "1005").stdout
        document = h.run(h.exe("ui_probe"), "--rtf", h.win_path(LICENCE_DOCUMENT)).stdout
        self.assertGreater(len(document), 15000)
        self.assertEqual(document, shown.replace('"found": true, ', ""), "the licence as the control shows it")
        text_drawn_over_skin(self, shot, licence, 300)

        run.click(licence, 1010)
        self.assertEqual(licence["controls"], run.window(1005)["controls"], "the product logo does nothing")

        run.click(licence, 1001)
        picker = run.picker()
        shot = self.screen.shot("no-drive")
        self.assertEqual(([("No USB drive found", 0)], 0, False), entries(picker))
        self.assertEqual(("&Install", False), (h.control(picker, 1009)["text"], h.control(picker, 1009)["enabled"]))
        self.assertEqual(315, install_button_image(shot, picker))
        self.assertGreater(darkest_grey(shot, picker, 1009, range(32, 118)), 100, "Install greyed out, its caption dark")
        text_drawn_over_skin(self, shot, picker, 302)
        self.assertEqual([1008, 1012, 1004], self.tab_order(3), "Tab stops on Install, which cannot act")

        run.click(picker, 1009)
        h.key("Return")
        self.assertEqual(picker["controls"], run.picker()["controls"], "Install and Enter do nothing")

        # A drive plugged in and the list refreshed: Install comes back.
        self.sticks.attach(("E", None))
        self.sticks.report("E")
        run.click(picker, 1004)
        picker = run.picker()
        self.screen.shot("no-drive-then-one-found")
        self.assertTrue(h.control(picker, 1009)["enabled"])
        self.assertEqual([1002, 1009, 1008, 1012], self.tab_order(4))
        h.key("Escape")
        self.assertEqual(1, run.exit_code())
        self.assertEqual(["Log created"], run.messages())

    def test_decline_close_and_esc_end_the_program_at_the_licence(self):
        self.sticks.report()
        for way in ("Decline", "close", "Escape"):
            with self.subTest(way=way):
                run = self.start()
                licence = run.window(1005)
                if way == "Escape":
                    h.key("Escape")
                else:
                    run.click(licence, 1002 if way == "Decline" else 1008)
                self.assertEqual(1, run.exit_code(), "and no other window kept it open")
                self.assertEqual(["Log created"], run.messages())

    def test_an_esc_that_closes_the_licence_leaves_no_key_down_for_the_next_program(self):
        """A key that closes its window must not stay down in the X server,
        which would repeat it into the next program (a licence closed at
        once). QUILLON_ESC_REPEAT sets how many times (100 for a soak)."""
        self.sticks.report()
        for attempt in range(int(os.environ.get("QUILLON_ESC_REPEAT", "3"))):
            with self.subTest(attempt=attempt):
                run = self.start()
                run.window(1005)
                time.sleep(0.5)
                self.assertIsNone(run.program.process.poll(), "the licence closed by itself")
                h.key("Escape")
                self.assertEqual(1, run.exit_code())
                self.assertEqual([], h.keys_held(), "a key is left down")

    def test_drives_in_letter_order_and_the_chosen_one_handed_on(self):
        self.sticks.attach(("E", "STICK"), ("G", None))
        self.sticks.report("G", "E")
        self.restart_wine()
        run = self.start()
        run.window(1005)
        h.key("Return")  # accepts
        picker = run.picker()
        shot = self.screen.shot("drives-E-and-G")
        self.assertEqual(([("STICK (E:)", ord("E")), ("USB Drive (G:)", ord("G"))], 0, True), entries(picker))
        self.assertEqual("&Install to:\nSTICK (E:)", h.control(picker, 1009)["text"])
        self.assertEqual(309, install_button_image(shot, picker))

        run.click(picker, 1002)  # opens the list
        h.key("Down")
        h.key("Return")
        picker = run.window(1009)
        self.screen.shot("second-drive-chosen")
        self.assertEqual(1, entries(picker)[1])
        self.assertEqual("&Install to:\nUSB Drive (G:)", h.control(picker, 1009)["text"])
        run.click(picker, 1009)
        self.assert_handed_on(run, "G")

    def test_refresh_sees_drives_attached_and_removed_meanwhile(self):
        self.sticks.attach(("E", None), ("G", None))
        self.sticks.report("E", "G")
        self.restart_wine()
        run = self.start()
        run.window(1005)
        h.key("Return")
        picker = run.picker()
        run.click(picker, 1002)
        h.key("Down")
        h.key("Return")

        self.sticks.attach(("F", None))
        self.sticks.report("E", "F", "G")
        picker = run.window(1009)
        self.assertEqual(([("USB Drive (E:)", 69), ("USB Drive (G:)", 71)], 1, True), entries(picker),
                         "not before a refresh")
        events = h.start(h.exe("ui_probe"), "--events", 60, output=os.path.join(run.temp, "events.txt"))
        self.addCleanup(events.stop)
        events.wait_line("listening")
        run.click(picker, 1004)
        picker = run.picker()
        self.screen.shot("drive-attached-and-refreshed")
        self.assertEqual(([("USB Drive (E:)", 69), ("USB Drive (F:)", 70), ("USB Drive (G:)", 71)], 0, True),
                         entries(picker))
        self.assertEqual("&Install to:\nUSB Drive (E:)", h.control(picker, 1009)["text"])
        h.moment_when(lambda: any(json.loads(line)["event"] == VALUE_CHANGED and json.loads(line)["id"] == 1002
                                  for line in events.lines() if line.startswith("{")), timeout=5)
        events.stop()

        self.sticks.report()
        run.click(picker, 1004)
        picker = run.picker()
        shot = self.screen.shot("all-drives-removed-and-refreshed")
        self.assertEqual(([("No USB drive found", 0)], 0, False), entries(picker))
        self.assertEqual(("&Install", 315, False), (h.control(picker, 1009)["text"], install_button_image(shot, picker),
                                                   h.control(picker, 1009)["enabled"]))

        run.click(picker, 1008)
        self.assertEqual(1, run.exit_code())
        self.assertEqual(["Log created"], run.messages(), "nothing after the picker")

    def test_sticks_plugged_in_and_pulled_show_without_a_refresh_and_the_chosen_one_stays(self):
        """As Windows tells of them: a device-change message for each volume
        that comes or goes. A screen reader is told each time the list changes."""
        self.sticks.report()
        run = self.start()
        run.click(run.window(1005), 1001)
        picker = run.picker()
        self.assertEqual(([("No USB drive found", 0)], 0, False), entries(picker))
        events = h.start(h.exe("ui_probe"), "--events", 120, output=os.path.join(run.temp, "events.txt"))
        self.addCleanup(events.stop)
        events.wait_line("listening")

        def plugged(letters, how, letter, expected):
            self.sticks.report(*letters)
            told = time.time()
            self.assertEqual(0, h.run(h.exe("device_change"), how, letter).returncode)
            h.moment_when(lambda: entries(h.probe())[0] == expected, timeout=10)
            shown = time.time() - told
            print("%s %s: the list followed %.2f s later" % (how, letter, shown))
            self.assertLess(shown, 1.5)
            return run.window(1009)

        self.sticks.attach(("E", None))
        picker = plugged("E", "arrive", "E", [("USB Drive (E:)", 69)])
        self.screen.shot("stick-plugged-in")
        self.assertEqual((0, True), entries(picker)[1:])
        self.assertEqual(("&Install to:\nUSB Drive (E:)", True),
                         (h.control(picker, 1009)["text"], h.control(picker, 1009)["enabled"]))
        self.sticks.attach(("G", None))
        plugged("EG", "arrive", "G", [("USB Drive (E:)", 69), ("USB Drive (G:)", 71)])
        run.click(picker, 1002)
        h.key("Down")
        h.key("Return")
        self.assertEqual(1, entries(run.window(1009))[1])
        self.sticks.attach(("F", None))
        picker = plugged("EFG", "arrive", "F", [("USB Drive (E:)", 69), ("USB Drive (F:)", 70), ("USB Drive (G:)", 71)])
        self.assertEqual(2, entries(picker)[1], "the chosen drive stays chosen")
        os.unlink(h.dosdevice("E"))
        picker = plugged("FG", "remove", "E", [("USB Drive (F:)", 70), ("USB Drive (G:)", 71)])
        self.screen.shot("stick-pulled-the-chosen-one-stays")
        self.assertEqual(1, entries(picker)[1], "the chosen drive stays chosen")
        self.assertEqual("&Install to:\nUSB Drive (G:)", h.control(picker, 1009)["text"])
        changed = [json.loads(line) for line in events.lines() if line.startswith("{")]
        self.assertGreaterEqual(len([e for e in changed if e["event"] == VALUE_CHANGED and e["id"] == 1002]), 4,
                                "a screen reader was not told of the list's changes")
        h.key("Escape")
        self.assertEqual(1, run.exit_code())

    def test_drive_names_of_any_length_show_their_letter_whole(self):
        """Labels of 0, 11, 15 and 32 characters: in the list and on the
        Install button a long one is cut short, never the letter; the
        button's second line stays clear of the tick and of the right end."""
        labels = {"E": "", "F": "QUILLON_USB", "G": "PORTABLE_BACKUP", "H": LABEL_32}
        self.sticks.attach(*labels.items())
        self.sticks.report(*labels)
        self.restart_wine()
        run = self.start()
        run.click(run.window(1005), 1001)
        picker = run.picker()
        expected = [("%s (%s:)" % (label or "USB Drive", letter), ord(letter))
                    for letter, label in labels.items()]
        self.assertEqual((expected, 0, True), entries(picker))
        x, y, width, height = h.control(picker, 1002)["rect"]
        # The entry's box ends a pixel before the drop-down arrow (18 wide,
        # inside the control's border), its focus frame on its last column;
        # the text keeps clear of the one before.
        field_end = width - 1 - 18 - 1
        for position, (letter, label) in enumerate(labels.items()):
            with self.subTest(label=label):
                if position:
                    run.click(picker, 1002)
                    h.key("Down")
                    h.key("Return")
                picker = run.window(1009)
                self.assertEqual(position, entries(picker)[1])
                shot = self.screen.shot("label-of-%d-characters" % len(label))
                self.assertEqual("&Install to:\n" + expected[position][0], h.control(picker, 1009)["text"])
                self.assertEqual([], unlike_the_image(shot, picker, 1009, 309, range(0, 31)), "text over the tick")
                self.assertEqual([], unlike_the_image(shot, picker, 1009, 309, range(118, 122)), "text at the end")
                self.assertEqual([], ink_columns(shot, picker, 1002, [field_end - 2]),
                                 "the list's text runs into the arrow")
        run.click(picker, 1002)
        self.screen.shot("labels-in-the-drop-down")
        h.key("Escape")

        # The progress dialog's button carries the same line, on the grey bar,
        # greyed while it cannot act.
        served = h.scratch_dir("dialogs-served")
        os.chmod(served, 0o755)
        write_package(served, quillon_package()[0])
        with UpdateServer(served, rate=4096):
            run.click(picker, 1009)
            progress = run.window(1013)
            shot = self.screen.shot("progress-with-label-of-32-characters")
            self.assertEqual([], unlike_the_image(shot, progress, 1013, 315, range(0, 32)), "text over the tick")
            self.assertEqual([], unlike_the_image(shot, progress, 1013, 315, range(119, 123)), "text at the end")
            self.assertGreater(len(unlike_the_image(shot, progress, 1013, 315, range(32, 119))), 100, "no caption")
            self.assertGreater(darkest_grey(shot, progress, 1013, range(32, 119)), 100, "a dark caption while disabled")
            h.key("Escape")
            self.assertEqual(1, run.exit_code())

    def test_the_picker_opens_at_once_and_answers_while_the_drives_are_slow(self):
        """The enumeration takes 10 s: the picker is there within half a
        second of Accept, says that it is looking, and Esc or the close
        button is answered within a second; a refresh likewise."""
        self.sticks.attach(("E", "STICK"))
        self.sticks.report("E", hold_ms=10000)
        self.restart_wine()
        with h.windows_without_a_window_manager():
            self.picker_answers_while_the_drives_are_slow()

    def picker_answers_while_the_drives_are_slow(self):
        run = self.start()
        licence = run.window(1005)
        before = h.shown_windows()
        accepted = run.click(licence, 1001, settle=False)
        shown = h.moment_when(lambda: h.shown_windows() - before) - accepted
        picker = run.window(1009)
        self.screen.shot("looking-for-drives")
        print("the picker was on the screen %.2f s after Accept" % shown)
        self.assertLess(shown, 0.5)
        self.assertEqual(([(LOOKING, 0)], 0, False), entries(picker))
        self.assertEqual((False, 1004), (h.control(picker, 1009)["enabled"], picker["focus"]))
        pressed = time.time()
        key_to_the_shown_window("Escape")
        gone = h.moment_when(lambda: not h.shown_windows()) - pressed
        print("Esc while looking: the picker went %.2f s later" % gone)
        self.assertLess(gone, 1.0)
        self.assertEqual(1, run.exit_code(), "and the process ended")
        self.until_the_held_scan_returns(accepted + 10)

        self.sticks.report("E", hold_ms=2000)
        run = self.start()
        run.click(run.window(1005), 1001)
        picker = run.picker()
        self.assertEqual(([("STICK (E:)", 69)], 0, True), entries(picker))
        self.assertEqual(1002, picker["focus"], "the keyboard moves on to the list it waited for")
        self.sticks.report("E", hold_ms=10000)
        run.click(picker, 1004)
        picker = run.window(1009)
        self.screen.shot("refresh-looking-for-drives")
        self.assertEqual(([(LOOKING, 0)], 0, False), entries(picker))
        self.assertFalse(h.control(picker, 1009)["enabled"])
        closed = run.click(picker, 1008, settle=False)
        gone = h.moment_when(lambda: not h.shown_windows()) - closed
        print("close while refreshing: the picker went %.2f s after the click" % gone)
        self.assertLess(gone, 1.0)
        self.assertEqual(1, run.exit_code())
        self.until_the_held_scan_returns(closed + 10)

    @staticmethod
    def until_the_held_scan_returns(moment):
        """Under Wine the process whose scan the stand-in holds stays
        registered, and so turns the next start away, until that hold is
        over; on Windows its end ends the scan with it."""
        time.sleep(max(0.0, moment + 0.5 - time.time()))

    def assert_centred_over(self, window, over):
        """Centred to the pixel that an odd difference of sizes allows; both
        are [x, y, width, height]."""
        mine, theirs = centre(window), centre(over)
        self.assertLessEqual(abs(mine[0] - theirs[0]), 1, (window, over))
        self.assertLessEqual(abs(mine[1] - theirs[1]), 1, (window, over))

    def tab_order(self, steps):
        order = []
        for _ in range(steps):
            h.key("Tab")
            order.append(h.probe()["focus"])
        return order

    def test_keyboard_reaches_each_control_in_reading_order_and_enter_presses_what_it_is_on(self):
        self.sticks.attach(("E", "STICK"), ("G", None))
        self.sticks.report("E", "G")
        self.restart_wine()

        run = self.start()
        licence = run.window(1005)
        left, top, right, bottom = licence["workArea"]
        self.assert_centred_over(licence["window"], [left, top, right - left, bottom - top])
        self.assertEqual(1005, licence["focus"], "the keyboard starts in the licence text")
        before = self.screen.shot("keys-licence")
        h.key("Tab")
        after = self.screen.shot("keys-tab-to-decline")
        self.assertLess(changed_pixels(before, after, licence, 1001), 30, "a focus cue on Accept, not its access key")
        self.assertGreater(changed_pixels(before, after, licence, 1002), 100, "no focus cue on Decline")
        self.assertEqual([1001, 1008, 1012, 1005, 1002], self.tab_order(5))
        h.key("Return")  # on Decline
        self.assertEqual(1, run.exit_code(), "Enter on Decline accepted")

        run = self.start()
        licence = run.window(1005)
        ox, oy = licence["clientOrigin"]
        h.drag((ox + 10, oy + 190), (ox - 290, oy - 10))
        licence = run.window(1005)
        self.assertEqual([licence["window"][0] + 300, licence["window"][1] + 200], [ox, oy])
        self.screen.shot("keys-licence-dragged")
        h.key("Return")  # in the licence text: accepts
        picker = run.picker()
        self.screen.shot("keys-picker-over-the-dragged-licence")
        self.assert_centred_over(picker["window"], licence["window"])
        self.assertEqual(1002, picker["focus"], "the keyboard starts on the drive list")
        self.assertEqual([1009, 1008, 1012, 1004], self.tab_order(4))
        h.key("Return")  # on refresh
        picker = run.picker()
        self.assertEqual((1004, True), (picker["focus"], picker["found"]), "Enter on refresh installed")
        h.key("Tab")
        h.key("Return")  # on the drive list: Install
        self.assert_handed_on(run, "E")

    def test_access_keys_focus_cues_and_what_a_screen_reader_reads_on_the_licence_and_the_picker(self):
        """Roles are the program's own: Wine's proxies know none of these
        controls. The underlines show with the keyboard cues only; a drive's
        label with an "&" gives the list no access key."""
        self.sticks.attach(("E", "R&D"))
        self.sticks.report("E")
        self.restart_wine()
        run = self.start()
        licence = run.window(1005)
        read = screen_reader()
        self.assertEqual({1008: ("Close", 43, None, None), 1001: ("Accept", 43, None, "Alt+A"),
                          1002: ("Decline", 43, None, "Alt+D"), 1005: ("Licence agreement", 42, None, None)},
                         {i: read[i] for i in (1008, 1001, 1002, 1005)})
        self.assertIn("www.quillon.com/partners", read[1012][0], "the partner logo names where it leads")
        self.assertEqual(("Quillon", 43), read[1010][:2])
        self.assertEqual(41, read[-1][1])

        cues_hidden = self.screen.shot("keys-cues-hidden")
        h.key("Tab")
        h.key("Tab")  # on Accept: Decline shows its access key, and no focus
        cues_shown = self.screen.shot("keys-cues-shown")
        self.assertGreater(changed_pixels(cues_hidden, cues_shown, licence, 1002), 3, "no underline on Decline")
        # The licence text had the focus: the panel's border around it showed it.
        ox, oy = licence["clientOrigin"]
        panel_border = [(x, y) for x in (9, 10, 268, 269) for y in range(220, 360, 10)]
        skin = bmp(300)[2]
        self.assertEqual([], [p for p in panel_border if cues_hidden.pixel(ox + p[0], oy + p[1]) == skin[p][:3]],
                         "no focus cue around the licence text")
        self.assertEqual([], [p for p in panel_border if cues_shown.pixel(ox + p[0], oy + p[1]) != skin[p][:3]],
                         "the licence text's focus cue stayed")
        for control_id in (1008, 1012):
            h.key("Tab")
            shot = self.screen.shot("keys-focus-on-%d-light" % control_id)
            self.assertGreater(h.light_cue(shot, licence, control_id), 0.3, "no light cue on %d" % control_id)

        h.key("alt+a")
        picker = run.window(1009)
        read = screen_reader()
        self.assertEqual({1004: ("Refresh drive list", 43, None, None),
                          1002: ("Pick Your Drive for Installation", 46, "R&D (E:)", None),
                          1009: ("Install to: R&D (E:)", 43, None, "Alt+I"), 1008: ("Close", 43, None, None)},
                         {i: read[i] for i in (1004, 1002, 1009, 1008)})
        self.assertEqual(1002, picker["focus"])
        h.key("Tab")
        h.key("Tab")  # on the close button, after Install
        shot = self.screen.shot("keys-picker-focus-on-close-light")
        self.assertGreater(h.light_cue(shot, picker, 1008), 0.3, "no light cue on the picker's close button")
        h.key("alt+i")
        self.assert_handed_on(run, "E")

    def test_a_second_start_by_hand_brings_the_first_window_back(self):
        self.sticks.report()
        run = self.start()
        run.window(1005)
        other = h.start("notepad", output=os.path.join(run.temp, "notepad.txt"))
        try:
            for _ in range(100):
                if not h.probe()["foreground"]:
                    break
                subprocess.run(["sleep", "0.2"])
            self.assertFalse(h.probe()["foreground"], "notepad did not come to the front")
            second = Run(self.sticks)
            self.runs.append(second)
            self.assertEqual(1, second.exit_code())
            licence = run.window(1005)
            self.assertTrue(licence["foreground"])
            shot = self.screen.shot("second-start-brought-the-first-back")
            ox, oy = licence["clientOrigin"]
            # The header left of the logos is bare skin (its corner is cut off).
            covered = [(x, y) for x in range(10, 160, 10) for y in range(10, 50, 10)
                       if shot.pixel(ox + x, oy + y) != bmp(300)[2][(x, y)][:3]]
            self.assertEqual([], covered, "the licence is still under notepad")
        finally:
            other.stop()
        self.assertEqual("", second.log(), "the second start touched its work folder")

    def test_the_licence_at_96_120_144_and_192_dots_per_inch(self):
        """The window grows with the resolution (1.25, 1.5 and 2 times its
        96-dpi size, to two pixels); the box and its scroll bar stay inside
        the skin's panel, drawn for that resolution, and leave its border
        uncovered; the text grows with it (its line spacing the 96-dpi one
        scaled, to two pixels). Tab first, so that no caret blinks in the
        text."""
        self.sticks.report()
        seen = {}
        try:
            for dpi in (96, 120, 144, 192):
                set_dpi(dpi)
                run = self.start()
                run.window(1005)
                h.key("Tab")
                seen[dpi] = (run.window(1005), self.screen.shot("licence-at-%d-dpi" % dpi))
                run.stop()
        finally:
            set_dpi(96)
        # The panel's rounded border in the 96-dpi skin: columns 9 and 268, rows 198 and 382.
        border = ([(x, y) for x in (9, 268) for y in range(212, 370, 4)] +
                  [(x, y) for y in (198, 382) for x in range(24, 256, 4)])
        pitch_at_96 = line_pitch(h.control(seen[96][0], 1005)["lineTops"])
        for dpi, (licence, shot) in sorted(seen.items()):
            with self.subTest(dpi=dpi):
                scale = dpi / 96
                skin = bmp(300 + {96: 0, 120: 1000, 144: 2000, 192: 3000}[dpi])[2]
                expected = [round(v * scale) for v in seen[96][0]["window"][2:]]
                self.assertTrue(all(abs(e - a) <= 2 for e, a in zip(expected, licence["window"][2:])),
                                "the window's size %r, %r expected" % (licence["window"][2:], expected))
                x, y, width, height = h.control(licence, 1005)["rect"]
                self.assertTrue(10 * scale <= x and x + width <= 268 * scale and
                                199 * scale <= y and y + height <= 382 * scale,
                                "the box %r leaves the panel" % h.control(licence, 1005)["rect"])
                ox, oy = licence["clientOrigin"]
                # Each border pixel's middle, in the skin drawn for this resolution.
                points = [(int((px + 0.5) * scale), int((py + 0.5) * scale)) for px, py in border]
                covered = [p for p in points if shot.pixel(ox + p[0], oy + p[1]) != skin[p][:3]]
                self.assertEqual([], covered, "the panel's border is covered")
                pitch = line_pitch(h.control(licence, 1005)["lineTops"])
                self.assertLessEqual(abs(pitch - pitch_at_96 * scale), 2,
                                     "line spacing %d, at 96 dpi %d" % (pitch, pitch_at_96))

    def assert_handed_on(self, run, letter):
        """The progress dialog follows and the install works on that drive:
        its per-drive work folder appears, and no other."""
        run.window(1013)
        work = h.work_folder(run.temp)
        for _ in range(100):
            if os.path.isdir(os.path.join(work, "QL_Install_" + letter)):
                break
            subprocess.run(["sleep", "0.2"])
        self.assertEqual(["QL_Install_" + letter], sorted(n for n in os.listdir(work) if n.startswith("QL_")))
        h.key("Escape")
        self.assertEqual(1, run.exit_code())

    def test_the_whole_install_from_the_licence_to_run_quillon(self):
        stick = self.sticks.attach(("E", "QUILLON"))[0]
        served, files, package = self.serve_package_to_stick_e()
        with UpdateServer(served):
            run = self.start()
            run.click(run.window(1005), 1001)
            picker = run.picker()
            self.assertEqual("&Install to:\nQUILLON (E:)", h.control(picker, 1009)["text"])
            run.click(picker, 1009)
            progress = run.window(1013)
            self.screen.shot("progress-dialog")
            progress = self.wait_until_complete(run)
        self.screen.shot("install-complete")
        run.click(progress, 1013)  # Run Quillon
        self.assertEqual(0, run.exit_code())
        record = os.path.join(stick, "QuillonRuns.txt")
        for _ in range(100):
            if os.path.exists(record) and os.path.getsize(record):
                break
            subprocess.run(["sleep", "0.2"])
        with open(record, encoding="utf-8") as handle:
            command_line, folder = handle.read().rstrip("\r\n").split("\t")[:2]
        self.assertIn("E:\\Quillon.exe", command_line)
        self.assertEqual("E:\\", folder.rstrip("\\") + "\\")
        installed = tree_of(stick)
        installed.pop("QuillonRuns.txt")
        installed.pop(".windows-label")  # the stick's own label, as Wine keeps it
        self.assertEqual(hashlib.sha256(version_record(package, 1).encode()).hexdigest(),
                         installed.pop("Quillon.version"), "the installed version recorded beside the program")
        self.assertEqual(files, installed, "the drive holds the package, byte for byte")

    def test_a_drive_named_with_path_skips_the_picker(self):
        self.sticks.attach(("E", None))
        served, _, _ = self.serve_package_to_stick_e()
        with UpdateServer(served):
            run = self.start("--path", "E:\\")
            run.click(run.window(1005), 1001)
            progress = run.window(1013)
            self.assertNotIn(1009, [c["id"] for c in progress["controls"]])
            progress = self.wait_until_complete(run)
        run.click(progress, 1008)
        self.assertEqual(0, run.exit_code())

    def serve_package_to_stick_e(self):
        """WMI reports the attached stick E, Wine sees it, and a folder holds
        the package to serve; (that folder, {path: sha256} of the package,
        the package)."""
        package, files = quillon_package()
        self.sticks.report("E")
        self.restart_wine()
        served = h.scratch_dir("dialogs-served")
        os.chmod(served, 0o755)
        write_package(served, package)
        return served, files, package

    def wait_until_complete(self, run):
        for _ in range(300):
            state = run.window(1013)
            if h.control(state, 1011)["visible"]:
                return state
            subprocess.run(["sleep", "0.2"])
        self.fail("no Install Complete; log:\n" + run.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
