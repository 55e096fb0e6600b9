"""crarray returns creval's values bit for bit as a NumPy array, silently, with the same refusals."""

import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import vemiral as vm
from helpers import bin_, num, same_bits, shape_id, un, var


def x():
    return var(0, 0.0, 0.25)


def y():
    return var(1, 1.0, 0.5)


def z():
    return var(2, -1.0, 0.125)


# Trees by recurrence kind; each is evaluated on 1-D to 3-D grids below.
TREES = {
    "sum": lambda: bin_(vm.ADD, bin_(vm.MUL, num(3.0), bin_(vm.POW, x(), num(2.0))), bin_(vm.MUL, x(), y())),
    "cubic": lambda: bin_(vm.SUB, bin_(vm.POW, bin_(vm.ADD, x(), y()), num(3.0)), z()),
    "product": lambda: un(vm.EXP, un(vm.NEG, bin_(vm.ADD, bin_(vm.POW, x(), num(2.0)), bin_(vm.POW, y(), num(2.0))))),
    "sine": lambda: un(vm.SIN, bin_(vm.MUL, x(), y())),
    "cosine": lambda: un(vm.COS, bin_(vm.ADD, bin_(vm.MUL, num(2.0), x()), z())),
    "cosine of a product": lambda: un(vm.COS, bin_(vm.MUL, x(), y())),
    "trig times product": lambda: bin_(vm.MUL, un(vm.SIN, x()), un(vm.EXP, y())),
    "damped wave": lambda: bin_(vm.MUL, un(vm.EXP, un(vm.NEG, y())), un(vm.SIN, bin_(vm.MUL, x(), z()))),
    "expression": lambda: bin_(vm.DIV, bin_(vm.ADD, x(), num(1.0)), bin_(vm.ADD, y(), num(2.0))),
    "tangent": lambda: un(vm.TAN, bin_(vm.ADD, x(), bin_(vm.MUL, y(), z()))),
    # Logarithms of negative numbers and overflowing powers give NaN and inf.
    "nan and inf": lambda: bin_(vm.ADD, un(vm.LN, bin_(vm.SUB, y(), num(3.0))), bin_(vm.POW, num(1e300), bin_(vm.ADD, x(), z()))),
    "expression of expressions": lambda: un(vm.EXP, un(vm.SIN, bin_(vm.POW, bin_(vm.ADD, z(), num(4.0)), y()))),
    "constant": lambda: bin_(vm.MUL, num(2.0), un(vm.COS, num(0.5))),
}

# Rows go in groups of up to 32 side by side and leave in blocks of 16 points:
# full and partial groups and blocks, rows shorter and longer than a block.
SHAPES = [[7], [1], [5, 9], [37, 3], [2, 1, 6], [3, 19, 4], [70, 23], [33, 2, 17]]


def evaluate(tree, shape, capfd):
    tree.crinit(shape)
    listed = tree.creval()
    capfd.readouterr()
    array = tree.crarray()
    return listed, array


@pytest.mark.parametrize("shape", SHAPES, ids=shape_id)
@pytest.mark.parametrize("name", sorted(TREES))
def test_crarray_equals_creval_bit_for_bit(name, shape, capfd):
    listed, array = evaluate(TREES[name](), shape, capfd)
    assert array.shape == tuple(shape)
    assert array.dtype == np.float64
    assert same_bits(listed, array)


def test_the_values_are_the_closed_form_ones(capfd):
    e = TREES["sum"]()
    _, array = evaluate(e, [6, 5], capfd)
    xs = 0.25 * np.arange(6)[:, None]
    ys = 1.0 + 0.5 * np.arange(5)[None, :]
    np.testing.assert_allclose(array, 3 * xs**2 + xs * ys, rtol=1e-12, atol=1e-12)

    e = TREES["damped wave"]()
    _, array = evaluate(e, [4, 5, 6], capfd)
    xs, ys, zs = np.ogrid[0:4, 0:5, 0:6]
    xs, ys, zs = 0.25 * xs, 1.0 + 0.5 * ys, -1.0 + 0.125 * zs
    np.testing.assert_allclose(array, np.exp(-ys) * np.sin(xs * zs), rtol=1e-12, atol=1e-12)


def test_two_variables_give_the_documented_grid(capfd):
    e = bin_(vm.ADD, var(0, 0.0, 1.0), var(1, 0.0, 10.0))
    _, array = evaluate(e, [2, 3], capfd)
    assert array.tolist() == [[0.0, 10.0, 20.0], [1.0, 11.0, 21.0]]


