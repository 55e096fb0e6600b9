"""Outputs written whole or not at all.

Every writer of vemiral_grid (the command line, `to_npy`, `save_png`,
`to_zarr`, and any added later) goes through this module: the output is
written under a hidden temporary name in the target's own folder and moved
onto the target only once it is complete.

A file goes through `replacing`. On an error, Ctrl-C or SIGTERM the
temporary file is removed and nothing at the target changes.

    with replacing("values.npy", "picture.png") as (npy, png):
        numpy.save(npy.file, values)
        figure.savefig(png.file, format="png")

A folder of files (a Zarr store) goes through `replacing_folder`: it is built
in a hidden folder beside the target (`staging_folder_of`), every file in it
is synced, and it is swapped onto the target in one step (Linux's
renameat2 RENAME_EXCHANGE; elsewhere what was there is first renamed aside),
after which what was there is removed. A writer that can resume keeps the
hidden folder when it stops part-way; otherwise it is removed. The target
holds what it held before or the whole new folder, never a part of one.

One writer at a time per target: while it writes, a writer holds the lock
of its target (`claimed`: an flock on `.NAME.lock` beside it, which holds
its process id), and another writer of the same target, in this process or
another, is refused with BlockingIOError before it changes anything. Having
the lock, a writer removes what a writer that died (SIGKILL, a crash) left
beside the target: no live writer owns it. The lock file goes when the
writer is done; the kernel releases the lock of a process that dies.

A hidden name is `.NAME` and a suffix; where that would pass the folder's
limit on the length of a name (a target of 250 characters is legal, its
temporary must be too), a digest of NAME stands in for it. An error about a
hidden name is reported about its target: the user never asked for the other.

A symbolic link is followed: what it leads to is replaced, the link stays.
Refused before anything is written, and left alone: an empty path; a target
that exists and is not a regular file (a folder, a device, a FIFO, a socket)
for a file; one that is neither a folder nor a regular file (a device, a
FIFO, a socket) for a folder output, whose writer decides whether an existing
folder or file is one it may replace.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import hashlib
import os
import re
import secrets
import shutil
import signal
import stat
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, TypeAlias

PathArg: TypeAlias = "str | os.PathLike[str]"

# Hidden names beside a target: .NAME.<token>.part (a file being written),
# .NAME.incomplete (a folder being built), .NAME.replaced-<token> and
# .NAME.previous-<token> (a folder on its way in or out), .NAME.lock.
_TOKEN_BYTES = 6
_LONGEST_SUFFIX = len(".replaced-") + 2 * _TOKEN_BYTES
# Where the file system has no locks, writers are not kept apart (and none
# removes what another left).
_NO_LOCKS = (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP, errno.ENOSYS, errno.EINVAL)


class Terminated(BaseException):
    """SIGTERM arrived while a file was being written (see `replacing`)."""


@dataclass
class Staged:
    """One output in progress: `file` (open for reading and writing, at
    offset 0) is the temporary file at `path`, which becomes `target`."""

    target: Path
    path: Path
    file: BinaryIO


def _kind(mode: int) -> str:
    for test, name in (
        (stat.S_ISDIR, "a folder"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return name
    return "not a regular file"


def target_of(path: PathArg, *, folder: bool = False) -> Path:
    """The file that writing to `path` replaces: `path` itself, or the file a
    symbolic link leads to. Refused before anything is written: an empty path
    (ValueError); a target that exists and is not a regular file
    (IsADirectoryError for a folder, OSError for the rest); a folder that is
    missing (FileNotFoundError), not a folder (NotADirectoryError) or cannot
    be written (PermissionError).

    With `folder=True`, the target of a folder output (a store): an existing
    folder or regular file is let through for its writer to judge, anything
    else (a device, a FIFO, a socket) is refused (OSError)."""
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"a path is a str or os.PathLike[str], not {type(text).__name__}")
    if not text:
        raise ValueError("the path is empty")
    if "\0" in text:
        raise ValueError("the path contains a NUL character")
    target = Path(os.path.realpath(text))
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except NotADirectoryError:
        raise NotADirectoryError(errno.ENOTDIR, "its folder is not a folder", text) from None
    where = f" (where the link leads, {target})" if os.path.islink(text) else ""
    if folder and mode is not None and not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        raise OSError(errno.EINVAL, f"{_kind(mode)}{where}, not a folder or a regular file: refused and left as it is", text)
    if not folder and mode is not None and not stat.S_ISREG(mode):
        kind = _kind(mode)
        error = IsADirectoryError if stat.S_ISDIR(mode) else OSError
        code = errno.EISDIR if stat.S_ISDIR(mode) else errno.EINVAL
        raise error(code, f"{kind}{where}, not a regular file: refused and left as it is", text)
    parent = target.parent
    if not parent.exists():
        raise FileNotFoundError(errno.ENOENT, "the folder does not exist", str(parent))
    if not parent.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", str(parent))
    if not os.access(parent, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "the folder cannot be written", str(parent))
    return target


def targets_of(*paths: PathArg) -> list[Path]:
    """`target_of` for each path, refusing (ValueError) two paths that lead to the same file."""
    targets = [target_of(path) for path in paths]
    distinct(paths, targets)
    return targets


def distinct(paths: Sequence[PathArg], targets: Sequence[Path]) -> None:
    """Refuses (ValueError) two of `targets` (those of `paths`) that are the same file or folder."""
    for i, target in enumerate(targets):
        for j in range(i):
            if target == targets[j] or (target.exists() and targets[j].exists() and os.path.samefile(target, targets[j])):
                raise ValueError(f"{os.fspath(paths[j])} and {os.fspath(paths[i])} are the same file: one output each")


@contextlib.contextmanager
def replacing(*paths: PathArg) -> Iterator[list[Staged]]:
    """Writes each of `paths` whole or not at all (module docstring): yields
    one `Staged` per path, in order, and replaces the targets when the block
    ends without an exception; the targets are checked (`targets_of`) before
    any temporary file is made. With several paths the renames come one after
    another at the end, each target replaced whole or left as it was."""
    targets = targets_of(*paths)
    staged: list[Staged] = []
    with claimed(*targets):
        try:
            for target in targets:
                staged.append(_stage(target))
            yield staged
            for item in staged:
                item.file.flush()
                os.fsync(item.file.fileno())
                item.file.close()
            for item in staged:
                os.replace(item.path, item.target)
            _sync_folders({item.target.parent for item in staged})
        except BaseException as error:
            for item in staged:
                with contextlib.suppress(OSError):
                    item.file.close()
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(item.path)
            if isinstance(error, OSError):
                for item in staged:
                    reported = _about_target(error, item.path, item.target)
                    if reported is not error:
                        raise reported from None
            raise


def _stage(target: Path) -> Staged:
    """A new hidden file beside the target, with the permissions the target
    has (or those open() gives a new file), where os.replace can move it over."""
    try:
        keep: int | None = stat.S_IMODE(os.stat(target).st_mode) & 0o777
    except FileNotFoundError:
        keep = None
    while True:
        path = hidden_beside(target, f".{secrets.token_hex(_TOKEN_BYTES)}.part")
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue
        break
    try:
        if keep is not None:
            os.fchmod(fd, keep)
        file = os.fdopen(fd, "r+b")
    except BaseException:
        # Ctrl-C inside fdopen may leave the descriptor to a file object that
        # closes it: closing it again must not turn Ctrl-C into an OSError.
        with contextlib.suppress(OSError):
            os.close(fd)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        raise
    return Staged(target, path, file)


def staging_folder_of(target: Path) -> Path:
    """The hidden folder beside `target` in which a folder output is built: one
    name per target, so that a writer that resumes finds what it left."""
    return hidden_beside(target, ".incomplete")


def hidden_beside(target: Path, suffix: str) -> Path:
    """`.NAME` + `suffix` beside `target`, or a digest of NAME in its place where
    a hidden name of the target would be longer than the folder takes (module
    docstring): every hidden name of one target starts alike, so that what a
    dead writer left is found by its name."""
    return target.with_name(_stem(target) + suffix)


def _stem(target: Path) -> str:
    name = f".{target.name}"
    if len(os.fsencode(name)) + _LONGEST_SUFFIX <= _longest_name(target.parent):
        return name
    return "." + hashlib.sha256(os.fsencode(target.name)).hexdigest()[:32]


def _longest_name(folder: Path) -> int:
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255  # what every common file system takes


def _about_target(error: OSError, hidden: Path, target: Path) -> OSError:
    """`error`, reported about `target` if it named `hidden` or a file in it."""
    named = error.filename
    if isinstance(named, bytes):
        named = os.fsdecode(named)
    if not isinstance(named, str) or not (named == str(hidden) or named.startswith(f"{hidden}{os.sep}")):
        return error
    return type(error)(error.errno, error.strerror, str(target))


@contextlib.contextmanager
def replacing_folder(target: Path, staged: Path, *, keep: bool = False) -> Iterator[Path]:
    """Builds the folder output `target` (from `target_of(path, folder=True)`,
    once its writer has judged what is there) whole or not at all (module
    docstring): yields `staged`, the hidden folder beside it that the block
    fills, and when the block ends without an exception syncs every file in
    it and swaps it onto the target, then removes what the target held. On an
    exception (Ctrl-C and SIGTERM included) the target is left as it was, and
    `staged` is removed unless `keep` (a writer that can resume keeps it)."""
    if staged.parent != target.parent:
        raise ValueError(f"{staged} is not beside {target}: a folder is built beside its target")
    with _terminable():
        try:
            yield staged
            _sync_tree(staged)
            old = _swap(staged, target)
            _sync_folders({target.parent})
        except BaseException as error:
            if not keep:
                with contextlib.suppress(OSError):
                    discard(staged)
            if isinstance(error, OSError) and (reported := _about_target(error, staged, target)) is not error:
                raise reported from None
            raise
    if old is not None:
        discard(old)


def discard(path: Path) -> None:
    """Removes a file, a link or a whole folder (not what a link leads to); nothing if there is none."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif os.path.lexists(path):
        path.unlink()


