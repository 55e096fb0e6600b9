"""Fuzzing with hypothesis: random trees, grids and call orders.

Every call either succeeds or raises a Python exception (a crash would end
the test run). Where creval succeeds, each value agrees with a direct
evaluation of the same tree in Python at that grid point, and crarray (where
present) equals creval bit for bit.

Tolerance of the value comparison. The direct evaluator follows C semantics
(infinities and NaNs instead of exceptions) and the same rewriting as the
lowering (a - b as a + b*(-1), a / b as a * b**-1, tan k as sin k * (cos k)**-1,
cot k as cos k * (sin k)**-1, -k as k*(-1)). Recurrences round differently
from direct evaluation, and their error is absolute relative to the size of
the quantities combined, so values are compared only where the example is
well conditioned: every number, start and step is finite with magnitude at
most 1e3 and every intermediate value of the direct evaluation, at every grid
point, is finite with magnitude at most 1e6. There, |creval - direct| must be
at most 1e-6 * |direct| + 1e-6 * (1 + largest intermediate magnitude at that
point). A point where the direct value is not finite must not be finite in
creval either. Outside the well-conditioned region only the absence of
crashes and the exception types are checked.

Profiles (environment variable VEMIRAL_FUZZ_PROFILE): "ci", the default, is
derandomized (a fixed seed) with 200 examples; "dev" draws fresh random
examples, 2000 of them. VEMIRAL_FUZZ_EXAMPLES overrides the count (the
sanitizer run uses fewer).
"""

import math
import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vemiral as vm

from depth import examples
from helpers import c_cos, c_exp, c_log, c_pow, c_sin, grid_points

settings.register_profile(
    "ci",
    derandomize=True,
    max_examples=examples(200),
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "dev",
    max_examples=2000,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)
_PROFILE = os.environ.get("VEMIRAL_FUZZ_PROFILE", "ci")
_EXAMPLES = os.environ.get("VEMIRAL_FUZZ_EXAMPLES")
FUZZ = settings(settings.get_profile(_PROFILE), **({"max_examples": int(_EXAMPLES)} if _EXAMPLES else {}))

INF, NAN = math.inf, math.nan
MAX_POINTS_EVALUATED = 64
WELL_LEAF = 1e3
WELL_INTERMEDIATE = 1e6
RTOL = 1e-6

# --- C-like direct evaluation -------------------------------------------------


BIN = {
    0: lambda a, b: a + b,
    1: lambda a, b: a + b * -1.0,
    2: lambda a, b: a * b,
    3: lambda a, b: a * c_pow(b, -1.0),
    4: c_pow,
}
UN = {
    0: lambda k: k * -1.0,
    2: c_exp,
    3: c_log,
    4: c_sin,
    5: c_cos,
    6: lambda k: c_sin(k) * c_pow(c_cos(k), -1.0),
    7: lambda k: c_cos(k) * c_pow(c_sin(k), -1.0),
}


def lowers(desc):
    """False when some operation of the tree has no lowering rule."""
    kind = desc[0]
    if kind == "bin":
        return desc[1] in BIN and lowers(desc[2]) and lowers(desc[3])
    if kind == "un":
        return desc[1] in UN and lowers(desc[2])
    return True


def direct(desc, point, seen):
    """Value of the tree at a grid point; appends intermediates to seen."""
    kind = desc[0]
    if kind == "num":
        v = desc[1]
    elif kind == "var":
        index, start, step = desc[1:]
        i = point[index] if index < len(point) else 0
        v = start + step * i
    elif kind == "bin":
        v = BIN[desc[1]](direct(desc[2], point, seen), direct(desc[3], point, seen))
    else:
        v = UN[desc[1]](direct(desc[2], point, seen))
    seen.append(v)
    return v


def leaves(desc):
    if desc[0] == "num":
        yield desc[1]
    elif desc[0] == "var":
        yield desc[2]
        yield desc[3]
    else:
        for child in desc[2:]:
            yield from leaves(child)


def build(desc):
    kind = desc[0]
    if kind == "num":
        return vm.ASTnum(desc[1])
    if kind == "var":
        return vm.ASTvar(*desc[1:])
    if kind == "bin":
        return vm.ASTbin(vm.bt(desc[1]), build(desc[2]), build(desc[3]))
    return vm.ASTun(vm.ut(desc[1]), build(desc[2]))


def view_lines(desc):
    kind = desc[0]
    if kind == "num":
        return ["astnum("]
    if kind == "var":
        return [f"astvar({desc[1]})"]
    if kind == "bin":
        return ["astbin"] + view_lines(desc[2]) + view_lines(desc[3])
    return ["astun"] + view_lines(desc[2])


def bits(values):
    return [struct.pack("<d", v) for v in values]


# --- strategies ----------------------------------------------------------------

special = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 5e-324, -1e-300, 1e-7, 1e300, -1e308, INF, -INF, NAN])
moderate = st.floats(min_value=-8.0, max_value=8.0, allow_nan=False, allow_infinity=False)
# Mostly values and members that evaluate, so that many examples compare values.
def weighted(common, rare, one_in):
    """common, except once in one_in draws rare."""
    return st.integers(0, one_in - 1).flatmap(lambda k: rare if k == 0 else common)


