#!/usr/bin/env python3
"""Benchmark: the whole silent install of a 100 MB package under Wine against
the same job done by the same-platform anchors (tests/bench's WinHTTP
program fetching 4 MiB ranges, then minizip's miniunz, both under the same
Wine) and by curl + unzip natively, from the same local server, in one run.

    scripts/bench-install.py [--build DIR] [--runs N] [--megabytes M]

Needs a build of a test preset (default: the one this machine runs; see
scripts/benchlib.py) and, as root, what scripts/bootstrap installs. Prints
the median wall and CPU times (perf stat's task clock plus the prefix's Wine server; the
steadier figure on a shared machine) with their spread, the ratios, and the
installer's peak resident memory (the largest VmHWM of its Wine process,
sampled while it runs) against that of a program that does nothing,
sampled the same way. The Windows programs run as stripped copies, as the
release build ships them. The package is published signed, as a vendor
does, and the installer verifies it; the time its log gives for the SHA-256
checks (the package's and every member's) is printed as the verification's
share of the install's wall and CPU time.
"""
import argparse
import os
import re
import shutil
import statistics
import sys
import time

import benchlib


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--runs", type=int, default=3)
    # About 228 MB of these files zip to a package of about 100 MB.
    parser.add_argument("--megabytes", type=float, default=228.0,
                        help="size of the unpacked tree")
    args = parser.parse_args()
    build = benchlib.setup(args.build)
    installer = benchlib.install_programs(build)
    fetch, miniunz = benchlib.anchor_programs(build)
    idle = benchlib.stripped(build, benchlib.exe(build, "bench", "idle"))

    import make_package
    import quillon_harness as h
    import silent_install as si
    from update_server import TestTls, UpdateServer, write_package

    benchlib.conditions(build)
    benchlib.start_wine()
    bench = benchlib.fresh_folder(build, "bench-install")
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
        cpu = {"installer": [], "anchor": [], "curl": []}
        peaks = {"installer": [], "idle": []}
        verification = []
        with UpdateServer(served) as server:
            ca = TestTls().ensure().ca_cert
            for run in range(args.runs):
                stick = h.scratch_dir("bench-stick")
                temp = h.scratch_dir("bench-temp")
                with si.usb_stick("E", stick) as wmi:
                    env = dict(h.temp_env(temp))
                    env.update(wmi)
                    with benchlib.PeakMemory("Installer.exe") as sampler:
                        wall, used = benchlib.timed_windows([installer, "/path=E:"], "Installer.exe", env)
                    times["installer"].append(wall)
                    cpu["installer"].append(used)
                    peaks["installer"].append(sampler.peak_kb)
                checked = [int(ms) for ms in re.findall(r"SHA-256 in (\d+) ms", h.read_log(temp))]
                if len(checked) != 2:
                    sys.exit("the installer's log does not say how long the SHA-256 checks took")
                verification.append(sum(checked) / 1000.0)
                h.remove_tree(stick)
                h.remove_tree(temp)

                # The same job in the plainest way under the same Wine: the
                # installer's request sequence, then minizip's extractor.
                target = h.scratch_dir("bench-anchor")
                package = os.path.join(target, "Quillon.zip")
                tree = os.path.join(target, "tree")
                os.makedirs(tree)
                h.give_to_test_user(tree)
                fetched = benchlib.timed_windows([fetch, str(server.port), h.win_path(package), "ranges", "1"],
                                        "winhttp_fetch")
                unpacked = benchlib.timed_windows([miniunz, "-x", "-o", h.win_path(package), "-d", h.win_path(tree)],
                                         "miniunz")
                times["anchor"].append(fetched[0] + unpacked[0])
                cpu["anchor"].append(fetched[1] + unpacked[1] if fetched[1] is not None else None)
                h.remove_tree(target)

                target = os.path.join(bench, "curl-%d" % run)
                os.makedirs(target)
                _, fetched, fetched_cpu = benchlib.measured(
                    ["curl", "-s", "--fail", "--cacert", ca, "-o", os.path.join(target, "Quillon.zip"),
                     server.url()], check=True)
                _, unpacked, unpacked_cpu = benchlib.measured(
                    ["unzip", "-q", "-o", os.path.join(target, "Quillon.zip"), "-d",
                     os.path.join(target, "tree")], check=True)
                times["curl"].append(fetched + unpacked)
                cpu["curl"].append(fetched_cpu + unpacked_cpu if fetched_cpu is not None else None)
                shutil.rmtree(target)

                with benchlib.PeakMemory("idle.exe") as sampler:
                    benchlib.timed_windows([idle, "500"], "idle.exe")
                peaks["idle"].append(sampler.peak_kb)
                print("run %d: installer %.2f s (peak %d kB), anchors %.2f s, curl+unzip %.2f s"
                      % (run + 1, times["installer"][-1], peaks["installer"][-1],
                         times["anchor"][-1], times["curl"][-1]))

        install = install_wall = benchlib.figure("silent install under Wine", times["installer"], "s", 2)
        anchor = benchlib.figure("anchor: WinHTTP ranges + miniunz under Wine", times["anchor"], "s", 2)
        reference = benchlib.figure("curl + unzip natively", times["curl"], "s", 2)
        benchlib.ratio("ratio installer / anchors under Wine", install, anchor)
        benchlib.ratio("ratio installer / curl+unzip", install, reference)
        if None not in cpu["installer"] + cpu["anchor"] + cpu["curl"]:
            install = benchlib.figure("CPU, silent install", cpu["installer"], "s", 2)
            anchor = benchlib.figure("CPU, WinHTTP ranges + miniunz", cpu["anchor"], "s", 2)
            reference = benchlib.figure("CPU, curl + unzip", cpu["curl"], "s", 2)
            benchlib.ratio("CPU ratio installer / anchors under Wine", install, anchor)
            benchlib.ratio("CPU ratio installer / curl+unzip", install, reference)
        checks = benchlib.figure("verification: SHA-256 of the package and of every member",
                                 verification, "s", 2)
        benchlib.ratio("verification's share of the install's wall time", checks, install_wall)
        if None not in cpu["installer"]:
            benchlib.ratio("verification's share of the install's CPU time", checks,
                           statistics.median(cpu["installer"]))
        mine = benchlib.figure("peak resident memory, installer", [p / 1024.0 for p in peaks["installer"]],
                               "MiB", 1)
        nothing = benchlib.figure("peak resident memory, program doing nothing",
                                  [p / 1024.0 for p in peaks["idle"]], "MiB", 1)
        benchlib.ratio("ratio installer / program doing nothing", mine, nothing)
    finally:
        shutil.rmtree(bench, ignore_errors=True)
        benchlib.stop_install_world()
    return 0


if __name__ == "__main__":
    sys.exit(main())
