#!/usr/bin/env python3
"""Benchmark, not a test: extracts one package of about 100 MB and a few
thousand files with the installer's zip layer under Wine (tests/zip's probe)
and with Info-ZIP's unzip natively, in the same run, and prints the medians.

  scripts/bench-extract.py [build-dir] [rounds]

Needs the test build (cmake --build --preset test) and, as root, the test
user that the build's wine-run uses.
"""
import os
import pwd
import random
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/test")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 3
WINE_RUN = os.path.join(BUILD, "wine-run")
PROBE = os.path.join(BUILD, "tests", "zip", "zip_probe.exe")
FILES = 3000


def owner():
    if os.getuid() != 0:
        return None
    entry = pwd.getpwnam("quillontest")
    return entry.pw_uid, entry.pw_gid


def give(path):
    ids = owner()
    if ids is None:
        return
    for folder, dirs, files in os.walk(path):
        os.chown(folder, *ids)
        for name in files:
            os.chown(os.path.join(folder, name), *ids)


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


def windows(path):
    return "Z:" + path.replace("/", "\\")


def timed(command, cwd):
    # Output goes to a file: Wine's background processes can hold a pipe.
    with open(os.path.join(cwd, "output.txt"), "w") as output:
        start = time.perf_counter()
        result = subprocess.run(command, cwd=cwd, stdout=output, stderr=subprocess.STDOUT)
        elapsed = time.perf_counter() - start
    with open(os.path.join(cwd, "output.txt")) as output:
        text = output.read()
    if result.returncode != 0 or " 0x" in "".join(l for l in text.splitlines() if l.startswith("unzip ")):
        sys.exit("bench-extract: %s failed:\n%s" % (command[0], text[-2000:]))
    return elapsed


def main():
    work = os.path.join(BUILD, "scratch", "bench-extract")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    package = os.path.join(work, "package.zip")
    make_package(package)
    give(work)
    print("package: %.1f MB, %d files" % (os.path.getsize(package) / 1e6, FILES))

    # One Wine start up front, so the first round does not pay for the server.
    subprocess.run([WINE_RUN, PROBE, "open", windows(package)], check=True, stdout=subprocess.DEVNULL)
    layer, native = [], []
    for round_ in range(ROUNDS):
        for label, results in (("layer", layer), ("unzip", native)):
            target = os.path.join(work, "%s-%d" % (label, round_))
            os.makedirs(target)
            give(target)
            if label == "layer":
                launch = os.path.join(BUILD, "tests", "tools", "launch.exe")
                command = [WINE_RUN, launch, "--cwd", windows(target), "--", PROBE, "extract", windows(package)]
                results.append(timed(command, work))
            else:
                results.append(timed(["unzip", "-q", "-o", package, "-d", target], work))
            shutil.rmtree(target)
    print("zip layer under Wine: median %.2f s over %d rounds (%s)" %
          (statistics.median(layer), ROUNDS, ", ".join("%.2f" % t for t in layer)))
    print("unzip natively:       median %.2f s over %d rounds (%s)" %
          (statistics.median(native), ROUNDS, ", ".join("%.2f" % t for t in native)))
    print("ratio layer/unzip:    %.2f" % (statistics.median(layer) / statistics.median(native)))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
