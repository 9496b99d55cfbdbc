"""Writes and signs the manifest that the installer checks before anything of
a package reaches a stick. The format is the installer's own: a few fixed
lines, one line a member, and a last line with the ECDSA P-256 signature of
everything before it, as 64 raw bytes (r then s) in hex.

The signing key is the vendor's: a PEM file (with its password, if any,
in QUILLON_PACKAGE_KEY_PASSWORD) or a key in a PKCS#11 token named by a
"pkcs11:" URI (its PIN in the same variable, or in the URI). openssl does
the signing; the key never passes through this script."""
import datetime
import hashlib
import io
import os
import subprocess
import tempfile
import zipfile

import package_keys

FORMAT = 1
PACKAGE_FOLDER = "/SW_UPDATE/KT-QUILLON/"
PASSWORD_VARIABLE = "QUILLON_PACKAGE_KEY_PASSWORD"
BAD_NAME_CHARACTERS = set('\\:*?"<>|')


class PublishError(Exception):
    pass


def format_time(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _clean_name(name):
    if not name or name.startswith("/") or any(ord(c) < 0x20 or ord(c) == 0x7F for c in name):
        return False
    steps = name[:-1].split("/") if name.endswith("/") else name.split("/")
    return all(step not in ("", "..") and not (set(step) & BAD_NAME_CHARACTERS) for step in steps)


def drive_key(name):
    """How the drive sees a name: case, separators and "." steps folded."""
    return "/".join(step for step in name.replace("\\", "/").lower().split("/") if step not in ("", "."))


def describe_members(zip_bytes):
    """(name, size, sha256) of every member in directory order, and where the
    central directory starts. Refuses what the installer would refuse."""
    members = []
    seen = {}
    try:
        with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
            for info in archive.infolist():
                # The installer reads every stored name as UTF-8, whatever
                # the archive's language flag says; so does the manifest.
                stored = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
                try:
                    name = stored.decode("utf-8")
                except UnicodeDecodeError:
                    raise PublishError("member %r has a name that is not UTF-8" % info.filename)
                if not _clean_name(name):
                    raise PublishError("member %r has no clean relative name" % name)
                if drive_key(name) in seen:
                    raise PublishError("members %r and %r are one file on a drive" % (seen[drive_key(name)], name))
                seen[drive_key(name)] = name
                if info.flag_bits & 1:
                    raise PublishError("member %r is encrypted" % name)
                if name.endswith("/"):
                    if info.file_size:
                        raise PublishError("folder member %r has data" % name)
                    members.append((name, 0, hashlib.sha256(b"").hexdigest()))
                    continue
                data = archive.read(info)  # checks the CRC too
                members.append((name, len(data), hashlib.sha256(data).hexdigest()))
            tail_offset = archive.start_dir
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, OSError) as error:
        raise PublishError("the package is not a zip the installer can read: %s" % error)
    if not members:
        raise PublishError("the package has no member")
    if not 0 < tail_offset < len(zip_bytes):
        raise PublishError("the package's central directory is not where it ends")
    return members, tail_offset


def directory_offset(zip_bytes):
    """Where the central directory starts, read without judging the members."""
    try:
        with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
            return archive.start_dir
    except zipfile.BadZipFile as error:
        raise PublishError("the package is not a zip: %s" % error)


def manifest_text(zip_bytes, version, url, issued, expires, key_id, members=None):
    """The signed part of the manifest. `members` replaces the ones read from
    the zip, unchecked (tests use it to sign a list that does not match)."""
    if not url.startswith(PACKAGE_FOLDER):
        raise PublishError("the package's address must lie in " + PACKAGE_FOLDER)
    if expires <= issued:
        raise PublishError("the manifest must expire after it is issued")
    if members is None:
        members, tail_offset = describe_members(zip_bytes)
    else:
        tail_offset = directory_offset(zip_bytes)
    tail = zip_bytes[tail_offset:]
    lines = ["quillon-manifest %d" % FORMAT,
             "key %s" % key_id.hex(),
             "version %d" % version,
             "issued %s" % format_time(issued),
             "expires %s" % format_time(expires),
             "package %s %d %s" % (url, len(zip_bytes), hashlib.sha256(zip_bytes).hexdigest()),
             "tail %d %d %s" % (tail_offset, len(tail), hashlib.sha256(tail).hexdigest())]
    lines += ["member %d %s %s" % (size, digest, name) for name, size, digest in members]
    return ("\n".join(lines) + "\n").encode("utf-8")


