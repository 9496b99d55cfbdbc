#!/usr/bin/env python3
"""Benchmark: the whole silent install of a 100 MB package under Wine against
curl + unzip of the same package from the same local server, in one run.

    scripts/bench-install.py [--runs N] [--megabytes M]

Needs the test build (cmake --build --preset test) and, as root, what
scripts/bootstrap installs. Prints the median wall times, their ratio and
the installer's peak resident memory (the largest VmHWM of its Wine process,
sampled while it runs).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(SOURCE_DIR, "build", "test")


def setup_environment():
    def cache(name):
        with open(os.path.join(BUILD, "CMakeCache.txt")) as handle:
            for line in handle:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
        return ""
    env = {
        "QUILLON_BUILD_DIR": BUILD,
        "QUILLON_SOURCE_DIR": SOURCE_DIR,
        "QUILLON_WINE_RUN": os.path.join(BUILD, "wine-run"),
        "QUILLON_WINEPREFIX": os.path.join(BUILD, "wineprefix"),
        "QUILLON_TEST_USER": os.environ.get("QUILLON_TEST_USER", "quillontest"),
        "QUILLON_TEST_SCRATCH": os.path.join(BUILD, "scratch"),
        "QUILLON_UPDATE_HOST": cache("QUILLON_UPDATE_HOST"),
        "QUILLON_UPDATE_PORT": cache("QUILLON_UPDATE_PORT"),
        "QUILLON_EXE_Installer": os.path.join(BUILD, "Installer", "Installer.exe"),
        "QUILLON_EXE_launch": os.path.join(BUILD, "tests", "tools", "launch.exe"),
        "QUILLON_EXE_drive_probe": os.path.join(BUILD, "tests", "drives", "drive_probe.exe"),
        "QUILLON_EXE_trust_ca": os.path.join(BUILD, "tests", "download", "trust_ca.exe"),
    }
    os.environ.update(env)
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "harness"))
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "fixtures"))


def installer_pids():
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as handle:
                command = handle.read()
        except OSError:
            continue
        if b"Installer.exe" in command and b"launch.exe" not in command:
            pids.append(entry)
    return pids


class PeakMemory(threading.Thread):
    """Largest VmHWM (kB) of any Installer.exe process while it runs."""

    def __init__(self):
        super().__init__(daemon=True)
        self.peak_kb = 0
        self.running = True

    def run(self):
        while self.running:
            for pid in installer_pids():
                try:
                    with open("/proc/%s/status" % pid) as handle:
                        for line in handle:
                            if line.startswith("VmHWM:"):
                                self.peak_kb = max(self.peak_kb, int(line.split()[1]))
                except OSError:
                    pass
            time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    # About 228 MB of these files zip to a package of about 100 MB.
    parser.add_argument("--megabytes", type=float, default=228.0,
                        help="size of the unpacked tree")
    args = parser.parse_args()
    setup_environment()

    import make_package
    import quillon_harness as h
    import silent_install as si
    from update_server import TestTls, UpdateServer, write_package

    prefix_script = os.path.join(SOURCE_DIR, "tests", "harness", "wine-prefix")
    subprocess.run([prefix_script, h.WINE_RUN, h.WINEPREFIX, h.TEST_USER, "start"], check=True)
    bench = os.path.join(BUILD, "bench-install")
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

        install_times, curl_times, peaks = [], [], []
        with UpdateServer(served) as server:
            ca = TestTls().ensure().ca_cert
            for run in range(args.runs):
                stick = h.scratch_dir("bench-stick")
                temp = h.scratch_dir("bench-temp")
                with si.usb_stick("E", stick) as wmi:
                    sampler = PeakMemory()
                    sampler.start()
                    begin = time.monotonic()
                    result = si.run_installer(h.exe("Installer"), "E:", temp, wmi)
                    install_times.append(time.monotonic() - begin)
                    sampler.running = False
                    sampler.join()
                    peaks.append(sampler.peak_kb)
                if result.returncode != 0:
                    print("installer failed with %d:\n%s" % (result.returncode, h.read_log(temp)))
                    return 1
                h.remove_tree(stick)
                h.remove_tree(temp)

                target = os.path.join(bench, "curl-%d" % run)
                os.makedirs(target)
                begin = time.monotonic()
                subprocess.run(["curl", "-s", "--fail", "--cacert", ca, "-o",
                                os.path.join(target, "Quillon.zip"), server.url()], check=True)
                subprocess.run(["unzip", "-q", "-o", os.path.join(target, "Quillon.zip"), "-d",
                                os.path.join(target, "tree")], check=True)
                curl_times.append(time.monotonic() - begin)
                shutil.rmtree(target)
                print("run %d: installer %.2f s (peak %d kB), curl+unzip %.2f s"
                      % (run + 1, install_times[-1], peaks[-1], curl_times[-1]))

        install = statistics.median(install_times)
        reference = statistics.median(curl_times)
        print("median silent install under Wine: %.2f s" % install)
        print("median curl + unzip:              %.2f s" % reference)
        print("ratio installer / curl+unzip:     %.2f" % (install / reference))
        print("installer peak resident memory:   %.1f MB" % (max(peaks) / 1024.0))
    finally:
        shutil.rmtree(bench, ignore_errors=True)
        subprocess.run([os.path.join(SOURCE_DIR, "tests", "drives", "wmi-standin"), h.WINE_RUN,
                        si.standin_dll(), "restore"], stdout=subprocess.DEVNULL)
        subprocess.run([prefix_script, h.WINE_RUN, h.WINEPREFIX, h.TEST_USER, "stop"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
