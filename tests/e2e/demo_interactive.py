"""The demo's interactive install, as a user meets it: Installer.exe started
with no arguments against the local update server, with a stand-in USB
stick E:, clicked through on the prefix's screen (Accept, the drive,
Install, Run Quillon) with a screenshot of every window and state in one
folder. With --by-hand and a display of the user's own, the installer opens
there instead and the user clicks through it; the demo only waits.
Run by scripts/demo, which sets up the environment the harness reads.
"""
import os
import shutil
import subprocess
import sys

import quillon_harness as h
import silent_install as si
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "dialogs"))
from test_dialogs import Run, Sticks, quillon_package  # noqa: E402

# The download is paced to take about this long, so that it can be seen.
DOWNLOAD_SECONDS = 4


def click_through(screen, run):
    licence = run.window(1005)
    screen.shot("licence")
    run.click(licence, 1001)  # Accept
    picker = run.picker()
    screen.shot("destination")
    run.click(picker, 1009)  # Install to: QUILLON (E:)
    run.window(1013)
    screen.shot("progress-starting")
    seen = set()
    for _ in range(600):
        state = run.window(1013)
        status = next(c["text"] for c in state["controls"] if c["class"] == "Static" and c["id"] == -1)
        if h.control(state, 1011)["visible"]:
            break
        for word in ("downloading", "installing"):
            if word in status and word not in seen:
                seen.add(word)
                screen.shot(word)
        subprocess.run(["sleep", "0.1"])
    screen.shot("install-complete")
    run.click(run.window(1013), 1013)  # Run Quillon


def main():
    by_hand = "--by-hand" in sys.argv[1:] and os.environ.get("QUILLON_DISPLAY")
    package, _ = quillon_package()
    served = h.scratch_dir("demo-served")
    os.chmod(served, 0o755)
    write_package(served, package)
    si.register_standin()
    sticks = Sticks()
    try:
        stick = sticks.attach(("E", "QUILLON"))[0]
        sticks.report("E")
        # Wine's mount manager reads drive links and their labels when it starts.
        h.restart_wine_server(persistent=False)
        rate = 0 if by_hand else max(len(package) // DOWNLOAD_SECONDS, 16384)
        with UpdateServer(served, rate=rate) as server:
            print("demo: update server %s, stand-in USB stick E: -> %s" % (server.url(), stick))
            run = Run(sticks)
            if by_hand:
                print("demo: the installer is open on your display %s; click through it" % by_hand)
                code = run.program.wait(timeout=3600)
            else:
                h.wait_for_x_window(program=run.program)
                screen = h.Screen("demo")
                click_through(screen, run)
                code = run.exit_code()
        print("\n== exit code: %d (%s)" % (code, "success" if code == 0 else "failure"))
        record = os.path.join(stick, "QuillonRuns.txt")
        if os.path.exists(record):
            print("== Quillon was started from the stick: %s" % open(record, encoding="utf-8").read().strip())
        print("== the stick E: now holds: %s" % ", ".join(sorted(
            os.path.relpath(os.path.join(root, name), stick)
            for root, _, names in os.walk(stick) for name in names)))
        if not by_hand:
            print("\n== screenshots of every window and state: %s" % screen.folder)
            for name in sorted(os.listdir(screen.folder)):
                print("   %s" % name)
        print("\n== %s" % os.path.join(h.work_folder(run.temp), "Installer.log"))
        print(run.log().rstrip())
        return code
    finally:
        sticks.close()
        shutil.rmtree(served, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
