"""Runs of a block shared by threads: each takes the next run until none is left."""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt


def share_runs(
    runs: Sequence[Any], workers: int, do: Callable[[Any, npt.NDArray[np.float64]], None], points: int, name: str
) -> None:
    """Calls do(run, scratch) for every run, on `workers` threads that take runs
    in turn (the caller among them), each with a float64 scratch array of
    `points` values; the first error of any is raised once all have stopped."""
    next_run = iter(runs)
    lock = threading.Lock()
    stop = threading.Event()
    errors: list[BaseException] = []

    def work() -> None:
        scratch = np.empty(points, dtype=np.float64)
        try:
            while not stop.is_set():
                with lock:
                    run = next(next_run, None)
                if run is None:
                    return
                do(run, scratch)
        except BaseException as error:  # handed to the caller, which raises it
            errors.append(error)
            stop.set()

    helpers = [threading.Thread(target=work, name=f"{name}-{i}", daemon=True) for i in range(workers - 1)]
    for helper in helpers:
        helper.start()
    try:
        work()  # the caller takes runs too
    finally:
        for helper in helpers:
            _join(helper, stop)
    if errors:
        raise errors[0]


def _join(thread: threading.Thread, stop: threading.Event) -> None:
    # A Ctrl-C while waiting stops the helpers after their current run (a few
    # milliseconds) and is raised once they are done: nothing writes into the
    # output after the call has returned.
    while True:
        try:
            thread.join()
            return
        except BaseException:
            stop.set()
            thread.join()
            raise
