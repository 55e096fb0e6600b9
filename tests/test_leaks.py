"""Nothing leaks: resident memory stays flat over thousands of trees, and a
dropped node frees its chain and its results.

Resident memory is read from /proc/self/statm. Before each reading, freed
heap memory is handed back to the system (malloc_trim) so that the reading
reflects what is still allocated. Bounds:
- the loop: after a warm-up, 3,000 more rounds of building, lowering,
  evaluating (and generating code, once available) grow the resident set by
  less than 6 MiB, i.e. less than 2 KiB per round, while every round handles
  more than 8 KiB of results and chains (a leak of any of them breaks it);
- a dropped node: of the ~32 MiB its results and ~40 MiB its chain took, all
  but 4 MiB are back after it is dropped.

Under the sanitizers (VEMIRAL_UNDER_SANITIZER) these tests are skipped:
freed memory is held in quarantine there, and LeakSanitizer checks leaks
instead.
"""

import ctypes
import gc
import os

import pytest

import vemiral as vm

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="resident memory is not meaningful under ASan"
)

MIB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")
_libc = ctypes.CDLL(None)


def rss():
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def crgen(node):
    try:
        return node.crgen()
    except NotImplementedError:
        return None


def make_tree(i):
    x = vm.ASTvar(0, 0.25 * (i % 7), 0.5)
    y = vm.ASTvar(1, 1.0, 0.125 * (1 + i % 3))
    z = vm.ASTvar(2, -1.0, 0.25)
    kinds = [
        lambda: vm.ASTbin(vm.ADD, vm.ASTbin(vm.MUL, x, y), vm.ASTun(vm.SIN, x)),
        lambda: vm.ASTbin(vm.MUL, vm.ASTun(vm.EXP, y), vm.ASTun(vm.COS, vm.ASTbin(vm.ADD, x, y))),
        lambda: vm.ASTbin(vm.DIV, vm.ASTnum(1.0), vm.ASTbin(vm.ADD, z, vm.ASTbin(vm.POW, x, vm.ASTnum(3.0)))),
        lambda: vm.ASTun(vm.LN, vm.ASTbin(vm.MUL, vm.ASTun(vm.EXP, x), vm.ASTun(vm.EXP, y))),
        lambda: vm.ASTun(vm.TAN, vm.ASTbin(vm.SUB, x, vm.ASTun(vm.NEG, y))),
        lambda: vm.ASTbin(vm.POW, vm.ASTnum(2.0), vm.ASTbin(vm.MUL, x, y)),
        lambda: vm.ASTbin(vm.ADD, vm.ASTun(vm.EXP, vm.ASTun(vm.SIN, x)), vm.ASTun(vm.COT, z)),
    ]
    return kinds[i % len(kinds)]()


def one_round(i, refused):
    e = make_tree(i)
    e.crinit([10, 10, 12])
    values = e.creval()
    assert len(values) == 1200
    assert e.crarray().shape == (10, 10, 12)
    crgen(e)
    e.view()
    # Refusals must not leak either.
    with pytest.raises((ValueError, OverflowError, MemoryError)):
        e.crinit(refused[i % len(refused)])
    with pytest.raises(ValueError):
        vm.ASTun(vm.FAC, e).crinit([2])


def test_thousands_of_trees_keep_resident_memory_flat(capfd):
    refused = [[0], [2**32, 2**32], [10**5, 10**5, 10**5]]
    for i in range(300):
        one_round(i, refused)
    capfd.readouterr()
    before = rss()
    for i in range(3000):
        one_round(i, refused)
        if i % 500 == 0:
            capfd.readouterr()
    capfd.readouterr()
    grown = rss() - before
    assert grown < 6 * MIB, f"resident memory grew by {grown / MIB:.1f} MiB over 3000 rounds"


def big_chain_node(levels=15):
    """A node whose chain has tens of thousands of chain nodes (a few hundred
    thousand for 15 levels): sharing doubles the chain at every level."""
    x = vm.ASTvar(0, 0.5, 0.25)
    e = x
    for _ in range(levels):
        e = vm.ASTbin(vm.ADD, vm.ASTun(vm.EXP, e), e)
    return e


@pytest.mark.parametrize("what", ["results", "chain", "both", "parent"])
def test_a_dropped_node_frees_its_chain_and_results(what, capfd):
    base = rss()
    # The results are stored when creval first needs them.
    if what == "results":
        e = vm.ASTvar(0, 0.0, 1.0)
        e.crinit([4 * MIB])
        e.creval()
    elif what == "chain":
        e = big_chain_node()
        e.crinit([1])
    elif what == "both":
        e = big_chain_node()
        e.crinit([2 * MIB])
    else:
        child = vm.ASTvar(0, 0.0, 1.0)
        child.crinit([4 * MIB])
        child.creval()
        e = vm.ASTun(vm.SIN, child)
        del child  # kept alive by its parent
    capfd.readouterr()
    held = rss() - base
    assert held > 16 * MIB
    del e
    left = rss() - base
    assert left < 4 * MIB, f"{left / MIB:.1f} MiB of {held / MIB:.1f} MiB still held"


def test_a_new_crinit_frees_the_previous_chain_and_results(capfd):
    """Each crinit replaces a chain of ~10 MiB and 8 MiB of results. The heap
    may stay fragmented by up to about one chain (the old chain is alive
    while the new one is built), so the bound is 12 MiB over six more calls
    that would otherwise keep over 100 MiB."""
    e = big_chain_node(13)
    for _ in range(4):
        e.crinit([MIB])
        capfd.readouterr()
    held = rss()
    for _ in range(6):
        e.crinit([MIB])
        capfd.readouterr()
    grown = rss() - held
    assert grown < 12 * MIB, f"{grown / MIB:.1f} MiB more after six more crinit calls"
