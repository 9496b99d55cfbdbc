"""Signs the release build's unsigned program each way a vendor signs and
checks each result the way Windows does: a password-protected PEM key, a key
kept in a PKCS#11 token (SoftHSM2) behind a PIN, and a signature timestamped
by an RFC 3161 server, each with a chain root -> intermediate -> leaf of the
test's own; then the build settings that choose them, through a small CMake
project that signs with cmake/Signing.cmake exactly as the release build does.
Usage: check_signing.py RELEASE-BUILD-FOLDER
"""
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402  (not imported by name, so its own test class is not run again here)

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SIGN_EXE = os.path.join(SOURCE, "scripts", "sign-exe")
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
PASSWORD = "correct horse 7"
PIN = "493817"
TOKEN_KEY = "pkcs11:token=vendor;object=codesign;type=private"
RELEASE = None
work = None


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def openssl(*arguments):
    result = run("openssl", *arguments)
    if result.returncode:
        raise RuntimeError("openssl %s: %s" % (arguments[0], result.stderr))


def path(name):
    return os.path.join(work, name)


def certificate(name, issuer, extensions):
    """name.pem and name.key, issued by issuer (a name made before) or
    self-signed when issuer is None."""
    with open(path(name + ".ext"), "w") as handle:
        handle.write("\n".join(extensions) + "\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Vendor Test " + name,
            "-keyout", path(name + ".key"), "-out", path(name + ".csr"))
    signer = ["-signkey", path(name + ".key")] if issuer is None else \
        ["-CA", path(issuer + ".pem"), "-CAkey", path(issuer + ".key"), "-CAcreateserial"]
    openssl("x509", "-req", "-in", path(name + ".csr"), *signer, "-days", "30",
            "-extfile", path(name + ".ext"), "-out", path(name + ".pem"))


def make_vendor():
    authority = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"]
    certificate("root", None, authority)
    certificate("intermediate", "root", authority)
    certificate("leaf", "intermediate", ["basicConstraints=critical,CA:FALSE",
                                         "keyUsage=critical,digitalSignature", "extendedKeyUsage=codeSigning"])
    certificate("tsa", "root", ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature",
                                "extendedKeyUsage=critical,timeStamping"])
    # What a vendor is given: their leaf and the intermediate; the root is
    # what Windows already trusts.
    with open(path("chain.pem"), "w") as chain:
        for name in ("leaf", "intermediate"):
            with open(path(name + ".pem")) as handle:
                chain.write(handle.read())
    openssl("pkey", "-in", path("leaf.key"), "-aes256", "-passout", "pass:" + PASSWORD,
            "-out", path("leaf.protected.key"))
    # The same key moved into a token, as a vendor's HSM holds it.
    os.makedirs(path("tokens"))
    with open(path("softhsm2.conf"), "w") as handle:
        handle.write("directories.tokendir = %s\nobjectstore.backend = file\n" % path("tokens"))
    os.environ["SOFTHSM2_CONF"] = path("softhsm2.conf")
    openssl("pkcs8", "-topk8", "-nocrypt", "-in", path("leaf.key"), "-out", path("leaf.p8"))
    for command in (["--init-token", "--free", "--label", "vendor", "--pin", PIN, "--so-pin", "86420"],
                    ["--import", path("leaf.p8"), "--token", "vendor", "--label", "codesign", "--id", "01",
                     "--pin", PIN]):
        result = run("softhsm2-util", *command)
        if result.returncode:
            raise RuntimeError("softhsm2-util: " + result.stdout + result.stderr)
    os.remove(path("leaf.key"))
    os.remove(path("leaf.p8"))


