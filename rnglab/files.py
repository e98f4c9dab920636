"""What the lab writes lands whole or not at all, never replaces what is
not a regular file, and cuts nothing that another run wrote.

A file written whole (write_whole: JSON, pictures, a variant's openssl.cnf):

- Its name is followed through symbolic links: the file a link leads to is
  written and the link stays (a link that leads nowhere yet makes it).
- Whatever is there and is not a regular file is refused, never opened: a
  device, a FIFO or a socket as "cannot write NAME: not a regular file", a
  folder as "Is a directory". check_writable says so before the rounds.
- A new file, or a regular file with one link, is replaced: a copy is made in
  its folder and given its mode, owner and group (a new file the mode open()
  would give it), written, flushed to the disk, then renamed over it. A full
  disk or a killed writer leaves the file as it was (a writer killed by
  SIGKILL may leave its hidden ".NAME...part" copy; other signals wait until
  the file is written).
- An existing regular file with more than one link, or one whose copy cannot
  be given its owner and group or cannot be made beside it (its folder not
  writable), is written in place, so that it keeps its inode and every link
  sees the new text: the whole text is made first; under the file's lock,
  room for all of it is taken (a full disk or a file-size limit fails there,
  before a byte changes), then the text is written over the old one and the
  file cut to its length; a write that still fails puts the old text back. A
  writer killed part-way by SIGKILL, or a power cut, can leave a mix of the
  two, and on a copy-on-write file system (btrfs, ZFS), where rewriting a
  file takes new room, a full disk can stop the write part-way as well.

An append (append_whole) goes to a regular file only, under its lock, and is
cut back if any of it failed. A folder's comparison holds the folder's lock
while it runs (held)."""

import contextlib
import errno
import fcntl
import json
import math
import os
import stat
import tempfile
from fractions import Fraction
from pathlib import Path

import numpy as np

from rnglab import signals
from rnglab.errors import LabError
from rnglab.process import progress
from rnglab.record import shown

NOT_REGULAR = "not a regular file"


def why(error):
    return error.strerror or str(error)


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def cannot(path, reason):
    return LabError(f"cannot write {shown(os.fspath(path))}: {reason}")


def regular(path):
    """The status of the file path leads to, or None where nothing is there;
    LabError where what is there is not a regular file."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise cannot(path, why(error)) from error
    if stat.S_ISDIR(info.st_mode):
        raise cannot(path, os.strerror(errno.EISDIR))
    if not stat.S_ISREG(info.st_mode):
        raise cannot(path, NOT_REGULAR)
    return info


def write_whole(path, data):
    """path holds data (text or bytes), or is left as it was; see above."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    with signals.held():  # nor a temporary file left behind
        existing = regular(path)
        target = os.path.realpath(path)
        if (existing is not None and existing.st_nlink > 1) or \
                not _replace(path, target, data, existing):
            _write_in_place(path, target, data)


def _replace(path, target, data, existing):
    """Writes a copy and renames it over target; False where the copy could
    not stand for an existing file (not made, or not given its owner)."""
    try:
        handle, temporary = tempfile.mkstemp(dir=os.path.dirname(target),
                                             prefix=f".{os.path.basename(target)}.",
                                             suffix=".part")
    except OSError as error:
        if existing is not None:
            return False
        raise cannot(path, why(error)) from error
    try:
        if existing is None:
            # As open() would have made it: mkstemp's file is its owner's alone.
            os.fchmod(handle, 0o666 & ~current_umask())
        else:
            try:
                os.fchown(handle, existing.st_uid, existing.st_gid)
            except PermissionError:
                os.close(handle)
                os.remove(temporary)
                return False
            os.fchmod(handle, stat.S_IMODE(existing.st_mode))
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise cannot(path, why(error)) from error
    return True


