"""Volume labels of drives that are dosdevices links to folders.

Wine takes the label of such a drive from a ".windows-label" file in its
root; a drive without one has no label, and a letter that maps to nothing
has no volume at all. Wine's mount manager only learns of drive links when
it starts, so the prefix's processes are restarted once the links exist.
"""
import os
import unittest

import quillon_harness as h


def labels(*letters):
    result = h.run(h.exe("drive_probe"), "labels", *letters)
    if result.returncode != 0:
        raise AssertionError("drive_probe failed: %s" % result.stdout)
    found = {}
    for line in result.stdout.splitlines():
        letter, _, label = line.partition("\t")
        found[letter] = label
    return found


def restart_wine():
    h.restart_wine_server(persistent=False)


class DriveLabelTest(unittest.TestCase):
    def test_labelled_unlabelled_and_missing_drives(self):
        labelled = h.scratch_dir("label-stick")
        with open(os.path.join(labelled, ".windows-label"), "w", encoding="utf-8") as handle:
            handle.write("QUILLON_USB\n")
        unlabelled = h.scratch_dir("label-none")
        missing = h.dosdevice("s")
        if os.path.lexists(missing):
            os.unlink(missing)
        with h.drive("Q", labelled), h.drive("R", unlabelled):
            restart_wine()
            found = labels("Q", "R", "S")
        self.assertEqual({"Q": "QUILLON_USB", "R": "", "S": ""}, found)

    def test_label_outside_ascii_arrives_whole(self):
        folder = h.scratch_dir("label-utf8")
        with open(os.path.join(folder, ".windows-label"), "w", encoding="utf-8") as handle:
            handle.write("Stick \u00e9t\u00e9 \u4e2d\n")
        with h.drive("Q", folder):
            restart_wine()
            self.assertEqual({"Q": "Stick \u00e9t\u00e9 \u4e2d"}, labels("Q"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