def test_a_cosine_gives_the_cosine_not_the_sine(capfd):
    e = un(vm.COS, var(0, 0.0, 0.5))
    listed, array = evaluate(e, [4], capfd)
    np.testing.assert_allclose(array, np.cos(0.5 * np.arange(4)), rtol=1e-14)
    assert same_bits(listed, array)


@pytest.mark.parametrize(
    "shape",
    # Many rows (shared between threads, in groups of up to 32 side by side),
    # a single long row, and rows of a single point.
    [[300, 257], [70001], [41, 3, 700], [5000, 1]],
    ids=shape_id,
)
@pytest.mark.parametrize("name", ["sum", "sine", "expression", "nan and inf"])
def test_large_grids_shared_between_threads(name, shape, capfd):
    tree = TREES[name]()
    listed, array = evaluate(tree, shape, capfd)
    assert same_bits(listed, array)


PORTABLE_RUN = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import test_crarray as t
arrays = {}
for name, make in t.TREES.items():
    for shape in t.SHAPES + [[300, 257]]:
        tree = make()
        tree.crinit(shape)
        arrays[name + ' ' + repr(shape)] = tree.crarray()
np.savez(sys.argv[2], **arrays)
"""


def test_the_portable_build_gives_the_same_bits(tmp_path, capfd):
    # The evaluation core also runs compiled for any processor of the family
    # (VEMIRAL_NO_AVX2 chooses it); on a processor with AVX2 the two must
    # agree to the bit. Without AVX2 both runs take the portable code.
    saved = tmp_path / "portable.npz"
    env = dict(os.environ, VEMIRAL_NO_AVX2="1")
    # Under the sanitizers the child still reports memory errors; leaks are
    # left to the main run's check.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    run = subprocess.run(
        [sys.executable, "-c", PORTABLE_RUN, os.path.dirname(__file__), str(saved)],
        capture_output=True, text=True, env=env,
    )
    assert run.returncode == 0, run.stderr
    portable = np.load(saved)
    assert len(portable.files) == len(TREES) * (len(SHAPES) + 1)
    for name, make in TREES.items():
        for shape in SHAPES + [[300, 257]]:
            tree = make()
            tree.crinit(shape)
            expected = portable[name + " " + repr(shape)]
            got = tree.crarray()
            assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)), (name, shape)
    capfd.readouterr()


def test_repeated_calls_agree_and_follow_a_new_crinit(capfd):
    e = TREES["cosine"]()
    first, array = evaluate(e, [3, 4, 5], capfd)
    assert same_bits(first, e.crarray())
    assert same_bits(e.creval(), array)
    capfd.readouterr()
    _, array = evaluate(e, [2, 2], capfd)
    assert array.shape == (2, 2)


def test_every_node_kind_has_crarray(capfd):
    for node in [num(4.0), var(0, 1.0, 2.0), un(vm.NEG, x()), bin_(vm.ADD, x(), y())]:
        listed, array = evaluate(node, [3, 2], capfd)
        assert same_bits(listed, array)


def test_crarray_prints_nothing(capfd):
    e = TREES["nan and inf"]()
    e.crinit([4, 5, 6])
    capfd.readouterr()
    e.crarray()
    assert capfd.readouterr() == ("", "")


def test_crarray_owns_a_c_ordered_array(capfd):
    e = TREES["sine"]()
    _, array = evaluate(e, [3, 4], capfd)
    assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable
    array[:] = 0.0
    assert not same_bits([0.0] * 12, e.crarray())


@pytest.mark.parametrize("method", ["creval", "crarray"])
def test_refused_before_crinit(method):
    with pytest.raises(RuntimeError, match="crinit must come first"):
        getattr(x(), method)()


@pytest.mark.parametrize("method", ["creval", "crarray"])
def test_refused_without_dimensions(method, capfd):
    e = num(3.0)
    e.crinit([])
    with pytest.raises(ValueError, match="no dimensions"):
        getattr(e, method)()


def test_crarray_after_a_refused_crinit_uses_the_previous_grid(capfd):
    e = TREES["sum"]()
    listed, _ = evaluate(e, [3, 4], capfd)
    with pytest.raises(ValueError):
        e.crinit([3, 0])
    assert same_bits(listed, e.crarray())


REPORT = re.compile(
    r"Total loop time: \S+ ms\n"
    r"  valueof\(\):     0 ms\n"
    r"  push_back:     0 ms\n"
    r"  shifting:      0 ms\n"
    r"  copying:       \S+ ms\n\Z"
)


@pytest.mark.parametrize("shape", [[5], [4, 3], [2, 3, 4]], ids=shape_id)
def test_creval_report_keeps_its_five_lines(shape, capfd):
    e = TREES["product"]()
    e.crinit(shape)
    capfd.readouterr()
    e.creval()
    out, err = capfd.readouterr()
    assert REPORT.match(out), out
    assert err == ""
    numbers = re.findall(r": +(\S+) ms", out)
    assert all(float(n) >= 0.0 for n in numbers)
    if len(shape) == 1:
        # One dimension: nothing is ever re-seeded.
        assert out.endswith("  copying:       0 ms\n")


class Stop(Exception):
    pass


@pytest.mark.parametrize("method", ["creval", "crarray"])
def test_a_signal_stops_the_evaluation_and_the_node_stays_usable(method, capfd):
    # Four transcendental calls per point keep the grid busy for a while.
    e = un(vm.EXP, un(vm.SIN, un(vm.EXP, un(vm.SIN, bin_(vm.MUL, var(0, 0.0, 1e-3), var(1, 0.0, 1e-3))))))
    e.crinit([2000, 2000])

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            getattr(e, method)()
        except Stop:
            pass
        else:
            pytest.skip("the evaluation finished before the timer fired")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    e.crinit([3, 4])
    listed, array = evaluate(e, [3, 4], capfd)
    assert same_bits(listed, array)


@pytest.mark.parametrize("degree", range(0, 26), ids=lambda v: f"degree-{v}")
def test_one_dimensional_polynomials_of_every_length(degree, capfd):
    # Chains of 1 to 26 registers along a single row.
    e = bin_(vm.POW, bin_(vm.ADD, var(0, 0.0, 0.125), num(-1.0)), num(float(degree)))
    listed, array = evaluate(e, [17], capfd)
    np.testing.assert_allclose(array, (0.125 * np.arange(17) - 1.0) ** degree, rtol=1e-9, atol=1e-12)
    assert same_bits(listed, array)


@pytest.mark.parametrize("levels", [1, 2, 3, 4, 6], ids=lambda v: f"levels-{v}")
def test_one_dimensional_rotations_of_every_length(levels, capfd):
    # sin and cos of a polynomial of degree levels - 1: trigonometric chains
    # of 1 to 6 levels along a single row.
    t = var(0, 0.0, 0.0625)
    poly = t if levels > 1 else num(0.3)
    for _ in range(levels - 2):
        poly = bin_(vm.MUL, poly, t)
    for op, f in [(vm.SIN, np.sin), (vm.COS, np.cos)]:
        listed, array = evaluate(un(op, bin_(vm.ADD, poly, num(0.25))), [33], capfd)
        ts = 0.0625 * np.arange(33)
        expected = f((ts ** (levels - 1) if levels > 1 else 0.3) + 0.25)
        np.testing.assert_allclose(array, expected, rtol=1e-9, atol=1e-12)
        assert same_bits(listed, array)


@pytest.mark.parametrize("length", [1, 2, 3, 4, 5], ids=lambda v: f"length-{v}")
def test_one_dimensional_products_of_every_length(length, capfd):
    # exp of a polynomial of degree length - 1: product chains along one row.
    t = var(0, 0.0, 0.0625)
    poly = num(0.5)
    for _ in range(length - 1):
        poly = bin_(vm.MUL, poly, t)
    listed, array = evaluate(un(vm.EXP, poly), [29], capfd)
    ts = 0.0625 * np.arange(29)
    np.testing.assert_allclose(array, np.exp(0.5 * ts ** (length - 1)), rtol=1e-9)
    assert same_bits(listed, array)


def test_crinit_from_another_thread_while_crarray_computes(capfd):
    # crarray lets other threads run; each array is still one whole grid.
    e = TREES["damped wave"]()
    expected = {}
    for shape in [(300, 400), (400, 300)]:
        expected[shape] = evaluate(e, list(shape), capfd)[1]
    done = threading.Event()

    def reinit():
        while not done.is_set():
            for shape in expected:
                e.crinit(list(shape))

    worker = threading.Thread(target=reinit)
    worker.start()
    try:
        for _ in range(20):
            array = e.crarray()
            assert np.array_equal(array.view(np.uint64), expected[array.shape].view(np.uint64))
    finally:
        done.set()
        worker.join()
