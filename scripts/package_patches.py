"""Makes the binary patches a release publishes beside its package, and the
signed list that names them ("Quillon.patches"). A patch turns one member as
an earlier release shipped it into the member as this release ships it:
a zstd frame made by Debian's `zstd --patch-from`, with the old file as its
prefix. The installer fetches a patch instead of the member only when the
stick holds exactly the old file; any doubt, and it takes the member.

The list is bound to one manifest (its version, the SHA-256 of its signed
text), so installers that know only the manifest never see it, and a list
can never be taken for another release's."""
import hashlib
import io
import os
import re
import subprocess
import tempfile
import zipfile

import package_manifest

FORMAT = 1
LIST_NAME = "Quillon.patches"
PATCH_FOLDER = package_manifest.PACKAGE_FOLDER + "patches/"
# A patch not under this share of the member's bytes in the package is
# not worth a request of its own: the member is fetched instead.
MAX_SHARE = 0.5
# The installer's decoder holds the old file and the result whole, and
# takes neither above this (PatchDecoder::kMaxFileBytes).
MAX_FILE_BYTES = 128 * 1024 * 1024
# A large file is patched at a middle level with the long-distance
# matcher, which finds what did not change however far back: measured on a
# 50 MB definitions file with 1 % changed, level 9 made a 368 KB patch in
# 3.5 s, level 19 one of 280 KB in three minutes of CPU, and levels 12 and 15
# made larger patches than 9, slower. A small file gets level 19, which
# takes seconds there.
LARGE_FROM_BYTES = 8 * 1024 * 1024
LARGE_LEVEL = 9
SMALL_LEVEL = 19
RELEASE_NAME = re.compile(r"^Quillon-([0-9]+)\.zip$")


def previous_releases(folder, version, count):
    """The versioned packages in `folder` of the `count` releases before
    `version`, newest first."""
    found = []
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        match = RELEASE_NAME.match(name)
        if match and int(match.group(1)) < version:
            found.append((int(match.group(1)), os.path.join(folder, name)))
    return [path for _, path in sorted(found, reverse=True)[:count]]


def file_members(zip_bytes):
    """name -> (data, bytes the member takes in the package) of every file."""
    members = {}
    with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
        for info in archive.infolist():
            if not info.filename.endswith("/"):
                members[package_manifest.drive_key(info.filename)] = (
                    archive.read(info), info.compress_size + 30 + len(info.filename) + len(info.extra))
    return members


def window_log(size):
    return max(10, size.bit_length() + 1)


def make_patch(old, new, work):
    """The zstd patch from `old` to `new`, checked by decoding it with
    `zstd -d --patch-from` before it is handed out."""
    old_path, new_path, patch_path = (os.path.join(work, name) for name in ("old", "new", "patch"))
    for path, data in ((old_path, old), (new_path, new)):
        with open(path, "wb") as handle:
            handle.write(data)
    largest = max(len(old), len(new))
    # One thread and fixed parameters: the same inputs give the same patch.
    args = ["zstd", "-q", "-f", "-T1", "--patch-from=" + old_path, new_path, "-o", patch_path]
    if largest >= LARGE_FROM_BYTES:
        args[4:4] = ["-%d" % LARGE_LEVEL, "--long=%d" % window_log(largest)]
    else:
        args[4:4] = ["-%d" % SMALL_LEVEL]
    run(args)
    run(["zstd", "-q", "-d", "-f", "--long=31", "--patch-from=" + old_path, patch_path, "-o", new_path + ".check"])
    with open(new_path + ".check", "rb") as handle:
        if hashlib.sha256(handle.read()).digest() != hashlib.sha256(new).digest():
            raise package_manifest.PublishError("zstd made a patch that does not give the new file back")
    with open(patch_path, "rb") as handle:
        return handle.read()


def run(args):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise package_manifest.PublishError("%s failed: %s" % (" ".join(args[:2]),
                                                               result.stderr.decode(errors="replace").strip()))


def make_patches(zip_bytes, previous_zips, report=print):
    """[(old sha256, new sha256, patch bytes)] for every member of the new
    package that differs from its counterpart in one of the previous ones,
    where the patch is worth it; in a fixed order."""
    new_members = file_members(zip_bytes)
    patches = {}
    with tempfile.TemporaryDirectory(prefix="quillon-patch-") as work:
        for previous in previous_zips:
            for key, (old, _) in sorted(file_members(previous).items()):
                if key not in new_members:
                    continue
                new, span = new_members[key]
                old_sha, new_sha = hashlib.sha256(old).hexdigest(), hashlib.sha256(new).hexdigest()
                if old_sha == new_sha or (old_sha, new_sha) in patches:
                    continue
                if max(len(old), len(new)) > MAX_FILE_BYTES:
                    report("publish-package: no patch for %s: larger than the installer's decoder takes" % key)
                    continue
                patch = make_patch(old, new, work)
                if len(patch) >= MAX_SHARE * span:
                    report("publish-package: no patch for %s from %s: %d bytes, the member takes %d"
                           % (key, old_sha[:12], len(patch), span))
                    continue
                patches[(old_sha, new_sha)] = patch
    return [(old_sha, new_sha, patch) for (old_sha, new_sha), patch in sorted(patches.items())]


def patch_name(old_sha, new_sha):
    return "%s-%s.zst" % (old_sha, new_sha)


def list_text(manifest_text, version, key_id, patches):
    """The signed part of the list. `patches` is [(old, new, size, sha256,
    address)], written as given (tests use it to list what is not there)."""
    lines = ["quillon-patches %d" % FORMAT,
             "key %s" % key_id.hex(),
             "version %d" % version,
             "manifest %s" % hashlib.sha256(manifest_text).hexdigest()]
    lines += ["patch %s %s %d %s %s" % entry for entry in patches]
    return ("\n".join(lines) + "\n").encode("ascii")


def list_entries(patches):
    """The list's entries for [(old, new, patch bytes)] published by name."""
    return [(old_sha, new_sha, len(patch), hashlib.sha256(patch).hexdigest(), PATCH_FOLDER + patch_name(old_sha, new_sha))
            for old_sha, new_sha, patch in patches]


def signed_list(signing_key, manifest, version, entries):
    """The whole list file for the manifest file `manifest`."""
    text = manifest[:manifest.rindex(b"\nsignature ") + 1]
    body = list_text(text, version, signing_key.key_id(), entries)
    raw, _ = signing_key.sign(body)
    return body + b"signature " + raw.hex().encode() + b"\n"
