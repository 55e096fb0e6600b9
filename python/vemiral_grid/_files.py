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
import hashlib
import os
import secrets
import shutil
import signal
import stat
import sys
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, TypeAlias

PathArg: TypeAlias = "str | os.PathLike[str]"


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
    with _terminable():
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
        path = hidden_beside(target, f".{secrets.token_hex(6)}.part")
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
        os.close(fd)
        os.unlink(path)
        raise
    return Staged(target, path, file)


def staging_folder_of(target: Path) -> Path:
    """The hidden folder beside `target` in which a folder output is built: one
    name per target, so that a writer that resumes finds what it left."""
    return hidden_beside(target, ".incomplete")


def hidden_beside(target: Path, suffix: str) -> Path:
    """`.NAME` + `suffix` beside `target`, or a digest of NAME in its place where
    that name would be longer than the folder takes (module docstring)."""
    name = f".{target.name}{suffix}"
    if len(os.fsencode(name)) <= _longest_name(target.parent):
        return target.with_name(name)
    digest = hashlib.sha256(os.fsencode(target.name)).hexdigest()[:32]
    return target.with_name(f".{digest}{suffix}")


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
    held now is (a hidden name beside it, for the caller to remove), or None."""
    if not os.path.lexists(target):
        os.rename(staged, target)
        return None
    aside = hidden_beside(target, f".replaced-{secrets.token_hex(6)}")
    if _exchange(staged, target):
        # What the target held is now at the staging name, where a resuming
        # writer would look: moved on at once.
        os.rename(staged, aside)
        return aside
    os.rename(target, aside)
    try:
        os.rename(staged, target)
    except BaseException:
        os.rename(aside, target)
        raise
    return aside


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
