#!/usr/bin/python3
"""A USB stick that fails on cue: a passthrough FUSE file system over a
folder that counts every operation that changes the stick (creating,
writing, truncating, renaming, deleting, making and removing folders,
attribute and time changes) and makes the N-th one fail as a failing stick
does, with an I/O error or a full stick, or ends the program that asked for
it at that moment.

    fault_stick.py <backing folder> <mount point> <control file>

The control file is JSON, read again before every changing operation:
{"fail_at": N or 0, "kind": "eio" | "enospc" | "kill", "group": process
group to end, "at": a stamp of the plan}. The count since the plan's stamp
last changed is written to
<control file>.count after every changing operation, and the operation that
failed to <control file>.failed. Runs in the foreground until unmounted.
"""
import errno
import json
import os
import signal
import sys

import fusepy


class FaultStick(fusepy.Operations):
    def __init__(self, backing, control):
        self.backing = os.path.realpath(backing)
        self.control = control
        self.stamp = None
        self.count = 0
        self.plan = {}

    def _path(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def _changing(self, what, path):
        try:
            with open(self.control) as handle:
                plan = json.load(handle)
        except (OSError, ValueError):
            plan = {}
        # A plan of its own stamp starts the count again.
        if plan.get("at") != self.stamp:
            self.plan, self.stamp, self.count = plan, plan.get("at"), 0
        self.count += 1
        with open(self.control + ".count", "w") as handle:
            handle.write(str(self.count))
        if self.plan.get("fail_at") != self.count:
            return
        with open(self.control + ".failed", "w") as handle:
            handle.write("%d %s %s\n" % (self.count, what, path))
        kind = self.plan.get("kind")
        if kind == "kill" and self.plan.get("group"):
            try:
                os.killpg(int(self.plan["group"]), signal.SIGKILL)
            except ProcessLookupError:
                pass
        raise fusepy.FuseOSError(errno.ENOSPC if kind == "enospc" else errno.EIO)

    # What reads the stick passes straight through.
    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as error:
            raise fusepy.FuseOSError(error.errno)
        return {key: getattr(st, key) for key in (
            "st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def access(self, path, mode):
        if not os.access(self._path(path), mode):
            raise fusepy.FuseOSError(errno.EACCES)

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR) and flags & os.O_TRUNC:
            self._changing("truncate", path)
        return self._call(os.open, self._path(path), flags)

    def read(self, path, size, offset, fh):
        os.lseek(fh, offset, os.SEEK_SET)
        return os.read(fh, size)

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        return {key: getattr(st, key) for key in (
            "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files", "f_flag",
            "f_frsize", "f_namemax")}

    def getxattr(self, path, name, position=0):
        try:
            return os.getxattr(self._path(path), name)
        except OSError as error:
            raise fusepy.FuseOSError(error.errno)

    def listxattr(self, path):
        return self._call(os.listxattr, self._path(path))

    def release(self, path, fh):
        return os.close(fh)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return self._call(os.fsync, fh)

    def readlink(self, path):
        return self._call(os.readlink, self._path(path))

    # What changes it is counted first.
    def create(self, path, mode, fi=None):
        self._changing("create", path)
        return self._call(os.open, self._path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def write(self, path, data, offset, fh):
        self._changing("write", path)
        os.lseek(fh, offset, os.SEEK_SET)
        return self._call(os.write, fh, data)

    def truncate(self, path, length, fh=None):
        self._changing("truncate", path)
        if fh is not None:
            return self._call(os.ftruncate, fh, length)
        return self._call(os.truncate, self._path(path), length)

    def rename(self, old, new):
        self._changing("rename", old)
        return self._call(os.rename, self._path(old), self._path(new))

    def unlink(self, path):
        self._changing("unlink", path)
        return self._call(os.unlink, self._path(path))

    def mkdir(self, path, mode):
        self._changing("mkdir", path)
        return self._call(os.mkdir, self._path(path), mode)

    def rmdir(self, path):
        self._changing("rmdir", path)
        return self._call(os.rmdir, self._path(path))

    def chmod(self, path, mode):
        self._changing("chmod", path)
        return self._call(os.chmod, self._path(path), mode)

    def chown(self, path, uid, gid):
        self._changing("chown", path)
        return self._call(os.chown, self._path(path), uid, gid)

    def utimens(self, path, times=None):
        self._changing("utimens", path)
        return self._call(os.utime, self._path(path), times)

    def setxattr(self, path, name, value, options, position=0):
        self._changing("setxattr", path)
        return self._call(os.setxattr, self._path(path), name, value, options)

    def removexattr(self, path, name):
        self._changing("removexattr", path)
        return self._call(os.removexattr, self._path(path), name)

    @staticmethod
    def _call(function, *args):
        try:
            return function(*args)
        except OSError as error:
            raise fusepy.FuseOSError(error.errno)


def main():
    backing, mountpoint, control = sys.argv[1:4]
    fusepy.FUSE(FaultStick(backing, control), mountpoint, foreground=True, allow_other=True, nothreads=True)


if __name__ == "__main__":
    main()
