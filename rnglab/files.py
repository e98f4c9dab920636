"""What the lab writes lands whole or not at all, and nothing that another
run wrote is cut: a file is replaced by renaming a finished copy over it, an
append is made under the file's lock and cut back if any of it failed, and a
folder's comparison holds the folder's lock while it runs."""

import contextlib
import errno
import fcntl
import json
import math
import os
import tempfile
from fractions import Fraction
from pathlib import Path

import numpy as np

from rnglab import signals
from rnglab.errors import LabError
from rnglab.process import progress


def why(error):
    return error.strerror or str(error)


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_whole(path, text):
    """path holds text, or is left as it was."""
    with signals.held():  # nor a temporary file left behind
        _write_whole(path, text)


def _write_whole(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(dir=folder, prefix=".", suffix=".part")
    except OSError as error:
        raise LabError(f"cannot write {path}: {why(error)}") from error
    try:
        # As open() would have made it: mkstemp's file is its owner's alone.
        os.fchmod(handle, 0o666 & ~current_umask())
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise LabError(f"cannot write {path}: {why(error)}") from error


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
    """Before a long run: LabError now if path could not be written later."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise LabError(f"cannot write {path}: {os.strerror(errno.EISDIR)}")
    if not os.path.isdir(folder):
        raise LabError(f"cannot write {path}: {os.strerror(errno.ENOENT)}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise LabError(f"cannot write {path}: {os.strerror(errno.EACCES)}")


def append_whole(path, text):
    """Appends text to path under its lock, as the program appends its
    records: if any of it cannot be written, the file is cut back to what it
    held before, and whatever others appended before the lock was ours stays.
    A signal meanwhile waits for it, as rand_lab's do for its appends."""
    with signals.held():
        _append_whole(path, text)


def _append_whole(path, text):
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o644)
    except OSError as error:
        raise LabError(f"cannot write {path}: {why(error)}") from error
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
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
            raise LabError(f"cannot write {path}: {why(error)}") from error
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