def _open_locked(path, target, flags):
    """TARGET opened without waiting on a FIFO, refused unless a regular
    file, then locked against other writers; errors name PATH."""
    try:
        descriptor = os.open(target, flags | os.O_NONBLOCK, 0o644)
    except OSError as error:
        raise cannot(path, why(error)) from error
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise cannot(path, NOT_REGULAR)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def _write_in_place(path, target, data):
    descriptor = _open_locked(path, target, os.O_RDWR | os.O_CLOEXEC)
    try:
        old = _read_all(descriptor)
        touched = False
        try:
            _reserve(descriptor, len(data))
            touched = True
            _write_all(descriptor, data)
            os.ftruncate(descriptor, len(data))
            os.fsync(descriptor)
        except OSError as error:
            with contextlib.suppress(OSError):
                if touched:
                    _write_all(descriptor, old)
                os.ftruncate(descriptor, len(old))
            raise cannot(path, why(error)) from error
    except OSError as error:
        raise cannot(path, why(error)) from error
    finally:
        os.close(descriptor)


def _reserve(descriptor, size):
    """Takes room for size bytes; a file system that cannot say beforehand
    (no fallocate, emulated or not) leaves it to the writes."""
    try:
        if size:
            os.posix_fallocate(descriptor, 0, size)
    except OSError as error:
        if error.errno not in (errno.EOPNOTSUPP, errno.EINVAL):
            raise


def _read_all(descriptor):
    chunks, at = [], 0
    while chunk := os.pread(descriptor, 1 << 20, at):
        chunks.append(chunk)
        at += len(chunk)
    return b"".join(chunks)


def _write_all(descriptor, data):
    written = 0
    while written < len(data):
        written += os.pwrite(descriptor, data[written:], written)


def plain(value):
    """value as JSON holds it: exact medians and numpy's numbers as numbers
    (whole ones as integers), paths as text, and a figure that is not
    finite as null."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, (Fraction, np.integer)) and int(value) == value:
        return int(value)
    if isinstance(value, (float, Fraction, np.floating)):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, Path):
        return str(value)
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def write_json(path, document):
    """path holds document as JSON (docs/json.md), or is left as it was."""
    write_whole(path, json.dumps(plain(document), indent=1, allow_nan=False) + "\n")


def check_writable(path):
    """Before a long run: LabError now, with the system's own reason, if path
    could not be written later. What is there must be a regular file that
    opens for writing (opened, nothing cut); where nothing is, the file is
    made and removed again."""
    target = os.path.realpath(path)
    try:
        if regular(path) is not None:
            os.close(os.open(target, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
            return
        descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        regular(path)  # made meanwhile: it is what is there now
        return
    except OSError as error:
        raise cannot(path, why(error)) from error
    made = os.fstat(descriptor)
    os.close(descriptor)
    with contextlib.suppress(OSError):
        now = os.lstat(target)
        if (now.st_dev, now.st_ino) == (made.st_dev, made.st_ino):
            os.remove(target)


def append_whole(path, text):
    """Appends text to path under its lock, as the program appends its
    records: if any of it cannot be written, the file is cut back to what it
    held before, and whatever others appended before the lock was ours stays.
    A signal meanwhile waits for it, as rand_lab's do for its appends."""
    with signals.held():
        _append_whole(path, text)


def _append_whole(path, text):
    regular(path)
    descriptor = _open_locked(path, path, os.O_RDWR | os.O_APPEND | os.O_CREAT)
    try:
        before = os.fstat(descriptor).st_size
        data = text.encode("utf-8")
        try:
            # Separated from what came before by a line end, as the program
            # separates its records from an unfinished last line.
            if before and os.pread(descriptor, 1, before - 1) != b"\n":
                data = b"\n" + data
            written = 0
            while written < len(data):
                written += os.write(descriptor, data[written:])
            os.fsync(descriptor)
        except OSError as error:
            with contextlib.suppress(OSError):
                os.ftruncate(descriptor, before)
            raise cannot(path, why(error)) from error
    except OSError as error:
        raise LabError(f"cannot lock {path}: {why(error)}") from error
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def held(path, what):
    """Holds the lock file path for as long as the block runs; if another
    comparison holds it, says so and waits for it."""
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as error:
        raise LabError(f"cannot lock {what}: {why(error)}") from error
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise LabError(f"cannot lock {what}: {why(error)}") from error
            progress(f"waiting for another comparison that uses {what} ...")
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)


def make_folder(path):
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise LabError(f"cannot make the folder {path}: {why(error)}") from error
    if not os.path.isdir(path):
        raise LabError(f"cannot make the folder {path}: it is a file")
