"""The demo's silent install: a generated package published as a vendor does
(scripts/publish-package: the package under its versioned name and the
signed manifest beside it, signed with the build's own key), the local
update server, a stand-in USB stick as E:, Installer.exe /path=E: under Wine, then the exit
code, the installed tree and the log. Run by scripts/demo, which sets up the
environment the harness reads.
"""
import os
import shutil
import subprocess
import sys

import quillon_harness as h
import silent_install as si
from update_server import UpdateServer

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
import make_package  # noqa: E402


def main():
    demo = os.path.join(h.BUILD_DIR, "demo")
    shutil.rmtree(demo, ignore_errors=True)
    os.makedirs(demo)
    package_dir = os.path.join(demo, "package")
    zip_path, records = make_package.make_package(package_dir, files=120, megabytes=2.0, seed=7)
    served = os.path.join(demo, "served")
    published = os.path.join(served, "SW_UPDATE", "KT-QUILLON")
    subprocess.run([os.path.join(h.SOURCE_DIR, "scripts", "publish-package"), zip_path, "--version", "1",
                    "--key", os.path.join(h.BUILD_DIR, "package-signing", "test-package.key"),
                    "--out", published], check=True)
    with open(os.path.join(published, "Quillon.manifest"), encoding="utf-8") as handle:
        manifest = handle.read().splitlines()
    print("demo: signed manifest, %d lines:" % len(manifest))
    for line in manifest[:8] + ["..."] + manifest[-1:]:
        print("   " + line)
    os.chmod(demo, 0o755)
    stick = h.scratch_dir("demo-stick")
    temp = h.scratch_dir("demo-temp")

    print("demo: package %s (%d entries, %d bytes)" % (zip_path, len(records), os.path.getsize(zip_path)))
    si.register_standin()
    with UpdateServer(served) as server:
        print("demo: update server %s" % server.url())
        with si.usb_stick("E", stick) as wmi:
            print("demo: stand-in USB stick E: -> %s" % stick)
            print("demo: drives WMI reports: %s" % h.run(h.exe("drive_probe"), "drives", env=wmi)
                  .stdout.strip().replace("\t", " = "))
            print("demo: running Installer.exe /path=E: under Wine ...")
            result = si.run_installer(h.exe("Installer"), "E:", temp, wmi)
        requests = server.requests()

    print("\n== exit code: %d (%s)" % (result.returncode, "success" if result.returncode == 0 else "failure"))
    print("== requests the server answered: %d" % len(requests))
    for request in requests:
        print("   %s %s range=%s -> %d, %d bytes" % (request.method, request.uri, request.range or "-",
                                                    request.status, request.bytes))
    print("\n== installed tree on E: (%s), as Windows reports it" % stick)
    tree = si.windows_tree(h.exe("drive_probe"), h.win_path(stick))
    for path in sorted(tree):
        attributes, _, size = tree[path]
        flags = "".join(letter for bit, letter in ((0x10, "d"), (0x02, "h"), (0x01, "r"))
                        if attributes & bit) or "-"
        print("   %-4s %10d  %s" % (flags, size, path))
    print("   %d entries (package: %d)" % (len(tree), len(records)))
    print("\n== %s" % os.path.join(h.work_folder(temp), "Installer.log"))
    print(h.read_log(temp).rstrip())
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
