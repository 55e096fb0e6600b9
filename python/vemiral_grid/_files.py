"""Files written whole or not at all.

Every writer of vemiral_grid (the command line, `to_npy`, `save_png`, and
any added later) goes through `replacing`: the output is written to a hidden
temporary file in the target's own folder and renamed over the target only
once it is complete. On an error, Ctrl-C or SIGTERM the temporary file is
removed and nothing at the target changes.

    with replacing("values.npy", "picture.png") as (npy, png):
        numpy.save(npy.file, values)
        figure.savefig(png.file, format="png")

A symbolic link is followed: the file it leads to is replaced, the link
stays. A target that exists and is not a regular file (a folder, a device, a
FIFO, a socket) is refused and left alone, as is an empty path.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import signal
import stat
import threading
from collections.abc import Iterator
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


def target_of(path: PathArg) -> Path:
    """The file that writing to `path` replaces: `path` itself, or the file a
    symbolic link leads to. Refused before anything is written: an empty path
    (ValueError); a target that exists and is not a regular file
    (IsADirectoryError for a folder, OSError for the rest); a folder that is
    missing (FileNotFoundError), not a folder (NotADirectoryError) or cannot
    be written (PermissionError)."""
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
    if mode is not None and not stat.S_ISREG(mode):
        kind = _kind(mode)
        error = IsADirectoryError if stat.S_ISDIR(mode) else OSError
        code = errno.EISDIR if stat.S_ISDIR(mode) else errno.EINVAL
        where = f" (where the link leads, {target})" if os.path.islink(text) else ""
        raise error(code, f"{kind}{where}, not a regular file: refused and left as it is", text)
    folder = target.parent
    if not folder.exists():
        raise FileNotFoundError(errno.ENOENT, "the folder does not exist", str(folder))
    if not folder.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", str(folder))
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "the folder cannot be written", str(folder))
    return target


def targets_of(*paths: PathArg) -> list[Path]:
    """`target_of` for each path, refusing (ValueError) two paths that lead to the same file."""
    targets = [target_of(path) for path in paths]
    for i, target in enumerate(targets):
        for j in range(i):
            if target == targets[j] or (target.exists() and targets[j].exists() and os.path.samefile(target, targets[j])):
                raise ValueError(f"{os.fspath(paths[j])} and {os.fspath(paths[i])} are the same file: one output each")
    return targets


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
        except BaseException:
            for item in staged:
                with contextlib.suppress(OSError):
                    item.file.close()
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(item.path)
            raise


def _stage(target: Path) -> Staged:
    """A new hidden file beside the target, with the permissions the target
    has (or those open() gives a new file), where os.replace can move it over."""
    try:
        keep: int | None = stat.S_IMODE(os.stat(target).st_mode) & 0o777
    except FileNotFoundError:
        keep = None
    while True:
        path = target.with_name(f".{target.name}.{secrets.token_hex(6)}.part")
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
