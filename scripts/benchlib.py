"""What the scripts/bench-* benchmarks share: the build they measure, its
Wine harness, and how figures are printed.

The build folder comes from --build, else $QUILLON_BUILD_DIR, else the
test preset this machine runs (scripts/test-preset: build/test, the shipped
32-bit program, or build/test-x64 where the kernel runs no 32-bit code or
QUILLON_FALLBACK_X64=1 asks). Every run says which build it measured.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _runnable_build():
    preset = subprocess.run([os.path.join(ROOT, "scripts", "test-preset")], env=dict(
        os.environ, QUILLON_CALLER=os.path.basename(sys.argv[0])),
        stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
    return os.path.join(ROOT, "build", preset)


def add_build_argument(parser):
    parser.add_argument("--build", default=os.environ.get("QUILLON_BUILD_DIR"),
                        help="build folder of a test preset (default: the one this "
                             "machine runs, build/test or build/test-x64)")


def _cache(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as handle:
        for line in handle:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def _wine_prefix(build):
    """The prefix that the build's wine-run uses."""
    with open(os.path.join(build, "wine-run")) as handle:
        for line in handle:
            if line.startswith('export WINEPREFIX="'):
                return line.split('"')[1]
    return os.path.join(build, "wineprefix")


def setup(build):
    """Points the test harness at `build` and makes its modules importable.
    Returns the absolute build folder."""
    build = os.path.abspath(build or _runnable_build())
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        sys.exit("no build in %s: configure and build a test preset first" % build)
    env = {
        "QUILLON_BUILD_DIR": build,
        "QUILLON_SOURCE_DIR": ROOT,
        "QUILLON_WINE_RUN": os.path.join(build, "wine-run"),
        "QUILLON_WINEPREFIX": _wine_prefix(build),
        "QUILLON_TEST_USER": os.environ.get("QUILLON_TEST_USER", "quillontest"),
        "QUILLON_TEST_SCRATCH": os.path.join(build, "scratch"),
        "QUILLON_UPDATE_HOST": _cache(build, "QUILLON_UPDATE_HOST"),
        "QUILLON_UPDATE_PORT": _cache(build, "QUILLON_UPDATE_PORT"),
    }
    os.environ.update(env)
    arch = _cache(build, "QUILLON_ARCH") or "i686"
    print("measuring the %s build in %s%s" % (arch, build, "" if arch == "i686" else
          " (not the shipped 32-bit program)"))
    for folder in ("tests/harness", "tests/e2e", "tests/fixtures"):
        sys.path.insert(0, os.path.join(ROOT, folder))
    return build


def exe(build, folder, name):
    path = os.path.join(build, "tests", folder, name + ".exe")
    os.environ["QUILLON_EXE_" + name] = path
    return path


def stripped(build, path):
    """A copy of a Windows program without its debug sections, as the release
    build ships it. Wine copies into memory the sections whose file offsets
    are not page-aligned, so a RelWithDebInfo build's debug information adds
    megabytes to the working set, more or fewer as the layout shifts with
    every change of code, though nothing reads it; timing is unaffected."""
    folder = os.path.join(build, "bench-bin")
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    copy = os.path.join(folder, os.path.basename(path))
    subprocess.run([_cache(build, "CMAKE_STRIP") or "strip", "-o", copy, path], check=True)
    os.chmod(copy, 0o755)
    return copy


def wineserver_cpu():
    """CPU seconds that the Wine server of the build's prefix has used so far;
    it does much of the work of every file operation under Wine."""
    prefix = ("WINEPREFIX=" + os.environ["QUILLON_WINEPREFIX"]).encode()
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as handle:
                if b"wineserver" not in handle.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as handle:
                if prefix not in handle.read().split(b"\0"):
                    continue
            with open("/proc/%s/stat" % entry) as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            continue
    return total / os.sysconf("SC_CLK_TCK")