def der_to_raw(der):
    """An ECDSA-Sig-Value (SEQUENCE of INTEGER r, INTEGER s) as r||s, 32 bytes
    each: CNG takes only the raw form."""
    def read_length(at):
        first = der[at]
        if first < 0x80:
            return first, at + 1
        count = first & 0x7F
        return int.from_bytes(der[at + 1:at + 1 + count], "big"), at + 1 + count

    if not der or der[0] != 0x30:
        raise PublishError("openssl wrote no ECDSA signature")
    length, at = read_length(1)
    if at + length != len(der):
        raise PublishError("openssl wrote a damaged ECDSA signature")
    parts = []
    for _ in range(2):
        if der[at] != 0x02:
            raise PublishError("openssl wrote a damaged ECDSA signature")
        length, at = read_length(at + 1)
        value = int.from_bytes(der[at:at + length], "big")
        at += length
        if value.bit_length() > 256:
            raise PublishError("the key is not a P-256 key")
        parts.append(value.to_bytes(32, "big"))
    return parts[0] + parts[1]


class SigningKey:
    """The vendor's private key as openssl reaches it. A token's key goes
    through OpenSSL's pkcs11 engine, with `pkcs11_module` when given, else
    with the modules p11-kit knows."""

    def __init__(self, key, pkcs11_module=None):
        self.key = key
        self.in_token = key.startswith("pkcs11:")
        self.pkcs11_module = pkcs11_module
        # Read once: each reading of a token's key is a login, and tokens
        # lock after a few.
        self._public = None

    def _key_args(self):
        args = ["-engine", "pkcs11", "-keyform", "engine"] if self.in_token else []
        if os.environ.get(PASSWORD_VARIABLE):
            # openssl reads it from its own environment: never a command line.
            args += ["-passin", "env:" + PASSWORD_VARIABLE]
        return args

    def _openssl(self, args, data=None):
        env = None
        if self.in_token and self.pkcs11_module:
            # The engine takes its module from OpenSSL's configuration only.
            handle, config = tempfile.mkstemp(suffix=".cnf")
            with os.fdopen(handle, "w") as out:
                out.write("openssl_conf = quillon_init\n[quillon_init]\nengines = quillon_engines\n"
                          "[quillon_engines]\npkcs11 = quillon_pkcs11\n"
                          "[quillon_pkcs11]\nengine_id = pkcs11\nMODULE_PATH = %s\ninit = 0\n"
                          % self.pkcs11_module)
            env = dict(os.environ, OPENSSL_CONF=config)
        try:
            result = subprocess.run(["openssl"] + args, input=data, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=env)
        finally:
            if env is not None:
                os.unlink(env["OPENSSL_CONF"])
        if result.returncode != 0:
            raise PublishError("openssl %s failed: %s" % (args[0], result.stderr.decode(errors="replace").strip()))
        return result.stdout

    def public_pem(self):
        if self._public is None:
            self._public = self._read_public_pem()
        return self._public

    def _read_public_pem(self):
        if self.in_token:
            args = ["pkey", "-engine", "pkcs11", "-inform", "engine", "-in", self.key, "-pubout"]
        else:
            args = ["pkey", "-in", self.key, "-pubout"]
        if os.environ.get(PASSWORD_VARIABLE):
            args += ["-passin", "env:" + PASSWORD_VARIABLE]
        return self._openssl(args)

    def sign(self, text):
        """The raw r||s signature of `text`, checked against the public key
        before it is handed out."""
        with tempfile.TemporaryDirectory() as work:
            public = os.path.join(work, "public.pem")
            with open(public, "wb") as handle:
                handle.write(self.public_pem())
            der = self._openssl(["dgst", "-sha256", "-sign", self.key] + self._key_args(), text)
            signature = os.path.join(work, "signature.der")
            with open(signature, "wb") as handle:
                handle.write(der)
            self._openssl(["dgst", "-sha256", "-verify", public, "-signature", signature], text)
            return der_to_raw(der), package_keys.key_id(package_keys.public_point(public))

    def key_id(self):
        with tempfile.TemporaryDirectory() as work:
            public = os.path.join(work, "public.pem")
            with open(public, "wb") as handle:
                handle.write(self.public_pem())
            return package_keys.key_id(package_keys.public_point(public))


def signed_manifest(signing_key, zip_bytes, version, url, issued, expires, members=None):
    """The whole manifest file: the signed text and its signature line."""
    text = manifest_text(zip_bytes, version, url, issued, expires, signing_key.key_id(), members)
    raw, _ = signing_key.sign(text)
    return text + b"signature " + raw.hex().encode() + b"\n"
