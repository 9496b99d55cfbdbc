"""Every window of the interactive install at 96, 120, 144 and 192 dots per
inch (Wine's LogPixels): at 96 pixel for pixel as the kept pictures in
tests/dialogs/dpi-baseline/, at the others 1.25, 1.5 and 2 times as large,
its fonts with it, and its skin and button images the ones the build drew
for that scale, shown one to one. Screenshots (licence-at-N-dpi,
picker-at-N-dpi, progress-at-N-dpi) are kept in
build/.../test-output/dialogs.dpi/."""
import os
import subprocess
import sys
import unittest

import quillon_harness as h
import test_dialogs as td

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
import silent_install as si  # noqa: E402
from update_server import UpdateServer, write_package  # noqa: E402

DPIS = (96, 120, 144, 192)
# The image set a resolution's layout uses: the 96-dpi image's number plus this.
IMAGE_SET = {96: 0, 120: 1000, 144: 2000, 192: 3000}
BASELINE = os.path.join(h.SOURCE_DIR, "tests", "dialogs", "dpi-baseline")
# A size may miss the exact scaled one by this much: rounding each edge, and
# a font's cell height, which is whole pixels at every size.
TOLERANCE = 2
# The windows, by a control each has alone, and their skins.
WINDOWS = (("licence", 1005, 300), ("picker", 1009, 302), ("progress", 1013, 302))
# Images on every window, checked pixel by pixel: close, partner, product logo.
IMAGES = {1008: 306, 1012: 317, 1010: 316}


def crop(shot, rect):
    x0, y0, width, height = rect
    rows = [shot.rgb[((y0 + y) * shot.width + x0) * 3:((y0 + y) * shot.width + x0 + width) * 3]
            for y in range(height)]
    return h.Image(width, height, b"".join(rows))


def differing_pixels(a, b):
    if (a.width, a.height) != (b.width, b.height):
        return [("size", (a.width, a.height), (b.width, b.height))]
    return [(x, y) for y in range(a.height) for x in range(a.width) if a.pixel(x, y) != b.pixel(x, y)]


def scaled(value, dpi):
    """The build's rounding: to the nearest pixel, a half up."""
    return (value * dpi * 2 + 96) // 192