class TimestampAuthority(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 server on loopback: openssl answers each request."""
    requests = 0

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", path("tsa.cnf"), "-queryfile", "/dev/stdin",
                                "-inkey", path("tsa.key"), "-signer", path("tsa.pem"), "-chain", path("root.pem"),
                                "-out", "/dev/stdout"], input=query, capture_output=True).stdout
        TimestampAuthority.requests += 1
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


def start_timestamp_authority():
    with open(path("tsa.cnf"), "w") as handle:
        handle.write("[tsa]\ndefault_tsa = test\n[test]\nserial = %s\nsigner_digest = sha256\n"
                     "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\naccuracy = secs:1\n"
                     "ess_cert_id_alg = sha256\n" % path("tsa.serial"))
    with open(path("tsa.serial"), "w") as handle:
        handle.write("01\n")
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampAuthority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://127.0.0.1:%d/" % server.server_port


def closed_port_url():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d/" % probe.getsockname()[1]


def unsigned_program():
    folder = os.path.join(RELEASE, "Installer")
    twin = os.path.join(folder, "Installer.unsigned.exe")
    return twin if os.path.exists(twin) else os.path.join(folder, "Installer.exe")


def signed(name, *arguments, password=None):
    """Signs a copy of the unsigned program with sign-exe; returns the copy's
    path and sign-exe's run. osslsigncode is reached through a stand-in that
    writes down its arguments, so that a test sees every command line."""
    target = path(name + ".exe")
    shutil.copyfile(unsigned_program(), target)
    environment = dict(os.environ, PATH=path("bin") + os.pathsep + os.environ["PATH"])
    environment.pop("QUILLON_SIGN_PASSWORD", None)
    if password is not None:
        environment["QUILLON_SIGN_PASSWORD"] = password
    result = run(SIGN_EXE, *arguments[:-2], target, *arguments[-2:], env=environment)
    return target, result


def command_lines():
    with open(path("osslsigncode.args")) as handle:
        return handle.read()


def setUpModule():
    global work
    work = tempfile.mkdtemp(prefix="quillon-signing.")
    make_vendor()
    os.makedirs(path("bin"))
    with open(path("bin/osslsigncode"), "w") as handle:
        handle.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> %s\nexec %s "$@"\n'
                     % (path("osslsigncode.args"), shutil.which("osslsigncode")))
    os.chmod(path("bin/osslsigncode"), 0o755)
    SignedProgram.timestamp_url = start_timestamp_authority()


def load_tests(loader, tests, pattern):
    # SignedProgram holds what the ways of signing share; only they run.
    return unittest.TestSuite(loader.loadTestsFromTestCase(case) for case in (
        PasswordProtectedKey, TokenKey, Timestamped, TokenKeyTimestampedThroughTheBuild, SigningRefused))


def tearDownModule():
    shutil.rmtree(work, ignore_errors=True)


class SignedProgram(check_pe.ShippedInstaller):
    """The release checks (manifest, version resource, icon, signature...)
    on a program signed one way; subclasses say how in sign()."""
    arch = "i686"
    timestamp_url = None

    @classmethod
    def setUpClass(cls):
        cls.signer_chain = path("chain.pem")
        cls.trust_root = path("root.pem")
        cls.path, cls.signing = cls.sign()
        if cls.signing.returncode:
            raise AssertionError("sign-exe failed: " + cls.signing.stdout + cls.signing.stderr)
        super().setUpClass()


class PasswordProtectedKey(SignedProgram):
    @classmethod
    def sign(cls):
        return signed("protected", path("chain.pem"), path("leaf.protected.key"), password=PASSWORD)

    def test_password_in_no_command_line_and_no_timestamp_said_in_one_line(self):
        self.assertNotIn(PASSWORD, command_lines())
        said = [line for line in self.signing.stdout.splitlines() if "without a timestamp" in line]
        self.assertEqual(1, len(said), self.signing.stdout)


class TokenKey(SignedProgram):
    @classmethod
    def sign(cls):
        return signed("token", "--pkcs11-module", SOFTHSM, path("chain.pem"), TOKEN_KEY, password=PIN)

    def test_pin_in_no_command_line(self):
        self.assertNotIn(PIN, command_lines())


class Timestamped(SignedProgram):
    """The first server named is down; the second one answers."""
    @classmethod
    def sign(cls):
        cls.timestamp_root = path("root.pem")
        return signed("timestamped", "--timestamp", closed_port_url(), "--timestamp", cls.timestamp_url,
                      path("chain.pem"), path("leaf.protected.key"), password=PASSWORD)


class TokenKeyTimestampedThroughTheBuild(SignedProgram):
    """The build settings, configured and built as a vendor would, in a small
    project that signs with cmake/Signing.cmake."""
    @classmethod
    def sign(cls):
        cls.timestamp_root = path("root.pem")
        build = path("settings-build")
        configure = run("cmake", "-S", os.path.join(SOURCE, "tests", "release", "signing-settings"), "-B", build,
                        "-G", "Ninja", "-DQUILLON_UNSIGNED_PROGRAM=" + unsigned_program(),
                        "-DQUILLON_SIGN_CERT=" + path("chain.pem"), "-DQUILLON_SIGN_KEY=" + TOKEN_KEY,
                        "-DQUILLON_SIGN_PKCS11_MODULE=" + SOFTHSM,
                        "-DQUILLON_SIGN_TIMESTAMP_URLS=%s;%s" % (closed_port_url(), cls.timestamp_url))
        if configure.returncode:
            return None, configure
        result = run("cmake", "--build", build, env=dict(os.environ, QUILLON_SIGN_PASSWORD=PIN))
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            cls.cache = cache.read()
        return os.path.join(build, "Installer.exe"), result

    def test_unsigned_twin_and_signer_chain_beside_it_and_no_pin_in_the_cache(self):
        folder = os.path.dirname(self.path)
        with open(unsigned_program(), "rb") as original, \
                open(os.path.join(folder, "Installer.unsigned.exe"), "rb") as twin:
            self.assertEqual(original.read(), twin.read())
        with open(os.path.join(folder, "Installer.signer.pem")) as copied, open(path("chain.pem")) as chain:
            self.assertEqual(chain.read(), copied.read())
        self.assertNotIn(PIN, self.cache)


class SigningRefused(unittest.TestCase):
    """What must not give a program: a failed signing leaves none behind."""

    def assert_refused(self, target, result, sentence):
        self.assertNotEqual(0, result.returncode, result.stdout)
        self.assertIn(sentence, result.stderr)
        self.assertFalse(os.path.exists(target), "a program that was not signed as asked is left behind")

    def test_wrong_password_and_wrong_pin(self):
        target, result = signed("wrong-password", path("chain.pem"), path("leaf.protected.key"), password="guess")
        self.assert_refused(target, result, "could not sign wrong-password.exe")
        target, result = signed("wrong-pin", "--pkcs11-module", SOFTHSM, path("chain.pem"), TOKEN_KEY,
                                password="000000")
        self.assert_refused(target, result, "could not sign wrong-pin.exe")

    def test_no_timestamp_server_answers(self):
        down = closed_port_url()
        target, result = signed("unreachable", "--timestamp", down, path("chain.pem"),
                                path("leaf.protected.key"), password=PASSWORD)
        self.assert_refused(target, result, "no timestamp server answered (%s)" % down)
        # A server that takes the connection and never answers must not hold
        # the build for ever.
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen()
            url = "http://127.0.0.1:%d/" % silent.getsockname()[1]
            started = time.monotonic()
            target, result = signed("silent", "--timestamp-wait", "2", "--timestamp", url, path("chain.pem"),
                                    path("leaf.protected.key"), password=PASSWORD)
            self.assertLess(time.monotonic() - started, 20)
        self.assert_refused(target, result, "gave no answer within 2 s")

    def test_settings_that_would_fail_late_or_keep_a_pin_stop_the_configuration(self):
        project = os.path.join(SOURCE, "tests", "release", "signing-settings")
        for name, settings, sentence in (
                ("pin in the URI", ["-DQUILLON_SIGN_KEY=" + TOKEN_KEY + ";pin-value=" + PIN,
                                    "-DQUILLON_SIGN_PKCS11_MODULE=" + SOFTHSM], "holds the token's PIN"),
                ("URI without a module", ["-DQUILLON_SIGN_KEY=" + TOKEN_KEY], "needs QUILLON_SIGN_PKCS11_MODULE"),
                ("relative key file", ["-DQUILLON_SIGN_KEY=leaf.key"], "full path")):
            with self.subTest(name):
                build = tempfile.mkdtemp(dir=work)
                result = run("cmake", "-S", project, "-B", build, "-G", "Ninja",
                             "-DQUILLON_UNSIGNED_PROGRAM=" + unsigned_program(),
                             "-DQUILLON_SIGN_CERT=" + path("chain.pem"), *settings)
                self.assertNotEqual(0, result.returncode)
                self.assertIn(sentence, result.stderr.replace("\n  ", " "))


if __name__ == "__main__":
    RELEASE = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
