"""The pieces of a silent install under Wine, shared by the end-to-end tests,
the demo and the benchmark: a stand-in USB stick (a WMI fixture and a
dosdevices link), the installer run with its own temporary folder, and the
installed tree as Windows reports it.
"""
import contextlib
import os
import subprocess

import quillon_harness as h


def standin_dll():
    return os.environ.get("QUILLON_WMI_STANDIN_DLL") or os.path.join(
        h.BUILD_DIR, "tests", "drives", "wmi_standin.dll")


def register_standin():
    """wineboot -u resets the locator class; registering again is cheap."""
    script = os.path.join(h.SOURCE_DIR, "tests", "drives", "wmi-standin")
    subprocess.run([script, h.WINE_RUN, standin_dll(), "register"], check=True,
                   stdout=subprocess.DEVNULL)


def write_wmi_fixture(folder, letters):
    """A WMI world with one USB stick per letter; returns its Windows path."""
    lines = []
    for number, letter in enumerate(letters, start=1):
        lines.append("disk\tDeviceID=\\\\.\\PHYSICALDRIVE%d\tPNPDeviceID=USBSTOR\\DISK&VEN_QUILLON"
                     "&PROD_TEST_STICK&REV_1.00\\QT%04d&0\tInterfaceType=USB" % (number, number))
        lines.append("partition\tDeviceID=Disk #%d, Partition #0" % number)
        lines.append("logical\tName=%s:" % letter.upper())
    path = os.path.join(folder, "wmi-fixture.txt")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(lines) + "\n")
    h.give_to_test_user(path)
    return h.win_path(path)


@contextlib.contextmanager
def usb_stick(letter, folder, attached=True, work=None):
    """Maps `letter` to `folder`; with attached, WMI reports it as a USB disk.

    Yields the Windows environment the installer needs for that world.
    """
    work = work or h.scratch_dir("wmi")
    fixture = write_wmi_fixture(work, [letter] if attached else [])
    with h.drive(letter, folder):
        yield {"QUILLON_WMI_FIXTURE": fixture}


def run_installer(installer, destination, temp_folder, wmi_env, timeout=600):
    env = dict(h.temp_env(temp_folder))
    env.update(wmi_env)
    return h.run(installer, "/path=" + destination, env=env, timeout=timeout)


def windows_tree(probe, folder):
    """{relative path with "/": (attributes, last write FILETIME, size)}."""
    result = h.run(probe, "tree", folder)
    if result.returncode != 0:
        raise AssertionError("drive_probe tree failed: " + result.stdout)
    tree = {}
    for line in result.stdout.splitlines():
        if not line.strip():
            continue
        path, attributes, written, size = line.rstrip("\r").split("\t")
        tree[path.replace("\\", "/")] = (int(attributes, 16), int(written), int(size))
    return tree


def filetime_of_unix(seconds):
    return (seconds + 11644473600) * 10000000
