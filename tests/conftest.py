"""Shared fixtures: native output capture, a Dask cluster of worker processes,
how deep the run goes, the order the workers take the tests in, and pytest's
verdict for the sanitizer run.

Tree builders and the direct-evaluation oracle live in helpers.py."""

import os
import signal
import warnings

import pytest
from hypothesis import settings

from depth import DEEP, examples

# Ctrl-C raises KeyboardInterrupt here and in every process the tests start,
# even when the run itself was started in the background, where the shell
# leaves SIGINT ignored and every child would inherit that.
signal.signal(signal.SIGINT, signal.default_int_handler)

# Tests whose settings name no count of examples take hypothesis's default,
# a quarter of it in a shallow run (see depth.py).
settings.register_profile("vemiral", max_examples=examples(settings.default.max_examples))
settings.load_profile("vemiral")


@pytest.fixture
def native(capfd):
    """Returns a function that reads what native code wrote since the last call."""

    def read():
        out, err = capfd.readouterr()
        return out, err

    read()
    return read


@pytest.fixture(scope="session")
def local_cluster():
    """A Dask LocalCluster of two single-threaded worker processes, started by
    the first test that asks for it and kept for the others of the session
    (each connects a Client of its own): starting the processes is most of
    such a test's time."""
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the cluster's own notes (ports, memory)
        cluster = distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0", memory_limit=None
        )
    yield cluster
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster.close()


def pytest_report_header(config):
    how = "deep: every example and size" if DEEP else "shallow: fewer examples, smaller grids (VEMIRAL_DEEP=1 for all)"
    return f"vemiral tests: {how}"


def pytest_collection_modifyitems(config, items):
    # The long tests first: run in parallel (pytest-xdist, as scripts/test.sh
    # runs them), each worker starts on its share of them and the others take
    # over what is left, instead of one long test finishing alone at the end.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


def pytest_sessionfinish(session, exitstatus):
    # The sanitizer run reads pytest's own verdict from here: the process's
    # exit status can be replaced by a check that runs after pytest is done.
    # Only the main process writes it, not pytest-xdist's workers.
    path = os.environ.get("VEMIRAL_PYTEST_STATUS")
    if path and not hasattr(session.config, "workerinput"):
        with open(path, "w") as f:
            f.write(str(int(exitstatus)))
