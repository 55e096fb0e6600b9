"""Shared fixtures: native output capture, and pytest's verdict for the sanitizer run.

Tree builders and the direct-evaluation oracle live in helpers.py."""

import os

import pytest


@pytest.fixture
def native(capfd):
    """Returns a function that reads what native code wrote since the last call."""

    def read():
        out, err = capfd.readouterr()
        return out, err

    read()
    return read


def pytest_sessionfinish(session, exitstatus):
    # The sanitizer run reads pytest's own verdict from here: the process's
    # exit status can be replaced by a check that runs after pytest is done.
    path = os.environ.get("VEMIRAL_PYTEST_STATUS")
    if path:
        with open(path, "w") as f:
            f.write(str(int(exitstatus)))
