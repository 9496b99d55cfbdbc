#!/usr/bin/env python3
"""Benchmark: the whole silent install of a 100 MB package under Wine against
the same job done by the same-platform anchors (tests/bench's WinHTTP
program fetching 4 MiB ranges, then minizip's miniunz, both under the same
Wine) and by curl + unzip natively, from the same local server, in one run.

    scripts/bench-install.py [--build DIR] [--runs N] [--megabytes M]

Needs a build of a test preset (default build/test; build/test-win32 works
too) and, as root, what scripts/bootstrap installs. Prints the median wall
times with their spread, the ratios, and the installer's peak resident
memory (the largest VmHWM of its Wine process, sampled while it runs)
against that of a program that does nothing, sampled the same way.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

import benchlib


def timed_windows(command, what):
    import quillon_harness as h
    begin = time.monotonic()
    result = h.run(*command, timeout=600)
    elapsed = time.monotonic() - begin
    if result.returncode != 0:
        sys.exit("%s failed: %s" % (what, result.stdout))
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--runs", type=int, default=3)
    # About 228 MB of these files zip to a package of about 100 MB.
    parser.add_argument("--megabytes", type=float, default=228.0,
                        help="size of the unpacked tree")
    args = parser.parse_args()
    build = benchlib.setup(args.build)
    os.environ["QUILLON_EXE_Installer"] = os.path.join(build, "Installer", "Installer.exe")
    benchlib.exe(build, "tools", "launch")
    benchlib.exe(build, "drives", "drive_probe")
    benchlib.exe(build, "download", "trust_ca")
    fetch = benchlib.exe(build, "bench", "winhttp_fetch")
    miniunz = benchlib.exe(build, "bench", "miniunz")
    idle = benchlib.exe(build, "bench", "idle")

    import make_package
    import quillon_harness as h
    import silent_install as si
    from update_server import TestTls, UpdateServer, write_package

    benchlib.conditions(build)
    benchlib.start_wine()
    bench = os.path.join(build, "bench-install")
    shutil.rmtree(bench, ignore_errors=True)
    os.makedirs(bench)
    os.chmod(bench, 0o755)
    try:
        started = time.monotonic()
        zip_path, records = make_package.make_package(os.path.join(bench, "package"), files=400,
                                                      megabytes=args.megabytes, seed=11)
        size = os.path.getsize(zip_path)
        print("package: %d entries, %d bytes zipped (%.1f MB unpacked), made in %.1f s"
              % (len(records), size, args.megabytes, time.monotonic() - started))
        served = os.path.join(bench, "served")
        with open(zip_path, "rb") as handle:
            write_package(served, handle.read())
        si.register_standin()

        times = {"installer": [], "anchor": [], "curl": []}
        peaks = {"installer": [], "idle": []}
        with UpdateServer(served) as server:
            ca = TestTls().ensure().ca_cert
            for run in range(args.runs):
                stick = h.scratch_dir("bench-stick")
                temp = h.scratch_dir("bench-temp")
                with si.usb_stick("E", stick) as wmi:
                    with benchlib.PeakMemory("Installer.exe") as sampler:
                        begin = time.monotonic()
                        result = si.run_installer(h.exe("Installer"), "E:", temp, wmi)
                        times["installer"].append(time.monotonic() - begin)
                    peaks["installer"].append(sampler.peak_kb)
                if result.returncode != 0:
                    print("installer failed with %d:\n%s" % (result.returncode, h.read_log(temp)))
                    return 1
                h.remove_tree(stick)
                h.remove_tree(temp)

                # The same job in the plainest way under the same Wine: the
                # installer's request sequence, then minizip's extractor.
                target = h.scratch_dir("bench-anchor")
                package = os.path.join(target, "Quillon.zip")
                tree = os.path.join(target, "tree")
                os.makedirs(tree)
                h.give_to_test_user(tree)
                times["anchor"].append(
                    timed_windows([fetch, str(server.port), h.win_path(package), "ranges", "1"],
                                  "winhttp_fetch")
                    + timed_windows([miniunz, "-x", "-o", h.win_path(package), "-d", h.win_path(tree)],
                                    "miniunz"))
                h.remove_tree(target)

                target = os.path.join(bench, "curl-%d" % run)
                os.makedirs(target)
                begin = time.monotonic()
                subprocess.run(["curl", "-s", "--fail", "--cacert", ca, "-o",
                                os.path.join(target, "Quillon.zip"), server.url()], check=True)
                subprocess.run(["unzip", "-q", "-o", os.path.join(target, "Quillon.zip"), "-d",
                                os.path.join(target, "tree")], check=True)
                times["curl"].append(time.monotonic() - begin)
                shutil.rmtree(target)

                with benchlib.PeakMemory("idle.exe") as sampler:
                    timed_windows([idle, "500"], "idle")
                peaks["idle"].append(sampler.peak_kb)
                print("run %d: installer %.2f s (peak %d kB), anchors %.2f s, curl+unzip %.2f s"
                      % (run + 1, times["installer"][-1], peaks["installer"][-1],
                         times["anchor"][-1], times["curl"][-1]))

        install = benchlib.figure("silent install under Wine", times["installer"], "s", 2)
        anchor = benchlib.figure("anchor: WinHTTP ranges + miniunz under Wine", times["anchor"], "s", 2)
        reference = benchlib.figure("curl + unzip natively", times["curl"], "s", 2)
        benchlib.ratio("ratio installer / anchors under Wine", install, anchor)
        benchlib.ratio("ratio installer / curl+unzip", install, reference)
        mine = benchlib.figure("peak resident memory, installer", [p / 1024.0 for p in peaks["installer"]],
                               "MiB", 1)
        nothing = benchlib.figure("peak resident memory, program doing nothing",
                                  [p / 1024.0 for p in peaks["idle"]], "MiB", 1)
        benchlib.ratio("ratio installer / program doing nothing", mine, nothing)
    finally:
        shutil.rmtree(bench, ignore_errors=True)
        subprocess.run([os.path.join(benchlib.ROOT, "tests", "drives", "wmi-standin"), h.WINE_RUN,
                        si.standin_dll(), "restore"], stdout=subprocess.DEVNULL)
        benchlib.stop_wine()
    return 0


if __name__ == "__main__":
    sys.exit(main())
