"""A FUSE file system that passes everything through to a backing folder, and that,
like many network and user-space file systems, has no unnamed files (O_TMPFILE fails
with EOPNOTSUPP). The kill campaign runs on it to exercise the named outputs.

    /usr/bin/python3 passthrough_fuse.py BACKING MOUNTPOINT   (as root; stays in the foreground)
"""
import errno
import os
import sys

from fusepy import FUSE, FuseOSError, Operations


class Passthrough(Operations):
    def __init__(self, root):
        self.root = os.path.realpath(root)

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def __call__(self, operation, path, *arguments):
        try:
            return super().__call__(operation, path, *arguments)
        except OSError as error:
            raise FuseOSError(error.errno or errno.EIO) from error

    def access(self, path, mode):
        if not os.access(self._path(path), mode):
            raise FuseOSError(errno.EACCES)

    def getattr(self, path, fh=None):
        status = os.fstat(fh) if fh is not None else os.lstat(self._path(path))
        keys = ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime", "st_nlink", "st_size", "st_uid", "st_ino")
        return {key: getattr(status, key) for key in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def readlink(self, path):
        return os.readlink(self._path(path))

    def statfs(self, path):
        status = os.statvfs(self._path(path))
        keys = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files", "f_flag", "f_frsize",
                "f_namemax")
        return {key: getattr(status, key) for key in keys}

    def chmod(self, path, mode):
        os.chmod(self._path(path), mode)

    def chown(self, path, uid, gid):
        os.lchown(self._path(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._path(path), times, follow_symlinks=False)

    def mkdir(self, path, mode):
        os.mkdir(self._path(path), mode)

    def rmdir(self, path):
        os.rmdir(self._path(path))

    def unlink(self, path):
        os.unlink(self._path(path))

    def symlink(self, target, source):
        os.symlink(source, self._path(target))

    def link(self, target, source):
        os.link(self._path(source), self._path(target))

    def rename(self, old, new):
        os.rename(self._path(old), self._path(new))

    def open(self, path, flags):
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self._path(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._path(path), length)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)

    def fsyncdir(self, path, datasync, fh):
        return 0


if __name__ == "__main__":
    FUSE(Passthrough(sys.argv[1]), sys.argv[2], foreground=True, nothreads=False, big_writes=True)
