"""The interactive install as a user meets it: the licence, the drive
picker, and what each way out of them leads to. Screenshots of every state
are kept in build/.../test-output/dialogs.interactive/."""
import hashlib
import io
import os
import subprocess
import sys
import unittest
import zipfile

import quillon_harness as h

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
import silent_install as si  # noqa: E402
from update_server import UpdateServer, write_package  # noqa: E402

INSTALLER = h.exe("Installer")
STAND_IN = h.exe("QuillonStandIn")
IMAGES = os.path.join(h.BUILD_DIR, "Installer", "res")
LICENCE_DOCUMENT = os.path.join(h.SOURCE_DIR, "Installer", "res", "Licence.rtf")
TEXT_COLOUR = (0, 61, 61)
_bmps = {}


def bmp(number):
    if number not in _bmps:
        _bmps[number] = h.read_bmp(os.path.join(IMAGES, "%d.bmp" % number))
    return _bmps[number]


def wait_for_x_window(title="Quillon Setup", timeout=60):
    """Waits on the X side for the program's first window. Probing before it
    exists could make the probe the process that starts Wine's desktop, which
    keeps the probe's output open and the probe's caller waiting."""
    env = dict(os.environ, DISPLAY=h.display())
    for _ in range(timeout * 5):
        if subprocess.run(["xdotool", "search", "--name", "^%s$" % title], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return
        subprocess.run(["sleep", "0.2"])
    raise AssertionError("no window %r on the screen" % title)


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

    def report(self, *letters):
        """What WMI reports from now on, in this order."""
        self.fixture = si.write_wmi_fixture(self.work, list(letters))

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

    def click(self, state, control_id):
        x, y, width, height = h.control(state, control_id)["rect"]
        origin = state["clientOrigin"]
        h.pointer_to(origin[0] + x + width // 2, origin[1] + y + height // 2)
        h.press()
        h.release()

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
        wait_for_x_window()
        self.runs.append(run)
        return run

    def restart_wine(self):
        """Wine's mount manager learns of drive links (and their labels)
        only when it starts."""
        subprocess.run([h.WINE_RUN, "--shell", "sh", "-c", '"$WINESERVER" -k'],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

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
        picker = run.window(1009)
        shot = self.screen.shot("no-drive")
        self.assertEqual(([("No USB drive found", 0)], 0, False), entries(picker))
        self.assertEqual("Install", h.control(picker, 1009)["text"])
        self.assertEqual(315, install_button_image(shot, picker))
        text_drawn_over_skin(self, shot, picker, 302)

        run.click(picker, 1009)
        h.key("Return")
        self.assertEqual(picker["controls"], run.window(1009)["controls"], "Install and Enter do nothing")
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

    def test_drives_in_letter_order_and_the_chosen_one_handed_on(self):
        self.sticks.attach(("E", "STICK"), ("G", None))
        self.sticks.report("G", "E")
        self.restart_wine()
        run = self.start()
        run.window(1005)
        h.key("Return")  # accepts
        picker = run.window(1009)
        shot = self.screen.shot("drives-E-and-G")
        self.assertEqual(([("STICK (E:)", ord("E")), (" (G:)", ord("G"))], 0, True), entries(picker))
        self.assertEqual("Install to:\nSTICK (E:)", h.control(picker, 1009)["text"])
        self.assertEqual(309, install_button_image(shot, picker))

        run.click(picker, 1002)  # opens the list
        h.key("Down")
        h.key("Return")
        picker = run.window(1009)
        self.screen.shot("second-drive-chosen")
        self.assertEqual(1, entries(picker)[1])
        self.assertEqual("Install to:\n (G:)", h.control(picker, 1009)["text"])
        run.click(picker, 1009)
        self.assert_handed_on(run, "G")

    def test_refresh_sees_drives_attached_and_removed_meanwhile(self):
        self.sticks.attach(("E", None), ("G", None))
        self.sticks.report("E", "G")
        self.restart_wine()
        run = self.start()
        run.window(1005)
        h.key("Return")
        picker = run.window(1009)
        run.click(picker, 1002)
        h.key("Down")
        h.key("Return")

        self.sticks.attach(("F", None))
        self.sticks.report("E", "F", "G")
        picker = run.window(1009)
        self.assertEqual(([(" (E:)", 69), (" (G:)", 71)], 1, True), entries(picker), "not before a refresh")
        run.click(picker, 1004)
        picker = run.window(1009)
        self.screen.shot("drive-attached-and-refreshed")
        self.assertEqual(([(" (E:)", 69), (" (F:)", 70), (" (G:)", 71)], 0, True), entries(picker))
        self.assertEqual("Install to:\n (E:)", h.control(picker, 1009)["text"])

        self.sticks.report()
        run.click(picker, 1004)
        picker = run.window(1009)
        shot = self.screen.shot("all-drives-removed-and-refreshed")
        self.assertEqual(([("No USB drive found", 0)], 0, False), entries(picker))
        self.assertEqual(("Install", 315), (h.control(picker, 1009)["text"], install_button_image(shot, picker)))

        run.click(picker, 1008)
        self.assertEqual(1, run.exit_code())
        self.assertEqual(["Log created"], run.messages(), "nothing after the picker")

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
        self.assertEqual(0, changed_pixels(before, after, licence, 1001))
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
        picker = run.window(1009)
        self.screen.shot("keys-picker-over-the-dragged-licence")
        self.assert_centred_over(picker["window"], licence["window"])
        self.assertEqual(1002, picker["focus"], "the keyboard starts on the drive list")
        self.assertEqual([1009, 1008, 1012, 1004], self.tab_order(4))
        h.key("Return")  # on refresh
        picker = run.window(1009)
        self.assertEqual((1004, True), (picker["focus"], picker["found"]), "Enter on refresh installed")
        h.key("Tab")
        h.key("Return")  # on the drive list: Install
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

    def test_the_licence_shows_the_same_lines_at_144_dots_per_inch(self):
        """Tab first, so that no caret blinks in the compared text."""
        self.sticks.report()
        shots = []
        try:
            for dpi in (96, 144):
                set_dpi(dpi)
                run = self.start()
                licence = run.window(1005)
                h.key("Tab")
                shots.append((self.screen.shot("licence-at-%d-dpi" % dpi), licence))
                run.stop()
        finally:
            set_dpi(96)
        (at96, state96), (at144, state144) = shots
        x, y, width, height = h.control(state96, 1005)["rect"]
        ox, oy = state96["clientOrigin"]
        self.assertEqual(state96["clientOrigin"], state144["clientOrigin"])
        # The text area, without the scroll bar (wider at 144) and the border.
        text = [(ox + x + i, oy + y + j) for i in range(2, width - 30) for j in range(2, height - 2)]
        differ = sum(at96.pixel(*p) != at144.pixel(*p) for p in text)
        self.assertEqual(0, differ, "of %d pixels" % len(text))

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
        served, files = self.serve_package_to_stick_e()
        with UpdateServer(served):
            run = self.start()
            run.click(run.window(1005), 1001)
            picker = run.window(1009)
            self.assertEqual("Install to:\nQUILLON (E:)", h.control(picker, 1009)["text"])
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
        self.assertEqual(hashlib.sha256(b"quillon-package-version 1\n").hexdigest(), installed.pop("Quillon.version"),
                         "the installed version recorded beside the program")
        self.assertEqual(files, installed, "the drive holds the package, byte for byte")

    def test_a_drive_named_with_path_skips_the_picker(self):
        self.sticks.attach(("E", None))
        served, _ = self.serve_package_to_stick_e()
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
        the package to serve; (that folder, {path: sha256} of the package)."""
        package, files = quillon_package()
        self.sticks.report("E")
        self.restart_wine()
        served = h.scratch_dir("dialogs-served")
        os.chmod(served, 0o755)
        write_package(served, package)
        return served, files

    def wait_until_complete(self, run):
        for _ in range(300):
            state = run.window(1013)
            if h.control(state, 1011)["visible"]:
                return state
            subprocess.run(["sleep", "0.2"])
        self.fail("no Install Complete; log:\n" + run.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
