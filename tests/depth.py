"""How far the property and scale tests go.

VEMIRAL_DEEP=1 (set by .ci/run) runs every test at its full count of
examples and its full size. Without it, as the test command runs on a
developer's machine, the same tests run with fewer examples and smaller
grids: no test is left out, each just looks less far.
"""

import os

DEEP = os.environ.get("VEMIRAL_DEEP", "") not in ("", "0")


def deep(full, shallow):
    """`full` in a deep run, `shallow` otherwise."""
    return full if DEEP else shallow


def examples(full):
    """A count of hypothesis examples: `full` in a deep run, a quarter of it (at least 10) otherwise."""
    return deep(full, max(10, full // 4))