class EveryWindowAtEveryResolution(unittest.TestCase):
    screen = None

    @classmethod
    def setUpClass(cls):
        cls.screen = h.Screen("dialogs.dpi")
        si.register_standin()

    def test_licence_picker_and_progress_at_96_120_144_and_192_dpi(self):
        package, _ = td.quillon_package()
        served = h.scratch_dir("dpi-served")
        os.chmod(served, 0o755)
        write_package(served, package)
        seen = {}
        try:
            for dpi in DPIS:
                td.set_dpi(dpi)
                seen[dpi] = self.through_the_install(served, dpi)
        finally:
            td.set_dpi(96)

        for name, _, _ in WINDOWS:
            state, shot, path = seen[96][name]
            with self.subTest(window=name, dpi=96):
                kept = os.path.join(BASELINE, "%s-at-96-dpi.png" % name)
                window = crop(shot, state["window"])
                different = differing_pixels(h.read_png(kept), window) if os.path.exists(kept) else ["none kept"]
                if different:
                    # The window alone beside the screenshot, to compare by eye.
                    x, y, width, height = state["window"]
                    subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage",
                                    path.replace(".png", "-window.png")], check=True)
                self.assertEqual([], different[:20], "%d pixels unlike the kept picture" % len(different))

        for dpi in DPIS[1:]:
            for name, _, skin in WINDOWS:
                print("%s at %d dpi: %dx%d, at 96 dpi %dx%d" % ((name, dpi) + tuple(seen[dpi][name][0]["window"][2:]) +
                                                               tuple(seen[96][name][0]["window"][2:])))
                with self.subTest(window=name, dpi=dpi):
                    self.assert_scaled(seen[96][name][0], *seen[dpi][name][:2], dpi, skin)

    def test_a_move_to_a_screen_of_another_resolution_lays_the_window_out_anew(self):
        """WM_DPICHANGED as Windows sends it when the window is moved to a
        screen at 144 dpi, and back (sent from inside the program's process
        by the probe's hook: Wine has one resolution for all its screens):
        the licence takes the suggested place, at 1.5 times its size with
        the images drawn for 144 dpi, and back at 96 it is the window it was,
        pixel for pixel."""
        sticks = td.Sticks()
        try:
            sticks.report()
            run = td.Run(sticks)
            try:
                h.wait_for_x_window(program=run.program)
                run.window(1005)
                h.key("Tab")
                at96 = run.window(1005)
                left, top = at96["window"][:2]
                h.run(h.exe("ui_probe"), "--dpi-change", 96, 144, 40, 30)
                moved = run.window(1005)
                h.pointer_to(0, 0)
                shot = self.screen.shot("licence-after-a-move-to-144-dpi")
                self.assertEqual([40, 30], moved["window"][:2], "the suggested place")
                self.assert_scaled(at96, moved, shot, 144, 300)
                h.run(h.exe("ui_probe"), "--dpi-change", 144, 96, left, top)
                back = run.window(1005)
                shot = self.screen.shot("licence-after-a-move-back-to-96-dpi")
                self.assertEqual(at96["window"], back["window"])
                different = differing_pixels(h.read_png(os.path.join(BASELINE, "licence-at-96-dpi.png")),
                                             crop(shot, back["window"]))
                self.assertEqual([], different[:20], "%d pixels unlike the licence at 96 dpi" % len(different))
            finally:
                run.stop()
        finally:
            sticks.close()

    def through_the_install(self, served, dpi):
        """The licence, the picker with the stick E "STICK" and the progress
        window at Install Complete, each probed and photographed with the
        pointer away; {window: (state, screenshot, its file)}."""
        sticks = td.Sticks()
        found = {}
        try:
            sticks.attach(("E", "STICK"))
            sticks.report("E")
            h.restart_wine_server(persistent=False)
            with UpdateServer(served):
                run = td.Run(sticks)
                try:
                    h.wait_for_x_window(program=run.program)
                    licence = run.window(1005)
                    h.key("Tab")  # no caret blinking in the text
                    found["licence"] = self.photograph(run.window(1005), "licence", dpi)
                    run.click(licence, 1001)
                    picker = run.picker()
                    found["picker"] = self.photograph(picker, "picker", dpi)
                    run.click(picker, 1009)
                    for _ in range(300):
                        progress = run.window(1013)
                        if h.control(progress, 1011)["visible"]:
                            break
                        subprocess.run(["sleep", "0.2"])
                    else:
                        self.fail("no Install Complete; log:\n" + run.log())
                    found["progress"] = self.photograph(progress, "progress", dpi)
                    run.click(progress, 1008)
                    self.assertEqual(0, run.exit_code())
                finally:
                    run.stop()
        finally:
            sticks.close()
        return found

    def photograph(self, state, name, dpi):
        h.pointer_to(0, 0)
        shot = self.screen.shot("%s-at-%d-dpi" % (name, dpi))
        return state, shot, os.path.join(self.screen.folder, "%02d-%s-at-%d-dpi.png" % (self.screen.count, name, dpi))

    def assert_scaled(self, at96, state, shot, dpi, skin):
        def near(expected, actual, what):
            self.assertTrue(all(abs(scaled(e, dpi) - a) <= TOLERANCE for e, a in zip(expected, actual)),
                            "%s: %r, at 96 dpi %r" % (what, actual, expected))

        near(at96["window"][2:], state["window"][2:], "the window's size")
        near(at96["client"], state["client"], "the client area")
        for before, now in zip(at96["controls"], state["controls"]):
            self.assertEqual((before["id"], before["class"]), (now["id"], now["class"]))
            what = "control %d" % now["id"]
            if now["class"] == "ComboBox":
                # A drop-down list's height is the platform's, from the font.
                near(before["rect"][:3], now["rect"][:3], what)
            else:
                near(before["rect"], now["rect"], what)
            if now["class"] != "RichEdit20W":  # it does not answer WM_GETFONT
                near([before["font"]["height"]], [now["font"]["height"]], what + "'s font")
        if any(c["id"] == 1005 for c in state["controls"]):
            pitch, pitch_at_96 = (td.line_pitch(h.control(s, 1005)["lineTops"]) for s in (state, at96))
            self.assertLessEqual(abs(pitch - pitch_at_96 * dpi / 96), TOLERANCE, "the licence's line spacing")

        # The skin and the images are the ones drawn for this scale, one to one.
        skin_image = skin + IMAGE_SET[dpi]
        width, height, pixels = td.bmp(skin_image)
        near(td.bmp(skin)[:2], (width, height), "the skin")
        ox, oy = state["clientOrigin"]
        header = [(x, y) for x in range(scaled(10, dpi), scaled(40, dpi), 3) for y in range(scaled(10, dpi), scaled(50, dpi), 3)]
        self.assertEqual([], [p for p in header if shot.pixel(ox + p[0], oy + p[1]) != pixels[p][:3]],
                         "the skin's mark, as drawn for %d dpi" % dpi)
        for control_id, image in IMAGES.items():
            image += IMAGE_SET[dpi]
            self.assertEqual(list(td.bmp(image)[:2]), h.control(state, control_id)["rect"][2:], "control %d" % control_id)
            self.assertEqual([], h.image_mismatches(shot, state, control_id, td.bmp(image)[2], pixels)[:20],
                             "control %d as image %d" % (control_id, image))


if __name__ == "__main__":
    unittest.main(verbosity=2)