def measured(command, wine=False, **kwargs):
    """Runs command; returns (result, wall seconds, CPU seconds). The CPU
    time is that of the command and every process it starts (perf stat's
    task clock), and with `wine` what the prefix's Wine server used
    meanwhile; None without perf. On a machine that other work shares it
    varies far less than wall time."""
    perf = shutil.which("perf")
    report = None
    if perf:
        handle, report = tempfile.mkstemp(prefix="bench-perf-")
        os.close(handle)
        command = [perf, "stat", "-x,", "-e", "task-clock", "-o", report, "--"] + list(command)
    server = wineserver_cpu() if wine else 0.0
    start = time.perf_counter()
    result = subprocess.run(command, **kwargs)
    wall = time.perf_counter() - start
    server = wineserver_cpu() - server if wine else 0.0
    cpu = None
    if report:
        with open(report) as handle:
            for line in handle:
                fields = line.split(",")
                if len(fields) > 2 and fields[2] == "task-clock" and fields[0].replace(".", "").isdigit():
                    cpu = float(fields[0]) / 1000.0 + server
        os.remove(report)
    return result, wall, cpu


def timed_windows(command, what, env=None):
    """Runs a Windows program as the harness does; returns (wall, CPU) seconds."""
    import quillon_harness as h
    line = [h.WINE_RUN]
    if env:
        line.append(h.exe("launch"))
        for name, value in env.items():
            line += ["--env", "%s=%s" % (name, value)]
        line.append("--")
    # Output goes to a file, not a pipe: a program that loads user32 starts
    # Wine's desktop process, which inherits the output and keeps a pipe
    # open about a second after the program has ended.
    with tempfile.TemporaryFile(mode="w+") as output:
        result, wall, cpu = measured(line + command, wine=True, stdin=subprocess.DEVNULL,
                                              stdout=output, stderr=subprocess.STDOUT, timeout=600)
        if result.returncode != 0:
            output.seek(0)
            sys.exit("%s failed with %d: %s" % (what, result.returncode, output.read()))
    return wall, cpu


def install_programs(build):
    """The stripped installer and what every install benchmark runs beside
    it (the WMI stand-in for the stick, the launcher, the drive probe, the
    test CA's installer); returns the installer's path."""
    installer = stripped(build, os.path.join(build, "Installer", "Installer.exe"))
    os.environ["QUILLON_WMI_STANDIN_DLL"] = stripped(
        build, os.path.join(build, "tests", "drives", "wmi_standin.dll"))
    exe(build, "tools", "launch")
    exe(build, "drives", "drive_probe")
    exe(build, "download", "trust_ca")
    return installer


def anchor_programs(build):
    """The plainest same-platform anchors: (WinHTTP ranges, miniunz)."""
    return (stripped(build, exe(build, "bench", "winhttp_fetch")),
            stripped(build, exe(build, "bench", "miniunz")))


def architecture(build):
    return _cache(build, "QUILLON_ARCH") or "unknown"


def start_wine():
    """One Wine server for the whole run, so that no round pays its start."""
    import quillon_harness as harness
    script = os.path.join(ROOT, "tests", "harness", "wine-prefix")
    subprocess.run([script, harness.WINE_RUN, harness.WINEPREFIX, harness.TEST_USER, "start"],
                   check=True, stdout=subprocess.DEVNULL)


def fresh_folder(build, name):
    """An empty folder of the build for one benchmark's files, readable by
    the test user who runs the Windows programs."""
    folder = os.path.join(build, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    os.chmod(folder, 0o755)
    return folder


def stop_install_world():
    """Gives the locator back to Wine's own WMI and stops the prefix: the end
    of every benchmark that installed onto a stand-in stick."""
    import quillon_harness as harness
    import silent_install as si
    subprocess.run([os.path.join(ROOT, "tests", "drives", "wmi-standin"), harness.WINE_RUN,
                    si.standin_dll(), "restore"], stdout=subprocess.DEVNULL)
    stop_wine()


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
    """Largest VmHWM (kB) of any Wine process of the program `name` (its
    first argument names it; wrappers that only pass it on do not count)
    while it runs; Wine's own peak working set reads the same counter."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.pattern = name.encode()
        self.peak_kb = 0
        self.running = True

    def _pids(self):
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as handle:
                    program = handle.read().split(b"\0")[0]
            except OSError:
                continue
            if program.endswith(self.pattern):
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
