"""What the scripts/bench-* benchmarks share: the build they measure, its
Wine harness, and how figures are printed.

The build folder comes from --build, else $QUILLON_BUILD_DIR, else
build/test; any build of the test presets works (build/test-win32 too).
"""
import os
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def add_build_argument(parser):
    parser.add_argument("--build", default=os.environ.get("QUILLON_BUILD_DIR",
                                                          os.path.join(ROOT, "build", "test")),
                        help="build folder of a test preset (default: build/test)")


def _cache(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as handle:
        for line in handle:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def setup(build):
    """Points the test harness at `build` and makes its modules importable.
    Returns the absolute build folder."""
    build = os.path.abspath(build)
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        sys.exit("no build in %s: configure and build a test preset first" % build)
    env = {
        "QUILLON_BUILD_DIR": build,
        "QUILLON_SOURCE_DIR": ROOT,
        "QUILLON_WINE_RUN": os.path.join(build, "wine-run"),
        "QUILLON_WINEPREFIX": os.path.join(build, "wineprefix"),
        "QUILLON_TEST_USER": os.environ.get("QUILLON_TEST_USER", "quillontest"),
        "QUILLON_TEST_SCRATCH": os.path.join(build, "scratch"),
        "QUILLON_UPDATE_HOST": _cache(build, "QUILLON_UPDATE_HOST"),
        "QUILLON_UPDATE_PORT": _cache(build, "QUILLON_UPDATE_PORT"),
    }
    os.environ.update(env)
    for folder in ("tests/harness", "tests/e2e", "tests/fixtures"):
        sys.path.insert(0, os.path.join(ROOT, folder))
    return build


def exe(build, folder, name):
    path = os.path.join(build, "tests", folder, name + ".exe")
    os.environ["QUILLON_EXE_" + name] = path
    return path


def architecture(build):
    return _cache(build, "QUILLON_ARCH") or "unknown"


def start_wine():
    """One Wine server for the whole run, so that no round pays its start."""
    import quillon_harness as harness
    script = os.path.join(ROOT, "tests", "harness", "wine-prefix")
    subprocess.run([script, harness.WINE_RUN, harness.WINEPREFIX, harness.TEST_USER, "start"],
                   check=True, stdout=subprocess.DEVNULL)


def stop_wine():
    import quillon_harness as harness
    script = os.path.join(ROOT, "tests", "harness", "wine-prefix")
    subprocess.run([script, harness.WINE_RUN, harness.WINEPREFIX, harness.TEST_USER, "stop"],
                   stdout=subprocess.DEVNULL)


def figure(label, values, unit, digits=0):
    """One line: median, spread and every value."""
    form = "%%.%df" % digits
    median = statistics.median(values)
    print("%-44s median %s %s  (spread %s..%s; %s)" % (
        label + ":", form % median, unit, form % min(values), form % max(values),
        ", ".join(form % v for v in values)))
    return median


def ratio(label, numerator, denominator):
    print("%-44s %.2f" % (label + ":", numerator / denominator))


def conditions(build):
    load = os.getloadavg()
    print("build: %s (%s), cores: %d, load average at start: %.2f %.2f %.2f"
          % (build, architecture(build), os.cpu_count(), *load))


class PeakMemory(threading.Thread):
    """Largest VmHWM (kB) of any process whose command line holds `name`
    (and not `unless`) while it runs; Wine's own peak working set reads the
    same counter."""

    def __init__(self, name, unless=b"launch.exe"):
        super().__init__(daemon=True)
        self.pattern = name.encode()
        self.unless = unless
        self.peak_kb = 0
        self.running = True

    def _pids(self):
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as handle:
                    command = handle.read()
            except OSError:
                continue
            if self.pattern in command and self.unless not in command:
                yield entry

    def run(self):
        while self.running:
            for pid in self._pids():
                try:
                    with open("/proc/%s/status" % pid) as handle:
                        for line in handle:
                            if line.startswith("VmHWM:"):
                                self.peak_kb = max(self.peak_kb, int(line.split()[1]))
                except OSError:
                    pass
            time.sleep(0.02)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.join()
