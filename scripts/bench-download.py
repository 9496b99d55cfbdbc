#!/usr/bin/env python3
"""Times the installer's download against curl on the same machine, the same
local nginx and the same package, and prints the medians, their ratio and the
installer's peak memory.

    scripts/bench-download.py [--rounds N] [--size-mb M] [--build DIR]

Needs the test build (cmake --preset test && cmake --build --preset test);
run as root or as the user that owns the build's Wine prefix. Nothing is
asserted: this prints figures.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "test"))
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    os.environ.setdefault("QUILLON_BUILD_DIR", build)
    os.environ.setdefault("QUILLON_SOURCE_DIR", ROOT)
    os.environ.setdefault("QUILLON_WINE_RUN", os.path.join(build, "wine-run"))
    os.environ.setdefault("QUILLON_WINEPREFIX", os.path.join(build, "wineprefix"))
    os.environ.setdefault("QUILLON_TEST_USER", "quillontest")
    os.environ.setdefault("QUILLON_TEST_SCRATCH", os.path.join(build, "scratch"))
    os.environ.setdefault("QUILLON_EXE_trust_ca",
                          os.path.join(build, "tests", "download", "trust_ca.exe"))
    sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
    import quillon_harness as harness
    from update_server import UpdateServer, free_port, write_package

    driver = os.path.join(build, "tests", "download", "download_bench.exe")
    scratch = harness.scratch_dir("bench-download")
    packages = os.path.join(scratch, "server")
    data = os.urandom(args.size_mb * 1000 * 1000)
    write_package(packages, data)
    target = os.path.join(scratch, "client")
    os.makedirs(target)
    harness.give_to_test_user(target)

    # Start Wine's server once, so that the first round pays no start-up.
    subprocess.run([harness.WINE_RUN, "--shell", "sh", "-c", '"$WINESERVER" -p30'],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    installer_ms, curl_ms, peaks = [], [], []
    try:
        with UpdateServer(packages, free_port()) as server:
            for _ in range(args.rounds):
                result = subprocess.run(
                    [harness.WINE_RUN, driver, str(server.port),
                     harness.win_path(target) + "\\", "1"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    text=True, timeout=600)
                if result.returncode != 0:
                    sys.exit("driver failed: " + result.stdout + result.stderr)
                for line in result.stdout.splitlines():
                    fields = line.split()
                    if fields[:1] == ["round"]:
                        installer_ms.append(float(fields[3]))
                    elif fields[:1] == ["peak_working_set_bytes"]:
                        peaks.append(int(fields[1]))
                if os.path.getsize(os.path.join(target, "Quillon.zip")) != len(data):
                    sys.exit("the installer's copy has the wrong size: %d, %s" % (os.path.getsize(os.path.join(target, "Quillon.zip")), result.stdout))

                start = time.monotonic()
                subprocess.run(["curl", "-s", "--fail", "--cacert", server.tls.ca_cert,
                                "-o", os.path.join(scratch, "curl.zip"), server.url()],
                               check=True, timeout=600)
                curl_ms.append((time.monotonic() - start) * 1000.0)
            requests = len(server.requests())
    finally:
        harness.remove_tree(scratch)

    installer = statistics.median(installer_ms)
    curl = statistics.median(curl_ms)
    print("package: %d MB, rounds: %d, requests logged by nginx: %d"
          % (args.size_mb, args.rounds, requests))
    print("installer Download (in process, under Wine): median %.0f ms  (%s)"
          % (installer, ", ".join("%.0f" % v for v in installer_ms)))
    print("curl (whole process):                        median %.0f ms  (%s)"
          % (curl, ", ".join("%.0f" % v for v in curl_ms)))
    print("ratio installer / curl: %.2f" % (installer / curl))
    print("installer peak working set: %.1f MiB (largest of the rounds)"
          % (max(peaks) / 1048576.0 if peaks else float("nan")))


if __name__ == "__main__":
    main()
