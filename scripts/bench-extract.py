#!/usr/bin/env python3
"""Benchmark, not a test: extracts one package of about 100 MB and a few
thousand files, round by round, with

  layer     the installer's zip layer under Wine (tests/zip's probe, the
            pipeline's sequence of calls)
  miniunz   minizip's own example extractor from the same zlib source
            package, on the same minizip build, under the same Wine
  unzip     Info-ZIP's unzip, natively

and prints the medians of wall and CPU time (perf stat's task clock of the
program and what it starts, plus what the prefix's Wine server used; the
steadier figure on a shared machine), their
spread and the ratios. Both Windows programs are started the same way
(launch.exe, the target folder as current folder), as stripped copies, so
both times include one Wine process start.

  scripts/bench-extract.py [--build DIR] [--rounds N]

Needs a build of a test preset (default: the one this machine runs; see
scripts/benchlib.py) and, as root, the test user that the build's wine-run
uses.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import zipfile

import benchlib

FILES = 3000


def make_package(path):
    rng = random.Random(4711)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(2000)]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        for i in range(FILES):
            size = rng.randint(8_000, 60_000)
            if i % 5 < 3:
                data = rng.randbytes(size)  # already compressed content: images, installers
            else:
                text = bytearray()
                while len(text) < size * 3:
                    text += rng.choice(words) + b" "
                data = bytes(text)
            archive.writestr("app/part%02d/file%04d.bin" % (i % 40, i), data)


def timed(command, cwd, failed, wine=True):
    # Output goes to a file: Wine's background processes can hold a pipe.
    with open(os.path.join(cwd, "output.txt"), "w") as output:
        result, wall, cpu = benchlib.measured(command, wine=wine, cwd=cwd, stdout=output,
                                              stderr=subprocess.STDOUT)
    with open(os.path.join(cwd, "output.txt")) as output:
        text = output.read()
    if result.returncode != 0 or failed(text):
        sys.exit("bench-extract: %s failed:\n%s" % (command, text[-2000:]))
    return wall, cpu


def count_files(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build = benchlib.setup(args.build)
    probe = benchlib.stripped(build, benchlib.exe(build, "zip", "zip_probe"))
    miniunz = benchlib.stripped(build, benchlib.exe(build, "bench", "miniunz"))
    launch = benchlib.exe(build, "tools", "launch")
    import quillon_harness as harness

    benchlib.conditions(build)
    work = os.path.join(build, "scratch", "bench-extract")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    package = os.path.join(work, "package.zip")
    make_package(package)
    harness.give_to_test_user(work)
    print("package: %.1f MB, %d files" % (os.path.getsize(package) / 1e6, FILES))

    commands = {
        "layer": [probe, "extract", harness.win_path(package)],
        "miniunz": [miniunz, "-x", "-o", harness.win_path(package)],
    }
    # A status other than 0 on any "unzip" line of the probe is a failed member.
    layer_failed = lambda text: any(line.startswith("unzip ") and not line.endswith(" 0")
                                    for line in text.splitlines())
    miniunz_failed = lambda text: "error" in text

    benchlib.start_wine()
    times = {"layer": [], "miniunz": [], "unzip": []}
    cpu = {"layer": [], "miniunz": [], "unzip": []}
    for round_ in range(args.rounds):
        for label in ("layer", "miniunz", "unzip"):
            target = os.path.join(work, "%s-%d" % (label, round_))
            os.makedirs(target)
            harness.give_to_test_user(target)
            if label == "unzip":
                wall, used = timed(["unzip", "-q", "-o", package, "-d", target], work, lambda text: False,
                                   wine=False)
            else:
                command = [harness.WINE_RUN, launch, "--cwd", harness.win_path(target), "--"]
                command += commands[label]
                wall, used = timed(command, work, layer_failed if label == "layer" else miniunz_failed)
            times[label].append(wall)
            if used is not None:
                cpu[label].append(used)
            if count_files(target) != FILES:
                sys.exit("bench-extract: %s wrote %d files, not %d" % (label, count_files(target), FILES))
            shutil.rmtree(target)
    shutil.rmtree(work, ignore_errors=True)

    print("rounds: %d" % args.rounds)
    layer = benchlib.figure("zip layer under Wine", times["layer"], "s", 2)
    anchor = benchlib.figure("anchor: miniunz under Wine", times["miniunz"], "s", 2)
    native = benchlib.figure("unzip natively", times["unzip"], "s", 2)
    benchlib.ratio("ratio layer / miniunz", layer, anchor)
    benchlib.ratio("ratio layer / unzip", layer, native)
    benchlib.ratio("ratio miniunz / unzip (Wine)", anchor, native)
    if cpu["layer"]:
        layer = benchlib.figure("CPU, zip layer under Wine", cpu["layer"], "s", 2)
        anchor = benchlib.figure("CPU, miniunz under Wine", cpu["miniunz"], "s", 2)
        native = benchlib.figure("CPU, unzip natively", cpu["unzip"], "s", 2)
        benchlib.ratio("CPU ratio layer / miniunz", layer, anchor)
        benchlib.ratio("CPU ratio layer / unzip", layer, native)


if __name__ == "__main__":
    main()
