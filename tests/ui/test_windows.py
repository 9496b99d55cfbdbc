"""The dialog toolkit on screen: ui_host shows ImageDialog and
AnimatedBitmapButton on the installer's real templates and images under Wine
on the prefix's virtual screen; ui_probe, screenshots and xdotool look at
them and drive them from outside. Screenshots of every state are kept in
build/.../test-output/ui.windows/."""
import os
import unittest

import quillon_harness as h

HOST = h.exe("ui_host")
IMAGES = os.path.join(h.BUILD_DIR, "Installer", "res")
FRAME_COLOUR = (123, 158, 189)
# The images each button of the host shows (as the dialogs load them).
NORMAL_IMAGE = {1007: 303, 1008: 306, 1012: 317, 1010: 316, 1004: 311, 1009: 309, 1013: 315, 1001: 309, 1002: 310}
_bmps = {}


def bmp(number):
    if number not in _bmps:
        _bmps[number] = h.read_bmp(os.path.join(IMAGES, "%d.bmp" % number))
    return _bmps[number]


def skin_pixel(skin, x, y):
    return bmp(skin)[2][(x, y)][:3]


class Host:
    """One run of ui_host, stopped at the end of the block."""
    runs = 0

    def __init__(self, *args):
        Host.runs += 1
        output = os.path.join(h.SCRATCH, "ui_host-%d.txt" % Host.runs)
        os.makedirs(h.SCRATCH, exist_ok=True)
        self.program = h.start(HOST, *args, output=output)

    def __enter__(self):
        self.program.wait_line("ready")
        self.state = h.wait_for_window()
        origin = self.state["clientOrigin"]
        self.origin = (origin[0], origin[1])
        return self

    def __exit__(self, *error):
        self.program.stop()
        h.wait_for_window(gone=True)

    def line(self, prefix):
        return self.program.wait_line(prefix)

    def screen_point(self, x, y):
        return self.origin[0] + x, self.origin[1] + y

    def centre_of(self, control_id):
        x, y, w, h_ = h.control(self.state, control_id)["rect"]
        return self.screen_point(x + w // 2, y + h_ // 2)


def button_mismatches(shot, host, control_id, image, skin, tolerance=2):
    """Pixels of the button that differ from its image blended over the skin."""
    state = dict(host.state, clientOrigin=list(host.origin))
    return h.image_mismatches(shot, state, control_id, bmp(image)[2], bmp(skin)[2], tolerance)


class SkinnedDialogOnScreen(unittest.TestCase):
    screen = None

    @classmethod
    def setUpClass(cls):
        cls.screen = h.Screen("ui.windows")

    def test_templates_laid_out_at_96_dpi_with_their_font(self):
        for template, skin, size in ((102, 300, [279, 450]), (301, 302, [279, 172]), (302, 302, [279, 172])):
            with self.subTest(template=template), Host("--template", template, "--skin", skin, "--region", 23) as host:
                self.screen.shot("template-%d" % template)
                _, _, bx, by, _, font = host.line("layout units").split()
                units = (int(bx), int(by))
                self.assertEqual((6, 13), units, "base units measured from the template's font")
                state = host.state
                self.assertEqual(size, state["client"])
                self.assertEqual(0, state["exStyle"] & 0x40000, "WS_EX_APPWINDOW removed")
                self.assertEqual(("MS Shell Dlg", -11, 13),
                                 tuple(state["font"][k] for k in ("face", "height", "textHeight")))
                items = [[int(v) for v in line.split()[1:]] for line in host.program.lines()
                         if line.startswith("item ")]
                # The progress dialog has its failure advice besides, hidden until a failure.
                self.assertEqual(9 if template == 302 else 8, len(items))
                for item_id, x, y, cx, cy in items:
                    found = h.control(state, item_id)
                    expected_size = [int(cx * units[0] * 0.25 + 0.5), int(cy * units[1] * 0.125 + 0.5)]
                    if found["class"] == "Button":
                        expected_size = list(bmp(NORMAL_IMAGE[item_id])[:2])
                    if found["class"] == "ComboBox":
                        expected_size[1] = found["rect"][3]  # a drop-down list keeps its own height
                    self.assertEqual([int(x * units[0] * 0.25 + 0.5), int(y * units[1] * 0.125 + 0.5)] + expected_size,
                                     found["rect"], "control %d" % item_id)
                    if found["class"] != "RichEdit20W":  # it does not answer WM_GETFONT
                        self.assertEqual(int(font), found["font"]["handle"], "control %d has the layout's font" % item_id)
                    self.assertEqual(item_id not in (1007, 1014), found["visible"], "control %d" % item_id)

        # Apply twice equals once; Restore on a never-applied layout does
        # nothing; Restore after Apply gives the fonts back, positions stay.
        def geometry(state):
            return state["client"], [(c["id"], c["rect"], c["font"]["face"], c["font"]["textHeight"])
                                     for c in state["controls"]]
        with Host("--template", 301, "--skin", 302) as host:
            once = geometry(host.state)
        for variant in ("--apply-twice", "--restore-unapplied"):
            with self.subTest(variant=variant), Host("--template", 301, "--skin", 302, variant) as host:
                self.assertEqual(once, geometry(host.state))
                font = int(host.line("layout units").split()[-1])
                self.assertTrue(all(c["font"]["handle"] == font for c in host.state["controls"]))
        with Host("--template", 301, "--skin", 302, "--restore") as host:
            self.assertEqual(once[0], host.state["client"])
            self.assertEqual([c[1] for c in once[1]], [c["rect"] for c in host.state["controls"]])
            font = int(host.line("layout units").split()[-1])
            previous = host.state["font"]["handle"]
            self.assertNotIn(previous, (0, font))
            self.assertTrue(all(c["font"]["handle"] == previous for c in host.state["controls"]))

    def test_skin_images_frame_and_default_background(self):
        with Host("--template", 301, "--skin", 302, "--region", 23) as host:
            shot = self.screen.shot("skin-302")
            for x, y in ((5, 100), (60, 60), (150, 40), (270, 160), (100, 165)):
                self.assertEqual(skin_pixel(302, x, y), shot.pixel(*host.screen_point(x, y)), (x, y))
            # the row below the 171-pixel skin repeats its last row (the
            # rounded region leaves the last column of 279 out of sight)
            self.assertEqual(skin_pixel(302, 100, 170), shot.pixel(*host.screen_point(100, 171)))
            # every button pixel is its image blended over the skin; alpha 0 shows the skin exactly
            for control_id in (1008, 1012, 1010, 1004, 1009):
                self.assertEqual([], button_mismatches(shot, host, control_id, NORMAL_IMAGE[control_id], 302),
                                 "control %d" % control_id)

        with Host("--template", 301, "--skin", 302, "--frame", "20,110,60,130") as host:
            shot = self.screen.shot("frame")
            self.assertEqual(FRAME_COLOUR, shot.pixel(*host.screen_point(19, 120)))
            self.assertEqual(FRAME_COLOUR, shot.pixel(*host.screen_point(40, 130)))
            self.assertEqual((255, 255, 255), shot.pixel(*host.screen_point(40, 120)))
            self.assertEqual(skin_pixel(302, 17, 120), shot.pixel(*host.screen_point(17, 120)))
            # without a region the column beyond the 278-pixel skin shows: its last column again
            self.assertEqual(skin_pixel(302, 277, 150), shot.pixel(*host.screen_point(278, 150)))
            self.assertEqual(skin_pixel(302, 277, 170), shot.pixel(*host.screen_point(278, 171)))

        with Host("--template", 301, "--skin", -1) as host:
            shot = self.screen.shot("no-skin")
            face = tuple(host.state["buttonFace"])
            for x, y in ((5, 100), (60, 60), (270, 160)):
                self.assertEqual(face, shot.pixel(*host.screen_point(x, y)), (x, y))

    def test_pointer_hover_press_drag_and_esc(self):
        with Host("--template", 301, "--skin", 302, "--region", 23) as host:
            # hover shows the hover image, leaving brings the normal one back
            h.pointer_to(*host.centre_of(1008))
            self.assertEqual([], button_mismatches(self.screen.shot("close-hover"), host, 1008, 308, 302))
            h.pointer_to(*host.screen_point(60, 160))
            self.assertEqual([], button_mismatches(self.screen.shot("close-left"), host, 1008, 306, 302))
            # pressed shows the pressed image; released over it, the hover one and a click
            h.pointer_to(*host.centre_of(1012))
            h.press()
            self.assertEqual([], button_mismatches(self.screen.shot("partner-pressed"), host, 1012, 318, 302))
            h.release()
            self.assertEqual([], button_mismatches(self.screen.shot("partner-released"), host, 1012, 319, 302))
            host.line("click 1012")
            # a button with the normal image only never changes its look
            h.pointer_to(*host.centre_of(1010))
            h.press()
            self.assertEqual([], button_mismatches(self.screen.shot("logo-pressed"), host, 1010, 316, 302))
            h.release()
            self.assertEqual([], button_mismatches(self.screen.shot("logo-hover"), host, 1010, 316, 302))

            # dragging the body (skin or static text) moves the window with the pointer
            left, top = host.state["window"][:2]
            h.drag(host.screen_point(60, 160), host.screen_point(100, 190))
            moved = h.probe()
            self.assertEqual([left + 40, top + 30], moved["window"][:2])
            host.state, host.origin = moved, tuple(moved["clientOrigin"])
            x, y, _, _ = h.control(moved, -1)["rect"]
            h.drag(host.screen_point(x + 5, y + 5), host.screen_point(x + 25, y + 15))
            moved = h.probe()
            self.assertEqual([left + 60, top + 40], moved["window"][:2])
            host.state, host.origin = moved, tuple(moved["clientOrigin"])
            self.screen.shot("dragged")
            # dragging from a button does not
            start = host.centre_of(1009)
            h.drag(start, (start[0] + 50, start[1] + 40))
            self.assertEqual(moved["window"], h.probe()["window"])

            h.key("Escape")
            host.line("result 2")
            self.assertEqual(2, host.program.wait())

        with Host("--template", 301, "--skin", 302, "--images", "1012=317,318,319,316",
                  "--disable", 1012, "--disable", 1008) as host:
            shot = self.screen.shot("disabled")
            self.assertEqual([], button_mismatches(shot, host, 1008, 306, 302), "no disabled image: the normal one")
            x0, y0, w, h_ = h.control(host.state, 1012)["rect"]
            logo = bmp(316)[2]
            for (x, y) in ((0, 0), (20, 6), (35, 12)):
                expected = h.blend(logo[(x, y)], skin_pixel(302, x0 + x, y0 + y))
                actual = shot.pixel(*host.screen_point(x0 + x, y0 + y))
                self.assertLessEqual(max(abs(a - e) for a, e in zip(actual, expected)), 2, (x, y))

    def test_captions(self):
        def caption_rows_and_columns(shot, host, control_id, image, skin):
            x0, y0, _, _ = h.control(host.state, control_id)["rect"]
            spots = [xy for xy, _, _ in button_mismatches(shot, host, control_id, image, skin, tolerance=40)]
            self.assertTrue(spots, "no caption drawn")
            return [y for _, y in spots], [x for x, _ in spots]

        with Host("--template", 102, "--skin", 300, "--caption", "1001=Accept", "--caption-offsets", "1001=18,0") as host:
            rows, columns = caption_rows_and_columns(self.screen.shot("caption-accept"), host, 1001, 309, 300)
            # the ink's middle, give or take the letters' side bearings
            self.assertLessEqual(abs((min(columns) + max(columns)) / 2 - 70), 4, "centred in 18..122")
            self.assertLessEqual(abs((min(rows) + max(rows)) / 2 - 15), 2, "single line: centred vertically")

        with Host("--template", 301, "--skin", 302, "--caption", "1009=Install to:\\nSTICK (E:)",
                  "--caption-offsets", "1009=18,2", "--multi-line", 1009, "--caption-font", "1009=Arial,12,700") as host:
            rows, _ = caption_rows_and_columns(self.screen.shot("caption-two-lines"), host, 1009, 309, 302)
            self.assertLessEqual(min(rows), 5, "a multi-line caption starts at the top of its box")
            self.assertGreaterEqual(max(rows) - min(rows), 14, "two lines")

    def test_modal_owner_alpha_and_no_leaks(self):
        with Host("--template", 301, "--owner") as host:
            host.line("owner enabled during run 0")
            h.key("Escape")
            host.line("result 2")
            host.line("owner enabled after run 1")

        alpha = h.run(HOST, "--check-alpha").stdout
        self.assertIn("bits=32 corner=0 centre=255", alpha)

        runs = h.run(HOST, "--template", 302, "--skin", 302, "--region", 23, "--runs", 20, timeout=300)
        counts = {line.split()[0]: line.split()[1:] for line in runs.stdout.splitlines()
                  if line.startswith(("before", "after"))}
        self.assertEqual(2, len(counts), runs.stdout)
        self.assertEqual(counts["before"], counts["after"])
        self.assertEqual("holders=0", counts["after"][2], "every GDI holder released between runs")


if __name__ == "__main__":
    unittest.main(verbosity=2)
