"""Runs the hand-over tests (handover_tests.exe) against stand-ins of the
installed program on two mapped drives, with a display for their windows."""
import os
import shutil
import sys

import quillon_harness as h


def stick(letter, *programs):
    """A stand-in USB stick holding the stand-in program at `programs`."""
    folder = h.scratch_dir("drive" + letter)
    for program in programs:
        target = os.path.join(folder, program)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(h.exe("QuillonStandIn"), target)
    h.give_to_test_user(folder)
    return folder


def main():
    e = stick("E", "Quillon.exe")
    g = stick("G", "Quillon.exe", "Tools/Quillon.exe", "Other/quillon.exe")
    try:
        with h.drive("E", e), h.drive("G", g):
            result = h.run(h.exe("handover_tests"), timeout=300)
    finally:
        h.remove_tree(e)
        h.remove_tree(g)
    print(result.stdout)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
