"""Progress bars on standard error, one rule for every entry point: asked for
(True), refused (False), or by default (None) shown for a grid of more than
PROGRESS_THRESHOLD points when standard error is a terminal; a log file or a
pipe gets no bar it would have to hold as text. Each bar is named after what
it does and counts points."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator

# Above this many points, a bar is shown unasked (on a terminal).
PROGRESS_THRESHOLD = 4_000_000

Progress = bool | Callable[[int, int], object] | None


def shown(progress: object, points: int) -> bool:
    """Whether a bar is drawn for `points` points (`progress` as the entry points take it)."""
    if progress is None:
        return points > PROGRESS_THRESHOLD and on_terminal()
    return bool(progress)


def on_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced by an object without it, or closed
        return False


@contextlib.contextmanager
def bar(what: str, total: int, unit: str = "pt") -> Iterator[Callable[[int], None]]:
    """A bar titled "vemiral `what`" on standard error; yields a function taking
    how many of `total` are done."""
    from tqdm import tqdm

    with tqdm(total=total, unit=unit, unit_scale=True, file=sys.stderr, desc=f"vemiral {what}", leave=False) as drawn:

        def update(done: int) -> None:
            drawn.update(done - drawn.n)

        yield update


def reporter(progress: Progress, total: int, what: str) -> Callable[[int | None], None]:
    """For a writer of `total` points: a function taking the points done so far,
    or None once at the end; it feeds a callable `progress` as
    progress(done, total), or a bar titled after `what`, or nothing."""
    if callable(progress):
        callback = progress

        def call(done: int | None) -> None:
            if done is not None:
                callback(done, total)

        return call
    if not shown(progress, total):
        return lambda done: None
    context = bar(what, total)
    update = context.__enter__()

    def show(done: int | None) -> None:
        if done is None:
            context.__exit__(None, None, None)
        else:
            update(done)

    return show
