"""rnglab.files against what stands at a name: a file written whole never
replaces what is not a regular file, keeps an existing file's mode, owner
and links, follows a symbolic link, and lands whole or not at all on a full
disk by each of its paths; the check before the rounds opens or makes the
file and gives the system's own reason."""

import contextlib
import errno
import os
import resource
import stat

import pytest

from rnglab import files
from rnglab.errors import LabError

NEW = "new text\n" * 500
LIMIT = 1000                    # a full disk: fewer bytes than NEW


def old_file(path, mode=0o644):
    path.write_text("old\n")
    path.chmod(mode)


def hard_linked(folder, path):
    old_file(path, 0o600)
    os.link(path, folder / "second")


def of_another_owner(_folder, path):
    old_file(path, 0o640)
    if os.geteuid() == 0:
        os.chown(path, 1, 2)


def linked(folder, path):
    old_file(folder / "target")
    path.symlink_to("target")


def device(_folder, path):
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 7))
    except PermissionError:
        pytest.skip("this process may not make a device")


# What stands at the name first, and the reason a write is refused (None:
# it is written).
SET_UPS = {
    "nothing": (lambda _folder, _path: None, None),
    "a file": (lambda _folder, path: old_file(path), None),
    "a 0600 file with a second hard link": (hard_linked, None),
    "a file of another owner and group": (of_another_owner, None),
    "a symbolic link": (linked, None),
    "a link that leads nowhere yet": (lambda _folder, path: path.symlink_to("target"), None),
    "a folder": (lambda _folder, path: path.mkdir(), "Is a directory"),
    "a FIFO": (lambda _folder, path: os.mkfifo(path), files.NOT_REGULAR),
    "a device made here": (device, files.NOT_REGULAR),
}


@contextlib.contextmanager
def file_size_limit(limit):
    """As a nearly full disk: no file may grow past limit bytes (Python
    ignores SIGXFSZ, so a write fails with EFBIG)."""
    before = resource.getrlimit(resource.RLIMIT_FSIZE)
    if limit is not None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, before[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, before)


def what_is_at(path):
    """What a name is: its own kind, and the file it leads to (inode, mode,
    owner, group, text)."""
    own = os.lstat(path) if os.path.lexists(path) else None
    led = os.stat(path) if os.path.exists(path) else None
    text = path.read_text() if led and stat.S_ISREG(led.st_mode) else None
    return (own and stat.S_IFMT(own.st_mode),
            led and (led.st_ino, led.st_mode, led.st_uid, led.st_gid), text)


@pytest.mark.parametrize("full", [False, True], ids=["room", "a full disk"])
@pytest.mark.parametrize("case", SET_UPS, ids=list(SET_UPS))
def test_a_file_written_whole_keeps_what_its_name_is(tmp_path, case, full):
    set_up, refused = SET_UPS[case]
    path = tmp_path / "x.json"
    set_up(tmp_path, path)
    before, names = what_is_at(path), sorted(os.listdir(tmp_path))
    with file_size_limit(LIMIT if full else None):
        if refused or full:
            with pytest.raises(LabError) as error:
                files.write_whole(path, NEW)
            assert str(error.value) == f"cannot write {path}: " + \
                (refused or os.strerror(errno.EFBIG))
        else:
            files.write_whole(path, NEW)
    after = what_is_at(path)
    if refused or full:
        assert after == before                      # nothing changed
        assert sorted(os.listdir(tmp_path)) == names
        return
    kind, led, text = after
    assert (kind, text) == (before[0] or stat.S_IFREG, NEW)  # a link stays a link
    if before[1]:                                   # mode, owner and group kept
        assert led[1:] == before[1][1:]
    else:
        assert stat.S_IMODE(led[1]) == 0o666 & ~files.current_umask()
    if os.path.exists(tmp_path / "second"):         # the same file, seen by both links
        assert led[0] == before[1][0] and (tmp_path / "second").read_text() == NEW
    # No copy left beside it; a link that led nowhere leads to the file made.
    made = {"x.json", "target"} if kind == stat.S_IFLNK else {"x.json"}
    assert sorted(os.listdir(tmp_path)) == sorted(set(names) | made)


def failing_open(error_number):
    real = os.open

    def fake(path, flags, *args, **kwargs):
        if flags & os.O_CREAT:
            raise OSError(error_number, os.strerror(error_number), path)
        return real(path, flags, *args, **kwargs)
    return fake


# What stands at the name, a seam for the system's answer, and the reason
# the check gives (None: it passes, and leaves what was there as it was).
CHECKS = {
    "nothing": (lambda _folder, _path: None, None, None),
    "a file, not cut": (lambda _folder, path: old_file(path), None, None),
    "a FIFO": (lambda _folder, path: os.mkfifo(path), None, files.NOT_REGULAR),
    "a folder": (lambda _folder, path: path.mkdir(), None, "Is a directory"),
    "a read-only file system": (lambda _folder, _path: None, errno.EROFS,
                                "Read-only file system"),
}


@pytest.mark.parametrize("case", CHECKS, ids=list(CHECKS))
def test_the_check_before_the_rounds_gives_the_systems_reason(tmp_path, monkeypatch, case):
    set_up, answer, said = CHECKS[case]
    path = tmp_path / "x.json"
    set_up(tmp_path, path)
    before, names = what_is_at(path), sorted(os.listdir(tmp_path))
    if answer is not None:
        monkeypatch.setattr(files.os, "open", failing_open(answer))
    if said is None:
        files.check_writable(path)
    else:
        with pytest.raises(LabError, match=f"^cannot write {path}: {said}$"):
            files.check_writable(path)
    assert (what_is_at(path), sorted(os.listdir(tmp_path))) == (before, names)
