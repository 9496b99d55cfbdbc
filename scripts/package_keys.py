"""The package-signing keys as the installer sees them: ECDSA P-256 public
keys reduced to their point (X then Y, 32 bytes each) and identified by the
first 8 bytes of that point's SHA-256. Used by the publishing tool and by the
build, which compiles the trusted points into the program."""
import hashlib
import subprocess
import sys

# The DER of a P-256 SubjectPublicKeyInfo up to the uncompressed point's 0x04.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004")


def public_point(public_pem):
    """The 64-byte point of a PEM public key; raises ValueError for any key
    that is not ECDSA P-256."""
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", public_pem, "-outform", "DER"],
                         check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout
    if len(der) != len(P256_SPKI_PREFIX) + 64 or not der.startswith(P256_SPKI_PREFIX):
        raise ValueError("%s is not an ECDSA P-256 public key" % public_pem)
    return der[len(P256_SPKI_PREFIX):]


def key_id(point):
    return hashlib.sha256(point).digest()[:8]


def write_header(out_path, public_pems):
    lines = ["#pragma once", "",
             "// The package-signing public keys this build trusts, written by the build.",
             "#include <cstdint>", "",
             "static const uint8_t kPackageKeyPoints[][64] = {"]
    for pem in public_pems:
        point = public_point(pem)
        lines.append("    // key %s" % key_id(point).hex())
        lines.append("    {" + ", ".join("0x%02x" % b for b in point) + "},")
    lines += ["};", ""]
    text = "\n".join(lines)
    try:
        with open(out_path) as handle:
            if handle.read() == text:
                return
    except OSError:
        pass
    with open(out_path, "w") as handle:
        handle.write(text)


if __name__ == "__main__":
    if len(sys.argv) < 3 or len(sys.argv) > 4:
        sys.exit("usage: package_keys.py OUT.h CURRENT.pub.pem [NEXT.pub.pem]")
    try:
        write_header(sys.argv[1], sys.argv[2:])
    except (ValueError, subprocess.CalledProcessError) as error:
        sys.exit("package_keys.py: %s" % error)
