#!/usr/bin/env python3
"""Benchmark: the silent install over a slow link, against the time the
package's bytes alone take at the link's rate, and against the plainest
same-platform anchor (tests/bench's WinHTTP program fetching 4 MiB ranges,
then minizip's miniunz) over the same link, in one run.

    scripts/bench-slow-link.py [--build DIR] [--runs N] [--rtt-ms R] [--mbit M] [--megabytes U]

The link is a relay of the project's own on loopback (scripts/slowlink.py)
that adds a round trip (half each way, one more for every new connection's
handshake) and shares one rate among the connections; the programs talk to
it on the build's port, and it talks to nginx. Prints the median wall time
with its spread, the ratio to the bytes' time at the link rate, and the
connections each program made.
"""
import argparse
import os
import shutil
import sys
import time

import benchlib
from slowlink import SlowLink


def main():
    parser = argparse.ArgumentParser()
    benchlib.add_build_argument(parser)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rtt-ms", type=float, default=100.0)
    parser.add_argument("--mbit", type=float, default=50.0)
    # About 58 MB of these files zip to a package of about 28.5 MB.
    parser.add_argument("--megabytes", type=float, default=58.0, help="size of the unpacked tree")
    args = parser.parse_args()
    build = benchlib.setup(args.build)
    installer = benchlib.install_programs(build)
    fetch, miniunz = benchlib.anchor_programs(build)

    import make_package
    import quillon_harness as h
    import silent_install as si
    from update_server import UpdateServer, free_port, write_package

    benchlib.conditions(build)
    benchlib.start_wine()
    bench = benchlib.fresh_folder(build, "bench-slow-link")
    try:
        zip_path, records = make_package.make_package(os.path.join(bench, "package"), files=120,
                                                      megabytes=args.megabytes, seed=5)
        size = os.path.getsize(zip_path)
        served = os.path.join(bench, "served")
        with open(zip_path, "rb") as handle:
            write_package(served, handle.read())
        si.register_standin()
        rate = args.mbit * 1e6 / 8.0
        print("package: %d entries, %d bytes; link: %.0f ms round trip, %.1f Mbit/s shared"
              % (len(records), size, args.rtt_ms, args.mbit))

        times = {"installer": [], "anchor": []}
        connections = {"installer": [], "anchor": []}
        carried = {"installer": [], "anchor": []}
        with UpdateServer(served, port=free_port()) as server, \
                SlowLink(h.UPDATE_PORT, server.port, args.rtt_ms, args.mbit) as link:
            for run in range(args.runs):
                stick = h.scratch_dir("bench-stick")
                temp = h.scratch_dir("bench-temp")
                link.reset_counts()
                with si.usb_stick("E", stick) as wmi:
                    env = dict(h.temp_env(temp))
                    env.update(wmi)
                    wall, _ = benchlib.timed_windows([installer, "/path=E:"], "Installer.exe", env)
                times["installer"].append(wall)
                connections["installer"].append(link.connections)
                carried["installer"].append(link.bytes_down)
                h.remove_tree(stick)
                h.remove_tree(temp)

                target = h.scratch_dir("bench-anchor")
                package = os.path.join(target, "Quillon.zip")
                tree = os.path.join(target, "tree")
                os.makedirs(tree)
                h.give_to_test_user(tree)
                link.reset_counts()
                fetched = benchlib.timed_windows([fetch, str(h.UPDATE_PORT), h.win_path(package), "ranges", "1"],
                                                 "winhttp_fetch")
                anchor_connections = link.connections
                anchor_bytes = link.bytes_down
                unpacked = benchlib.timed_windows([miniunz, "-x", "-o", h.win_path(package), "-d", h.win_path(tree)],
                                                  "miniunz")
                times["anchor"].append(fetched[0] + unpacked[0])
                connections["anchor"].append(anchor_connections)
                carried["anchor"].append(anchor_bytes)
                h.remove_tree(target)
                print("run %d: installer %.2f s over %d connections, anchor %.2f s over %d connections"
                      % (run + 1, times["installer"][-1], connections["installer"][-1],
                         times["anchor"][-1], connections["anchor"][-1]))

        floor = size / rate
        print("%-44s %.2f s" % ("the package's bytes at the link rate:", floor))
        install = benchlib.figure("silent install over the slow link", times["installer"], "s", 2)
        anchor = benchlib.figure("anchor: WinHTTP ranges + miniunz", times["anchor"], "s", 2)
        benchlib.ratio("ratio installer / bytes at the link rate", install, floor)
        benchlib.ratio("ratio anchor / bytes at the link rate", anchor, floor)
        benchlib.ratio("ratio installer / anchor", install, anchor)
        benchlib.figure("connections, installer", connections["installer"], "", 0)
        benchlib.figure("connections, anchor", connections["anchor"], "", 0)
        benchlib.figure("bytes from the server, installer", carried["installer"], "B", 0)
        benchlib.figure("bytes from the server, anchor", carried["anchor"], "B", 0)
    finally:
        shutil.rmtree(bench, ignore_errors=True)
        benchlib.stop_install_world()
    return 0


if __name__ == "__main__":
    sys.exit(main())