def _swap(staged: Path, target: Path) -> Path | None:
    """Puts `staged` at `target` in one rename; returns where what the target
    held now is (a hidden name beside it, for the caller to remove), or None.

    The new folder leaves the staging name first: a resuming writer looks
    there, and must never find the old folder in its place. A kill at any
    step leaves the target whole, old or new, and hidden names that the next
    writer's `_remove_leftovers` puts right."""
    if not os.path.lexists(target):
        os.rename(staged, target)
        return None
    token = secrets.token_hex(_TOKEN_BYTES)
    ready = hidden_beside(target, f".replaced-{token}")
    os.rename(staged, ready)
    try:
        if _exchange(ready, target):
            return ready
        # Two renames: a kill between them leaves the target missing and the
        # old folder at .previous-, which the next writer puts back.
        previous = hidden_beside(target, f".previous-{token}")
        os.rename(target, previous)
        try:
            os.rename(ready, target)
        except BaseException:
            os.rename(previous, target)
            raise
        return previous
    except BaseException:
        with contextlib.suppress(OSError):
            os.rename(ready, staged)  # still the new folder: kept for a writer that resumes
        raise


def _exchange(first: Path, second: Path) -> bool:
    """Swaps two names atomically (renameat2 with RENAME_EXCHANGE); False where
    the system or the file system cannot, so the caller does it in two renames."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (AttributeError, OSError):  # a C library without it
        return False
    at_fdcwd, rename_exchange = -100, 2
    if renameat2(at_fdcwd, os.fsencode(first), at_fdcwd, os.fsencode(second), rename_exchange) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), str(second))


@contextlib.contextmanager
def claimed(*targets: Path) -> Iterator[None]:
    """Holds the lock of each of `targets` (from `target_of`) while the block
    runs (module docstring): BlockingIOError, naming the target and the
    process that writes it, if another writer holds one, before anything is
    changed; then what dead writers left beside the targets is removed.
    When the block ends (SIGTERM included), so is what it left there (a
    temporary file that Ctrl-C caught before its writer knew of it), and the
    lock files go."""
    with _terminable():
        held: list[tuple[Path, int, bool]] = []
        try:
            for target in targets:
                held.append((target, *_lock(target)))
            for target, _, locked in held:
                if locked:
                    _remove_leftovers(target)
            yield
        finally:
            for target, fd, locked in reversed(held):
                if locked:
                    with contextlib.suppress(OSError):
                        _remove_leftovers(target)
                _unlock(target, fd)


def _lock(target: Path) -> tuple[int, bool]:
    """The open lock file of `target`, locked, and whether the file system
    locks at all."""
    path = hidden_beside(target, ".lock")
    cloexec = getattr(os, "O_CLOEXEC", 0)
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | cloexec, 0o666)
        except PermissionError as error:
            try:  # another user's lock file: it locks all the same
                fd = os.open(path, os.O_RDONLY | cloexec)
            except OSError:
                raise _about_target(error, path, target) from None
        except OSError as error:
            raise _about_target(error, path, target) from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = _holder(fd)
            os.close(fd)
            raise BlockingIOError(
                errno.EAGAIN, f"another writer{holder} is writing it: left to it, try again when it is done",
                str(target),
            ) from None
        except OSError as error:
            if error.errno in _NO_LOCKS:
                return fd, False
            os.close(fd)
            raise _about_target(error, path, target) from None
        # A writer that was done removed the file after this one opened it:
        # its lock guards nothing, the name's present file does.
        try:
            now = os.stat(path)
        except FileNotFoundError:
            now = None
        opened = os.fstat(fd)
        if now is not None and (now.st_dev, now.st_ino) == (opened.st_dev, opened.st_ino):
            break
        os.close(fd)
    with contextlib.suppress(OSError):  # for the messages of other writers only
        # One write, as wide as any process id, over what a dead writer left.
        os.pwrite(fd, f"{os.getpid():<20}\n".encode("ascii"), 0)
    return fd, True


def _holder(fd: int) -> str:
    """Who holds a lock, as its file tells: a writer that has just taken it
    is given a moment to write its process id."""
    for _ in range(20):
        try:
            pid = int(os.pread(fd, 32, 0).decode("ascii"))
        except OSError:
            return ""
        except ValueError:
            time.sleep(0.005)
            continue
        return " (in this process)" if pid == os.getpid() else f" (process {pid})"
    return ""


def _unlock(target: Path, fd: int) -> None:
    # Removed while still locked, so that no writer takes a lock on a file
    # that is going (see the check in _lock).
    with contextlib.suppress(OSError):
        os.unlink(hidden_beside(target, ".lock"))
    os.close(fd)


def _remove_leftovers(target: Path) -> None:
    """Removes what writers of `target` that died left beside it: temporary
    files, folders on their way in or out (a folder that was set aside while
    the target was missing goes back). The folder being built
    (`staging_folder_of`) is its writer's to keep or remove."""
    stem = re.escape(_stem(target))
    token = f"[0-9a-f]{{{2 * _TOKEN_BYTES}}}"
    part, replaced, previous = (re.compile(stem + pattern) for pattern in (
        rf"\.{token}\.part", rf"\.replaced-{token}", rf"\.previous-{token}"))
    names = sorted(os.listdir(target.parent))
    for name in names:
        if previous.fullmatch(name):
            if os.path.lexists(target):
                discard(target.with_name(name))
            else:
                os.rename(target.with_name(name), target)
    for name in names:
        if part.fullmatch(name) or replaced.fullmatch(name):
            discard(target.with_name(name))


def _sync_tree(folder: Path) -> None:
    """Every file and folder under `folder` reaches the disk before the rename
    that publishes them."""
    for root, _, files in os.walk(folder):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
    _sync_folders({Path(root) for root, _, _ in os.walk(folder)})


def _sync_folders(folders: set[Path]) -> None:
    # The renames themselves reach the disk; a folder that cannot be opened
    # for that is no reason to report the write as failed.
    for folder in folders:
        with contextlib.suppress(OSError):
            fd = os.open(folder, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


@contextlib.contextmanager
def _terminable() -> Iterator[None]:
    """While files are written on the main thread, SIGTERM (when nothing else
    handles it) raises Terminated, so that the temporary files are removed;
    then the process ends by SIGTERM after all, as it would have."""
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGTERM) != signal.SIG_DFL:
        yield
        return

    def terminate(signum: int, frame: object) -> None:
        raise Terminated

    try:
        signal.signal(signal.SIGTERM, terminate)
        yield
    except Terminated:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.raise_signal(signal.SIGTERM)
        raise
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
