"""Installer.exe alone in a folder where someone has dropped DLLs named after
those Windows would look for there, as in a shared Downloads folder. Wine is
told to prefer a DLL found beside the program for each of those names, which
is what Windows does for every DLL that is not one of its known DLLs. Each
planted DLL leaves "<name>.ran" beside itself when it is loaded.
"""
import contextlib
import os
import shutil
import sys
import tempfile
import unittest

import quillon_harness as h
from update_server import UpdateServer, write_package

sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(h.SOURCE_DIR, "tests", "fixtures"))
import make_package  # noqa: E402
import silent_install as si  # noqa: E402

# The program's own imports (winhttp, msimg32, and comctl32, which the
# manifest binds to version 6), the rich edit libraries it loads, the DLLs
# Windows' own DLLs load for it (version, uxtheme, usp10, ...), and the names
# most often planted against installers.
PLANTED = ("winhttp", "msimg32", "comctl32", "riched32", "riched20", "msftedit", "version", "uxtheme",
           "usp10", "dwmapi", "cryptbase", "userenv", "sspicli", "secur32", "wininet", "propsys",
           "profapi", "apphelp", "dbghelp", "wtsapi32", "netapi32", "iphlpapi", "dnsapi", "winmm",
           "crypt32", "bcrypt", "schannel", "oleacc", "textshaping", "wbemprox", "dxgi", "opengl32")


class PlantedFolder:
    def __init__(self):
        self.folder = h.scratch_dir("downloads")
        self.installer = os.path.join(self.folder, "Installer.exe")
        shutil.copy(h.exe("Installer"), self.installer)
        for name in PLANTED:
            shutil.copy(h.exe("planted_dll"), os.path.join(self.folder, name + ".dll"))
        h.give_to_test_user(self.folder)

    @contextlib.contextmanager
    def native_first(self):
        saved = os.environ.get("WINEDLLOVERRIDES")
        os.environ["WINEDLLOVERRIDES"] = "%s=n,b;mscoree,mshtml=" % ",".join(PLANTED)
        try:
            yield
        finally:
            if saved is None:
                del os.environ["WINEDLLOVERRIDES"]
            else:
                os.environ["WINEDLLOVERRIDES"] = saved

    def ran(self):
        return sorted(name for name in os.listdir(self.folder) if name.endswith(".ran"))


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        self.planted = PlantedFolder()
        self.temp = h.scratch_dir("temp")

    def test_silent_install_loads_none_and_installs(self):
        si.register_standin()
        package = tempfile.mkdtemp(prefix="planting-package-", dir=h.BUILD_DIR)
        served = tempfile.mkdtemp(prefix="planting-served-", dir=h.BUILD_DIR)
        os.chmod(served, 0o755)
        stick = h.scratch_dir("stick")
        try:
            zip_path, records = make_package.make_package(package, files=20, megabytes=0.5, seed=17)
            with open(zip_path, "rb") as handle:
                write_package(served, handle.read())
            with UpdateServer(served), si.usb_stick("E", stick) as wmi, self.planted.native_first():
                env = dict(h.temp_env(self.temp), **wmi)
                result = h.run(self.planted.installer, "/path=E:", env=env, cwd=h.win_path(self.planted.folder))
            log = h.read_log(self.temp)
            self.assertEqual([], self.planted.ran(), "planted DLLs that ran inside the installer")
            self.assertEqual(0, result.returncode, result.stdout + log)
            self.assertIn("Install succeeded", log)
            # The package's files, and the record of its signed version.
            self.assertEqual({r["path"] for r in records if not r["dir"]} | {"Quillon.version"},
                             {os.path.relpath(os.path.join(root, name), stick)
                              for root, _, names in os.walk(stick) for name in names})
        finally:
            for folder in (package, served, stick):
                h.remove_tree(folder)

    def test_licence_window_loads_none_and_shows_the_licence(self):
        env = []
        for name, value in h.temp_env(self.temp).items():
            env += ["--env", "%s=%s" % (name, value)]
        with self.planted.native_first():
            program = h.start(h.exe("launch"), *env, "--cwd", h.win_path(self.planted.folder), "--",
                              self.planted.installer, output=os.path.join(self.temp, "output.txt"))
        shown = None
        try:
            h.wait_for_x_window(timeout=30, program=program)
            state = h.wait_for_window(timeout=30)
            shown = h.run(h.exe("ui_probe"), "--text", "1005").stdout
            h.key("Escape")
            exit_code = program.wait(timeout=60)
        except AssertionError:
            pass  # the markers below tell why
        finally:
            program.stop()
        self.assertEqual([], self.planted.ran(), "planted DLLs that ran inside the installer")
        self.assertIsNotNone(shown, "no licence window")
        document = h.run(h.exe("ui_probe"), "--rtf", h.win_path(os.path.join(
            h.SOURCE_DIR, "Installer", "res", "Licence.rtf"))).stdout
        self.assertEqual("Quillon Setup", state["title"])
        self.assertGreater(len(document), 15000)
        self.assertEqual(document, shown.replace('"found": true, ', ""), "the licence as the rich edit shows it")
        self.assertEqual(1, exit_code, "Esc declines the licence")
        self.assertEqual(["Log created"], [line.split("] ", 1)[1] for line in h.read_log(self.temp).splitlines()])


if __name__ == "__main__":
    unittest.main(verbosity=2)