numbers = weighted(moderate, st.one_of(special, st.floats()), 5)
bt_members = st.sampled_from([int(m) for m in vm.bt.__members__.values()])
ut_members = st.sampled_from([int(m) for m in vm.ut.__members__.values() if m != vm.FAC])
any_code = st.one_of(st.integers(-(2**31), 2**31 - 1), st.just(int(vm.FAC)))
bt_codes = weighted(bt_members, any_code, 25)
ut_codes = weighted(ut_members, any_code, 25)
leaf = st.one_of(
    st.tuples(st.just("num"), numbers),
    st.tuples(st.just("var"), st.integers(0, 3) | st.sampled_from([7, 2**63 - 1]), numbers, numbers),
)
trees = st.recursive(
    leaf,
    lambda kids: st.one_of(
        st.tuples(st.just("bin"), bt_codes, kids, kids),
        st.tuples(st.just("un"), ut_codes, kids),
    ),
    max_leaves=8,
)
small_extent = st.integers(1, 4)
huge_extent = st.sampled_from([2**32, 10**12, 2**63, 2**64 - 1])
extent_lists = weighted(
    st.lists(small_extent, min_size=1, max_size=3),
    st.one_of(
        st.lists(small_extent, max_size=3),
    st.lists(st.one_of(small_extent, st.just(0)), min_size=1, max_size=3),
        st.lists(st.one_of(small_extent, huge_extent), min_size=1, max_size=3),
    ),
    3,
)
calls = st.lists(
    st.one_of(
        st.tuples(st.just("crinit"), extent_lists),
        st.tuples(st.just("crinit"), extent_lists),
        st.tuples(st.just("creval"), st.just(None)),
        st.tuples(st.sampled_from(["creval", "crarray", "crgen", "view"]), st.just(None)),
    ),
    min_size=1,
    max_size=6,
)


def expected_crinit_error(desc, extents):
    if any(e == 0 for e in extents):
        return ValueError
    product = 1
    for e in extents:
        product *= e
    if product >= 2**64:
        return OverflowError
    if product > 2**31:
        return MemoryError
    if not lowers(desc):
        return ValueError
    return None


def check_values(desc, extents, values):
    assert len(values) == math.prod(extents)
    if any(not math.isfinite(v) or abs(v) > WELL_LEAF for v in leaves(desc)):
        return
    for k, point in enumerate(grid_points(extents)):
        seen = []
        want = direct(desc, point, seen)
        got = values[k]
        if not math.isfinite(want):
            continue
        if all(math.isfinite(v) and abs(v) <= WELL_INTERMEDIATE for v in seen):
            scale = max(abs(v) for v in seen)
            event("a value compared")
            assert abs(got - want) <= RTOL * abs(want) + RTOL * (1.0 + scale), (point, got, want)


@FUZZ
@given(desc=trees, sequence=calls)
def test_random_trees_grids_and_call_orders(desc, sequence, native):
    node = build(desc)
    grid = None  # extents of the last successful crinit
    for name, arg in sequence:
        native()
        if name == "crinit":
            error = expected_crinit_error(desc, arg)
            try:
                node.crinit(arg)
            except MemoryError:
                # Refused before allocating, or an expression too large to lower.
                assert error in (MemoryError, None)
                continue
            except (ValueError, OverflowError) as e:
                assert type(e) is error, (arg, e)
                continue
            assert error is None
            grid = list(arg)
        elif name in ("creval", "crarray"):
            method = getattr(node, name, None)
            if method is None:
                continue
            if grid is None:
                with pytest.raises(RuntimeError):
                    method()
                continue
            if not grid:
                with pytest.raises(ValueError):
                    method()
                continue
            if math.prod(grid) > MAX_POINTS_EVALUATED:
                continue
            result = method()
            if name == "crarray":
                assert result.shape == tuple(grid) and result.dtype == np.float64
                result = result.ravel().tolist()
            values = list(result)
            check_values(desc, grid, values)
            if name == "creval":
                assert bits(node.crarray().ravel().tolist()) == bits(values)
        elif name == "crgen":
            if grid is None:
                with pytest.raises(RuntimeError):
                    node.crgen()
                continue
            try:
                text = node.crgen()
            except NotImplementedError:
                continue
            assert isinstance(text, str)
        else:
            assert node.view() is None
            lines = native()[0].splitlines()
            want = view_lines(desc)
            assert len(lines) == len(want)
            assert all(line.startswith(w) for line, w in zip(lines, want))
    native()


BT_OUTSIDE = (-(2**31), -1, 5, 8, 42, 2**31 - 1)
UT_OUTSIDE = (-(2**31), -1, 8, 99, 2**31 - 1)


@pytest.mark.parametrize(
    "make, code",
    [(lambda c, x: vm.ASTbin(vm.bt(c), x, x), c) for c in BT_OUTSIDE]
    + [(lambda c, x: vm.ASTun(vm.ut(c), x), c) for c in UT_OUTSIDE],
    ids=[f"bt-{c}" for c in BT_OUTSIDE] + [f"ut-{c}" for c in UT_OUTSIDE],
)
def test_operation_codes_outside_the_enumerations_build_print_and_are_refused(make, code, native):
    x = vm.ASTvar(0, 0.0, 1.0)
    for node in (make(code, x), vm.ASTbin(vm.ADD, vm.ASTnum(1.0), make(code, x))):
        node.view()
        assert native()[0].splitlines()[0] in ("astbin", "astun")
        with pytest.raises(ValueError, match=str(code)):
            node.crinit([2])
