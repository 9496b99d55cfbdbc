#!/usr/bin/env python3
"""Benchmark, not a test: times the installer's Download under Wine against
two anchors on the same platform and against curl natively, all on the same
package from the same local nginx, round by round, and prints the medians,
their spread and the ratios.

  installer   Download in process (tests/download/download_bench.exe)
  whole       the plainest WinHTTP program: one request, 1 MiB reads
  ranges      the same program with a length request and one session,
              connection and request per 4 MiB range, as the installer must
  curl        natively, whole process

Times are wall times and CPU times (the Windows programs' own process
times, curl's from perf stat); on a shared machine the CPU times are the
steadier figures. Memory: the peak working set of the installer's Download
against that of a program that does nothing (tests/bench/idle.exe), both
under the same Wine. The Windows programs run as stripped copies, as the
release build ships them.

    scripts/bench-download.py [--build DIR] [--rounds N] [--size-mb M]

Needs a build of a test preset (default: the one this machine runs; see
scripts/benchlib.py); run as root or as the user that owns the build's
Wine prefix.
"""
import argparse
import os
import subprocess
import sys

import benchlib


def run_windows(command, what):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=600)
    if result.returncode != 0:
        sys.exit("%s failed: %s%s" % (what, result.stdout, result.stderr))
    figures = {}
    for line in result.stdout.splitlines():
        fields = line.split()
        if fields[:1] == ["round"]:
            figures["ms"] = float(fields[3])
            figures["cpu"] = float(fields[5])
        elif fields[:1] == ["peak_working_set_bytes"]:
            figures["peak"] = int(fields[1])
    return figures


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size-mb", type=int, default=100)
    args = parser.parse_args()

    build = benchlib.setup(args.build)
    benchlib.exe(build, "download", "trust_ca")
    driver = benchlib.stripped(build, benchlib.exe(build, "download", "download_bench"))
    fetch = benchlib.stripped(build, benchlib.exe(build, "bench", "winhttp_fetch"))
    idle = benchlib.stripped(build, benchlib.exe(build, "bench", "idle"))
    import quillon_harness as harness
    from update_server import UpdateServer, free_port, write_package

    benchlib.conditions(build)
    scratch = harness.scratch_dir("bench-download")
    packages = os.path.join(scratch, "server")
    size = args.size_mb * 1000 * 1000
    write_package(packages, os.urandom(size), signed=False)
    target = os.path.join(scratch, "client")
    os.makedirs(target)
    harness.give_to_test_user(target)
    anchor_file = os.path.join(target, "anchor.zip")

    benchlib.start_wine()
    times = {"installer": [], "whole": [], "ranges": [], "curl": []}
    cpu = {"installer": [], "whole": [], "ranges": [], "curl": []}
    peaks = {"installer": [], "whole": [], "ranges": [], "idle": []}
    try:
        with UpdateServer(packages, free_port()) as server:
            for _ in range(args.rounds):
                got = run_windows([harness.WINE_RUN, driver, str(server.port),
                                   harness.win_path(target) + "\\", "1"], "download_bench")
                times["installer"].append(got["ms"])
                cpu["installer"].append(got["cpu"])
                peaks["installer"].append(got["peak"])
                if os.path.getsize(os.path.join(target, "Quillon.zip")) != size:
                    sys.exit("the installer's copy has the wrong size")

                for mode in ("whole", "ranges"):
                    got = run_windows([harness.WINE_RUN, fetch, str(server.port),
                                       harness.win_path(anchor_file), mode, "1"], "winhttp_fetch")
                    times[mode].append(got["ms"])
                    cpu[mode].append(got["cpu"])
                    peaks[mode].append(got["peak"])
                    if os.path.getsize(anchor_file) != size:
                        sys.exit("the %s anchor's copy has the wrong size" % mode)

                _, wall, used = benchlib.measured(
                    ["curl", "-s", "--fail", "--cacert", server.tls.ca_cert,
                     "-o", os.path.join(scratch, "curl.zip"), server.url()], check=True, timeout=600)
                times["curl"].append(wall * 1000.0)
                if used is not None:
                    cpu["curl"].append(used * 1000.0)

                peaks["idle"].append(run_windows([harness.WINE_RUN, idle], "idle")["peak"])
            requests = len(server.requests())
    finally:
        harness.remove_tree(scratch)

    print("package: %d MB, rounds: %d, requests logged by nginx: %d"
          % (args.size_mb, args.rounds, requests))
    installer = benchlib.figure("installer Download under Wine", times["installer"], "ms")
    whole = benchlib.figure("anchor: WinHTTP, one request, under Wine", times["whole"], "ms")
    ranges = benchlib.figure("anchor: WinHTTP, 4 MiB ranges, under Wine", times["ranges"], "ms")
    curl = benchlib.figure("curl natively (whole process)", times["curl"], "ms")
    benchlib.ratio("ratio installer / WinHTTP 4 MiB ranges", installer, ranges)
    benchlib.ratio("ratio installer / WinHTTP one request", installer, whole)
    benchlib.ratio("ratio installer / curl", installer, curl)
    benchlib.ratio("ratio WinHTTP one request / curl (Wine)", whole, curl)
    installer = benchlib.figure("CPU, installer Download", cpu["installer"], "ms")
    whole = benchlib.figure("CPU, WinHTTP one request", cpu["whole"], "ms")
    ranges = benchlib.figure("CPU, WinHTTP 4 MiB ranges", cpu["ranges"], "ms")
    benchlib.ratio("CPU ratio installer / WinHTTP 4 MiB ranges", installer, ranges)
    benchlib.ratio("CPU ratio installer / WinHTTP one request", installer, whole)
    if cpu["curl"]:
        curl = benchlib.figure("CPU, curl", cpu["curl"], "ms")
        benchlib.ratio("CPU ratio installer / curl", installer, curl)
    mib = 1048576.0
    mine = benchlib.figure("peak working set, installer Download",
                           [p / mib for p in peaks["installer"]], "MiB", 1)
    benchlib.figure("peak working set, WinHTTP one request", [p / mib for p in peaks["whole"]], "MiB", 1)
    benchlib.figure("peak working set, WinHTTP 4 MiB ranges", [p / mib for p in peaks["ranges"]], "MiB", 1)
    nothing = benchlib.figure("peak working set, program doing nothing",
                              [p / mib for p in peaks["idle"]], "MiB", 1)
    benchlib.ratio("ratio installer / program doing nothing", mine, nothing)


if __name__ == "__main__":
    main()
