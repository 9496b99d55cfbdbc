#!/usr/bin/env python3
"""Benchmark: updates of a stick that already holds the product, under Wine,
against the local nginx, in one run: the benchmark package (about 100 MB,
436 members) is installed, the next version (one 5 MB member changed) is
made, and each case is timed against a full update, which fetches and
writes the whole new version:

  changed    the stick at version 1, updated to version 2
  same       the stick at version 2, installed again (a re-install)
  damaged    the stick at version 2 with one file damaged
  resumed    a fresh stick whose first run was killed halfway through the
             download; the run after it

and, on a package of its own, a 50 MB definitions file with about 1 % of
its bytes changed in scattered places, published by the vendor's tool:

  patched    version 1 updated to version 2 with the tool's patch
  member     the same update from a release published without patches

    scripts/bench-update.py [--build DIR] [--runs N] [--megabytes M] [--definitions-only]

Prints for each case the bytes fetched (the server's own count of the body
bytes it sent, manifest included), the requests, the median wall and CPU
time (perf stat's task clock plus the prefix's Wine server) with their
spread, and the ratios to the full update; for the definitions file also
the installer's peak memory, the patched update's bytes against the
member's and its wall against the member path's, and the publishing
tool's time and peak memory.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

import benchlib

CHANGED_BYTES = 5 * 1000 * 1000
DEFINITIONS_BYTES = 50 * 1000 * 1000
DEFINITIONS = "defs/definitions.db"
TOOL = os.path.join(benchlib.ROOT, "scripts", "publish-package")


def copy_stick(source, h):
    stick = h.scratch_dir("bench-stick")
    subprocess.run(["cp", "-a", source + "/.", stick], check=True)
    h.give_to_test_user(stick)
    return stick


def next_version(package, records, make_package):
    """Version 2: one member, the one nearest 5 MB, replaced by 5 MB of new
    bytes, stored as they are; every other member as it was."""
    tree = os.path.join(package, "tree")
    files = [r for r in records if not r["dir"]]
    changed = min(files, key=lambda r: abs(r["size"] - CHANGED_BYTES))
    data = random.Random(23).randbytes(CHANGED_BYTES)
    with open(os.path.join(tree, *changed["path"].split("/")), "wb") as handle:
        handle.write(data)
    os.utime(os.path.join(tree, *changed["path"].split("/")), (changed["mtime"], changed["mtime"]))
    changed.update(size=CHANGED_BYTES, stored=True)
    return make_package.zip_tree(tree, records, os.path.join(package, "Quillon-2.zip")), changed["path"]


def kept_bytes(temp, h):
    record = os.path.join(h.work_folder(temp), "QL_Install_E", "Quillon.kept")
    try:
        with open(record) as handle:
            return sum(int(b) - int(a) + 1 for a, b in re.findall(r"^range (\d+) (\d+)$", handle.read(), re.M))
    except OSError:
        return 0


def definitions_releases(folder):
    """Two releases of a small product with a 50 MB definitions file: the
    second changes about 1 % of its bytes, in 64-byte runs all over it, and
    nothing else."""
    import io
    import zipfile
    rng = random.Random(29)
    # Records of a few words, as a signature database holds them: it
    # compresses, but not to nothing.
    words = [rng.randbytes(rng.randrange(4, 12)).hex().encode() for _ in range(50000)]
    data = bytearray()
    while len(data) < DEFINITIONS_BYTES:
        data += b" ".join(rng.choice(words) for _ in range(6)) + b"\n"
    data = data[:DEFINITIONS_BYTES]
    paths = []
    for version in (1, 2):
        if version == 2:
            for _ in range(DEFINITIONS_BYTES // 100 // 64):
                at = rng.randrange(DEFINITIONS_BYTES - 64)
                data[at:at + 64] = rng.randbytes(32).hex().encode()
        path = os.path.join(folder, "Quillon-%d.zip" % version)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("Quillon.exe", random.Random(1).randbytes(300000))
            archive.writestr(DEFINITIONS, bytes(data))
        paths.append(path)
    return paths


def publish(release, version, key, out, previous=None):
    """The vendor's tool; returns its (wall, CPU) seconds and the peak
    resident memory (kB) of its largest process, the tool or zstd."""
    shutil.rmtree(os.path.dirname(out), ignore_errors=True)
    os.makedirs(out)
    command = [sys.executable, TOOL, release, "--key", key, "--version", str(version), "--out", out,
               "--issued", "2026-12-01T10:00:00Z"]
    command += ["--previous", previous] if previous else ["--patch-releases", "0"]
    # The largest process of the tool's own tree, as wait4 reports it for
    # one child: not anything this benchmark ran before.
    peak = os.path.join(os.path.dirname(out), "peak")
    command = [sys.executable, "-c", "import os, sys; pid = os.fork() or os.execvp(sys.argv[2], sys.argv[2:]); "
               "_, status, usage = os.wait4(pid, 0); open(sys.argv[1], 'w').write(str(usage.ru_maxrss)); "
               "sys.exit(os.waitstatus_to_exitcode(status))", peak] + command
    result, wall, cpu = benchlib.measured(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        sys.exit("publish-package failed: " + result.stdout.decode(errors="replace"))
    with open(peak) as handle:
        peak_kb = int(handle.read())
    os.unlink(peak)
    for root, folders, _ in os.walk(os.path.dirname(os.path.dirname(out))):
        for name in folders:
            os.chmod(os.path.join(root, name), 0o755)
    return wall, cpu, peak_kb


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--runs", type=int, default=3)
    # About 228 MB of these files zip to a package of about 100 MB.
    parser.add_argument("--megabytes", type=float, default=228.0, help="size of the unpacked tree")
    parser.add_argument("--definitions-only", action="store_true",
                        help="only the definitions file's cases, not the 100 MB package's")
    args = parser.parse_args()
    build = benchlib.setup(args.build)
    installer = benchlib.install_programs(build)

    import make_package
    import quillon_harness as h
    import silent_install as si
    from update_server import UpdateServer, write_package

    benchlib.conditions(build)
    benchlib.start_wine()
    bench = benchlib.fresh_folder(build, "bench-update")
    try:
        served = os.path.join(bench, "served")
        si.register_standin()

        def update(stick, temp):
            """One timed run; returns (wall, CPU, bytes sent, requests)."""
            with UpdateServer(served) as server, si.usb_stick("E", stick) as wmi:
                env = dict(h.temp_env(temp), **wmi)
                wall, cpu = benchlib.timed_windows([installer, "/path=E:"], "Installer.exe", env)
                requests = server.requests()
            return wall, cpu, sum(r.bytes for r in requests), len(requests)

        if not args.definitions_only:
            started = time.monotonic()
            package = os.path.join(bench, "package")
            v1_path, records = make_package.make_package(package, files=436, megabytes=args.megabytes, seed=11)
            with open(v1_path, "rb") as handle:
                v1 = handle.read()
            v2_path, changed = next_version(package, records, make_package)
            with open(v2_path, "rb") as handle:
                v2 = handle.read()
            print("package: %d entries, %d bytes; version 2 changes %s (%d bytes); made in %.1f s"
                  % (len(records), len(v2), changed, CHANGED_BYTES, time.monotonic() - started))
            damaged_name = min((r for r in records if not r["dir"] and r["path"] != changed),
                               key=lambda r: abs(r["size"] - 1000000))["path"]

            # The sticks each case starts from, made once.
            write_package(served, v1)
            base_v1 = h.scratch_dir("bench-v1")
            update(base_v1, h.scratch_dir("bench-temp"))
            write_package(served, v2, version=2)
            base_v2 = copy_stick(base_v1, h)
            update(base_v2, h.scratch_dir("bench-temp"))

            cases = {name: [] for name in ("full", "changed", "same", "damaged", "resumed")}
            for run in range(args.runs):
                starts = {"full": None, "changed": base_v1, "same": base_v2, "damaged": base_v2}
                for name, source in starts.items():
                    stick = copy_stick(source, h) if source else h.scratch_dir("bench-stick")
                    if name == "damaged":
                        with open(os.path.join(stick, *damaged_name.split("/")), "r+b") as handle:
                            handle.seek(1000)
                            handle.write(b"\xff" * 64)
                    temp = h.scratch_dir("bench-temp")
                    cases[name].append(update(stick, temp))
                    h.remove_tree(stick)
                    h.remove_tree(temp)

                # Killed once half the package is kept, then run again.
                stick = h.scratch_dir("bench-stick")
                temp = h.scratch_dir("bench-temp")
                with UpdateServer(served, rate=8 * 1024 * 1024), si.usb_stick("E", stick) as wmi:
                    env = dict(h.temp_env(temp), **wmi)
                    launch = []
                    for key, value in env.items():
                        launch += ["--env", "%s=%s" % (key, value)]
                    program = h.start(h.exe("launch"), *launch, "--", installer, "/path=E:",
                                      output=os.path.join(temp, "cut.txt"))
                    while kept_bytes(temp, h) < len(v2) // 2 and program.process.poll() is None:
                        time.sleep(0.01)
                    program.stop()
                kept = kept_bytes(temp, h)
                cases["resumed"].append(update(stick, temp))
                print("run %d: %s; killed with %d bytes kept" % (
                    run + 1, ", ".join("%s %.2f s" % (n, c[-1][0]) for n, c in cases.items()), kept))
                h.remove_tree(stick)
                h.remove_tree(temp)

            full = {}
            for name, label in (("full", "full update (the whole new version)"),
                                ("changed", "one 5 MB member changed"),
                                ("same", "nothing changed (a re-install)"),
                                ("damaged", "one file on the stick damaged"),
                                ("resumed", "the run after one killed halfway")):
                results = cases[name]
                print(label + ":")
                sent = benchlib.figure("  bytes fetched", [r[2] for r in results], "B")
                benchlib.figure("  requests", [r[3] for r in results], "")
                wall = benchlib.figure("  wall", [r[0] for r in results], "s", 2)
                cpu = None
                if None not in [r[1] for r in results]:
                    cpu = benchlib.figure("  CPU", [r[1] for r in results], "s", 2)
                if name == "full":
                    full = {"sent": sent, "wall": wall, "cpu": cpu}
                    continue
                benchlib.ratio("  bytes fetched / full update", sent, full["sent"])
                benchlib.ratio("  wall / full update", wall, full["wall"])
                if cpu is not None and full["cpu"]:
                    benchlib.ratio("  CPU / full update", cpu, full["cpu"])
            print("package %d bytes; changed member %d bytes" % (len(v2), CHANGED_BYTES))
            h.remove_tree(base_v1)
            h.remove_tree(base_v2)

        from update_server import signing_key
        releases = os.path.join(bench, "definitions")
        os.makedirs(releases)
        d1, d2 = definitions_releases(releases)
        key = signing_key().key
        site = os.path.join(served, "SW_UPDATE", "KT-QUILLON")
        publish(d1, 1, key, site)
        base = h.scratch_dir("bench-defs")
        update(base, h.scratch_dir("bench-temp"))
        tool = publish(d2, 2, key, site, previous=d1)
        patch_bytes = sum(os.path.getsize(os.path.join(site, "patches", name))
                          for name in os.listdir(os.path.join(site, "patches")))
        # The member path: the same release without its patch list, which
        # is all an installer learns of patches from.
        patch_list = os.path.join(site, "Quillon.patches")
        aside = os.path.join(bench, "Quillon.patches")
        defs = {"patched": [], "member": []}
        for run in range(args.runs):
            for name in ("member", "patched"):
                os.replace(*((patch_list, aside) if name == "member" else (aside, patch_list)))
                stick = copy_stick(base, h)
                temp = h.scratch_dir("bench-temp")
                with benchlib.PeakMemory("Installer.exe") as sampler:
                    wall, cpu, sent, count = update(stick, temp)
                defs[name].append((wall, cpu, sent, count, sampler.peak_kb))
                h.remove_tree(stick)
                h.remove_tree(temp)
            print("definitions run %d: member %.2f s, patched %.2f s" % (run + 1, defs["member"][-1][0],
                                                                          defs["patched"][-1][0]))
        import zipfile
        with zipfile.ZipFile(d2) as archive:
            span = archive.getinfo(DEFINITIONS).compress_size
            tail = os.path.getsize(d2) - archive.start_dir
        manifest = os.path.getsize(os.path.join(site, "Quillon.manifest"))
        print("definitions file of %d bytes, %d in the package; the patch %d bytes" % (
            DEFINITIONS_BYTES, span, patch_bytes))
        medians = {}
        for name, label in (("member", "definitions changed, member fetched"),
                            ("patched", "definitions changed, patched")):
            results = defs[name]
            print(label + ":")
            medians[name] = {
                "sent": benchlib.figure("  bytes fetched", [r[2] for r in results], "B"),
                "wall": benchlib.figure("  wall", [r[0] for r in results], "s", 2)}
            benchlib.figure("  requests", [r[3] for r in results], "")
            if None not in [r[1] for r in results]:
                benchlib.figure("  CPU", [r[1] for r in results], "s", 2)
            benchlib.figure("  peak memory", [r[4] / 1024.0 for r in results], "MiB", 1)
        benchlib.ratio("patched: bytes fetched / member in package", medians["patched"]["sent"], span)
        print("patched: bytes fetched %d against 2 %% of the member plus manifest and tail, %d" % (
            medians["patched"]["sent"], 0.02 * span + manifest + tail))
        benchlib.ratio("patched: wall / member path", medians["patched"]["wall"], medians["member"]["wall"])
        print("publishing tool (2 releases, 1 patch): %.1f s wall, %s CPU, peak memory %.0f MiB" % (
            tool[0], "%.1f s" % tool[1] if tool[1] is not None else "no", tool[2] / 1024.0))
        h.remove_tree(base)
    finally:
        shutil.rmtree(bench, ignore_errors=True)
        benchlib.stop_install_world()
    return 0


if __name__ == "__main__":
    sys.exit(main())
