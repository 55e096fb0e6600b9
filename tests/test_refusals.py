"""Bad input gets a clear Python exception, the node stays usable, and the
interpreter never crashes or hangs; vemiral_grid's entry points read their
options alike and refuse a bad one by name before any work."""

import math
import signal

import pytest
import sympy

import vemiral as vm
from vemiral_grid import Grid

from helpers import bin_, num, un, var

# The depth at which a tree is refused: a node whose subtree would have more
# levels than this cannot be built.
MAX_DEPTH = 10_000


def crgen_or_none(node):
    """The generated text, or None while code generation is not available."""
    try:
        return node.crgen()
    except NotImplementedError:
        return None


def assert_evaluates_x_plus_y(node, native):
    """node is x + 10 y over [2, 3] (x, y start 0, step 1)."""
    native()
    assert node.creval() == [0.0, 10.0, 20.0, 1.0, 11.0, 21.0]


def x_plus_y():
    return bin_(vm.ADD, var(0), var(1, 0.0, 10.0))


# --- crinit: extents ---------------------------------------------------------


@pytest.mark.parametrize(
    "extents, error",
    [
        ([10**5, 10**5, 10**5], MemoryError),
        ([2**40], MemoryError),
        ([2**31, 2**31], MemoryError),
        ([2**32, 2**32], OverflowError),
        ([2**63, 3], OverflowError),
        ([2**64 - 1, 2], OverflowError),
        ([0], ValueError),
        ([3, 0], ValueError),
        ([0, 2**64 - 1, 2**64 - 1], ValueError),
    ],
    ids=["10^15-points", "2^40-points", "2^62-points", "2^64-points", "2^64.6-points", "2^65-points",
         "zero", "zero-inner", "zero-before-huge"],
)
def test_bad_extents_are_refused_and_the_node_keeps_its_grid(extents, error, native):
    e = x_plus_y()
    e.crinit([2, 3])
    with pytest.raises(error):
        e.crinit(extents)
    assert_evaluates_x_plus_y(e, native)


@pytest.mark.parametrize("extents", [[-1], [1.5], ["3"], [2**64]], ids=["negative", "float", "str", "2^64"])
def test_extents_that_are_not_unsigned_64_bit_ints_are_type_errors(extents):
    with pytest.raises(TypeError):
        var(0).crinit(extents)


def test_a_grid_beyond_memory_is_refused_before_anything_is_allocated(native):
    # 10**15 doubles: were they allocated, the process would be killed.
    e = x_plus_y()
    with pytest.raises(MemoryError):
        e.crinit([10**5, 10**5, 10**5])
    with pytest.raises(RuntimeError, match="crinit must come first"):
        e.creval()


# --- call order --------------------------------------------------------------


@pytest.mark.parametrize(
    "node", [num(1.0), var(0), un(vm.SIN, var(0)), x_plus_y()], ids=["num", "var", "sin", "x+y"]
)
def test_creval_before_crinit_is_a_runtime_error(node):
    with pytest.raises(RuntimeError, match="crinit must come first"):
        node.creval()


@pytest.mark.parametrize("node", [num(1.0), var(0), x_plus_y()], ids=["num", "var", "x+y"])
def test_crgen_before_crinit_is_a_runtime_error(node):
    with pytest.raises(RuntimeError, match="crinit must come first"):
        node.crgen()


def test_creval_after_crinit_with_no_extents_is_a_value_error(native):
    e = num(2.0)
    e.crinit([])
    with pytest.raises(ValueError):
        e.creval()
    e.crinit([2])
    assert e.creval() == [2.0, 2.0]


# --- construction ------------------------------------------------------------


@pytest.mark.parametrize(
    "build",
    [
        lambda: vm.ASTbin(vm.ADD, None, num(1.0)),
        lambda: vm.ASTbin(vm.ADD, num(1.0), None),
        lambda: vm.ASTun(vm.SIN, None),
        lambda: vm.ASTbin(0, num(1.0), num(2.0)),
        lambda: vm.ASTun(2, num(1.0)),
        lambda: vm.ASTbin(vm.SIN, num(1.0), num(2.0)),
        lambda: vm.ASTun(vm.ADD, num(1.0)),
        lambda: vm.ASTbin(vm.ADD, num(1.0), 2.0),
        lambda: vm.ASTvar(-1, 0.0, 1.0),
        lambda: vm.ASTvar(1.5, 0.0, 1.0),
        lambda: vm.ASTnum("1"),
        lambda: vm.ASTnode(),
    ],
    ids=["none-left", "none-right", "none-child", "int-binary-op", "int-unary-op", "unary-op-in-bin",
         "binary-op-in-un", "float-child", "negative-index", "float-index", "str-number", "abstract-node"],
)
def test_bad_constructor_arguments_are_type_errors(build):
    with pytest.raises(TypeError):
        build()


@pytest.mark.parametrize("index", [2**63, 2**64 - 1, 2**64, 2**100])
def test_a_loop_dimension_beyond_signed_64_bits_is_refused(index):
    with pytest.raises((ValueError, OverflowError, TypeError)):
        vm.ASTvar(index, 0.0, 1.0)


def test_the_largest_loop_dimension_lowers_and_needs_that_many_extents(native):
    e = vm.ASTvar(2**63 - 1, 1.0, 1.0)
    # The chain of a dimension beyond the grid never moves.
    e.crinit([3])
    assert e.creval() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("call", [
    lambda e: e.evaluate((2,)), lambda e: e.evaluate((2,), method="recurrence"), lambda e: e.explain((2,)),
    lambda e: e.evaluate((2, 3), origin=(5, 0)),
], ids=["evaluate", "recurrence", "explain", "block"])
def test_evaluating_on_fewer_dimensions_than_the_formula_reads_is_refused(call):
    e = vm.ASTvar(0, 0.0, 1.0) + vm.ASTvar(10**6, 0.5, 1.0)
    with pytest.raises(ValueError, match=r"reads x1000000 \(dimension 1000000\) but the shape has"):
        call(e)


# --- operations without a lowering rule --------------------------------------


@pytest.mark.parametrize(
    "build, name",
    [
        (lambda x: vm.ASTbin(vm.bt(42), x, x), "42"),
        (lambda x: vm.ASTbin(vm.bt(-1), x, x), "-1"),
        (lambda x: vm.ASTbin(vm.bt(2**31 - 1), x, x), str(2**31 - 1)),
        (lambda x: vm.ASTun(vm.ut(99), x), "99"),
        (lambda x: vm.ASTun(vm.ut(-2**31), x), str(-2**31)),
        (lambda x: vm.ASTun(vm.FAC, x), "FAC"),
        (lambda x: vm.ASTbin(vm.ADD, x, vm.ASTun(vm.FAC, x)), "FAC"),
        (lambda x: vm.ASTun(vm.SIN, vm.ASTbin(vm.bt(5), x, x)), "5"),
    ],
    ids=["bt-42", "bt-minus-1", "bt-int32-max", "ut-99", "ut-int32-min", "FAC", "FAC-below-root",
         "bt-5-below-sin"],
)
def test_unknown_operations_are_refused_naming_them_and_leave_the_node_as_it_was(build, name, native):
    e = build(var(0))
    with pytest.raises(ValueError, match=name):
        e.crinit([2])
    with pytest.raises(RuntimeError):
        e.creval()
    # A parent over a good subtree fails the same way; the subtree is intact.
    good = x_plus_y()
    good.crinit([2, 3])
    bad = vm.ASTbin(vm.ADD, good, build(var(0)))
    with pytest.raises(ValueError, match=name):
        bad.crinit([2, 3])
    assert_evaluates_x_plus_y(good, native)


@pytest.mark.parametrize("op", [vm.bt(42), vm.bt(-7)], ids=["bt-42", "bt-minus-7"])
def test_unknown_operations_still_print(op, native):
    vm.ASTbin(op, num(1.0), var(3)).view()
    assert native()[0] == "astbin\nastnum(1)\nastvar(3)\n"


def test_an_integer_beyond_the_signed_32_bit_operation_code_is_refused():
    with pytest.raises((TypeError, OverflowError, ValueError)):
        vm.bt(2**40)


# --- a tree cannot contain itself --------------------------------------------


@pytest.mark.parametrize("attribute", ["left", "right", "child", "op"])
def test_setting_attributes_never_makes_a_node_its_own_descendant(attribute, native):
    x = var(0)
    e = vm.ASTbin(vm.ADD, x, un(vm.NEG, x))
    setattr(e, attribute, e)
    u = vm.ASTun(vm.SIN, e)
    setattr(u, attribute, u)
    u.view()
    assert native()[0] == "astun\nastbin\nastvar(0)\nastun\nastvar(0)\n"
    u.crinit([3])
    native()
    assert u.creval() == [0.0, 0.0, 0.0]


def test_children_are_fixed_at_construction(native):
    x = var(0)
    e = vm.ASTbin(vm.MUL, x, x)
    assert e.left is x and e.right is x
    # An assignment is an attribute of the instance; the tree keeps its children.
    e.left = num(5.0)
    e.crinit([3])
    native()
    assert e.creval() == [0.0, 1.0, 4.0]
    with pytest.raises(AttributeError):
        x.left = e


# --- deep trees --------------------------------------------------------------


@pytest.mark.parametrize("side", ["left", "right", "unary"])
def test_a_100000_level_tree_built_in_a_loop_stops_with_recursion_error(side):
    e = var(0)
    built = 1
    with pytest.raises(RecursionError):
        for _ in range(100_000):
            if side == "left":
                e = vm.ASTbin(vm.ADD, e, num(1.0))
            elif side == "right":
                e = vm.ASTbin(vm.MUL, num(1.0), e)
            else:
                e = vm.ASTun(vm.SIN, e)
            built += 1
    assert built == MAX_DEPTH
    # The interpreter goes on, and the deepest tree that was built still works.
    assert un(vm.COS, num(0.0)) is not None
    del e


def deep_tree(kind, depth):
    """A chain of `depth` levels over one variable, and the number of lines
    its view prints."""
    x = var(0, 0.5, 0.25)
    e = x
    lines = 1
    for i in range(depth - 1):
        lines += 1 if kind in ("sin", "ln", "cos-tan") or (kind == "exp" and i % 2) else 2
        if kind == "exp":
            e = vm.ASTun(vm.EXP, e) if i % 2 else vm.ASTbin(vm.MUL, e, num(-1.0))
        elif kind == "sin":
            e = vm.ASTun(vm.SIN, e)
        elif kind == "ln":
            e = vm.ASTun(vm.LN, e)
        elif kind == "add":
            e = vm.ASTbin(vm.ADD, e, x) if i % 2 else vm.ASTbin(vm.ADD, num(1.0), e)
        elif kind == "cos-tan":
            e = vm.ASTun(vm.COS, e) if i % 2 else vm.ASTun(vm.TAN, e)
        elif kind == "pow":
            e = vm.ASTbin(vm.POW, e, num(1.0)) if i % 2 else vm.ASTbin(vm.DIV, e, var(1))
    return e, lines


def direct_deep(kind, depth, x, y=1.0):
    v = x
    for i in range(depth - 1):
        if kind == "exp":
            v = math.exp(v) if i % 2 else -v
        elif kind == "sin":
            v = math.sin(v)
        elif kind == "ln":
            v = math.log(v) if v > 0 else math.nan
        elif kind == "add":
            v = v + x if i % 2 else 1.0 + v
    return v


def check_deep_values(kind, depth, values):
    for i, v in enumerate(values):
        want = direct_deep(kind, depth, 0.5 + 0.25 * i)
        assert v == pytest.approx(want, rel=1e-9, abs=1e-12) or (math.isnan(v) and math.isnan(want))


@pytest.mark.parametrize("kind", ["exp", "sin", "ln", "add", "cos-tan", "pow"])
def test_trees_just_below_the_depth_limit_print_lower_and_free(kind, native):
    """Every operation that walks the tree copes with 9,999 levels. Lowering
    either succeeds or, where every level wraps the chain once more (its
    cost grows with the square of the depth), is refused with MemoryError."""
    e, lines = deep_tree(kind, MAX_DEPTH - 1)
    e.view()
    out = native()[0]
    assert out.count("\n") == lines
    try:
        e.crinit([3, 2] if kind == "pow" else [3])
    except MemoryError:
        assert kind != "add"
        with pytest.raises(RuntimeError):
            e.creval()
    else:
        assert native()[0].startswith("CR")
        values = e.creval()
        assert len(values) == (6 if kind == "pow" else 3)
        if kind in ("exp", "sin", "ln", "add"):
            check_deep_values(kind, MAX_DEPTH - 1, values)
        text = crgen_or_none(e)
        assert text is None or isinstance(text, str)
    del e


@pytest.mark.parametrize("kind, depth", [("exp", 2000), ("sin", 2000), ("ln", 2000), ("add", 9999), ("pow", 1000)])
def test_the_deepest_chains_that_lower_print_evaluate_copy_and_free(kind, depth, native):
    """Chains nested as deep as lowering builds them: printing, initialising,
    copying (creval copies per dimension), stepping and destroying recurse
    once per level."""
    e, _ = deep_tree(kind, depth)
    e.crinit([3, 2] if kind == "pow" else [3])
    printed = native()[0]
    assert printed.startswith("CR")
    if kind != "add":
        assert printed.count("(") >= depth // 2
    values = e.creval()
    again = e.creval()
    assert [repr(v) for v in values] == [repr(v) for v in again]
    if kind in ("exp", "sin", "ln", "add"):
        check_deep_values(kind, depth, values)
    text = crgen_or_none(e)
    assert text is None or isinstance(text, str)
    e.crinit([1])  # replaces, and so frees, the deep chain
    del e


# --- heavy sharing -----------------------------------------------------------


def shared(kind, levels):
    x = var(0, 0.5, 0.25)
    y = var(1, 0.5, 0.25)
    e = x
    for _ in range(levels):
        if kind == "add":
            e = vm.ASTbin(vm.ADD, e, e)
        elif kind == "sub":
            e = vm.ASTbin(vm.SUB, e, vm.ASTbin(vm.ADD, e, e))
        elif kind == "mul":
            e = vm.ASTbin(vm.MUL, e, e)
        elif kind == "exp-add":
            e = vm.ASTbin(vm.ADD, vm.ASTun(vm.EXP, e), e)
        elif kind == "sin-mul":
            e = vm.ASTbin(vm.MUL, vm.ASTun(vm.SIN, e), e)
        elif kind == "div-y":
            e = vm.ASTbin(vm.DIV, e, vm.ASTbin(vm.SUB, e, y))
        elif kind == "exp-exp":
            e = vm.ASTun(vm.EXP, vm.ASTbin(vm.MUL, e, vm.ASTun(vm.EXP, e)))
    return e


@pytest.mark.parametrize("kind", ["add", "sub"])
def test_sharing_that_the_chains_absorb_evaluates(kind, native):
    e = shared(kind, 200)
    e.crinit([3])
    values = e.creval()
    factor = 2.0**200 if kind == "add" else (-1.0) ** 200
    assert values == [factor * (0.5 + 0.25 * i) for i in range(3)]


@pytest.mark.parametrize("kind", ["mul", "exp-add", "sin-mul", "div-y", "exp-exp"])
def test_sharing_that_explodes_is_refused_with_memory_error(kind, native):
    e = shared(kind, 200)
    with pytest.raises(MemoryError, match="too large"):
        e.crinit([3, 2])
    # The node is unchanged and a smaller version of the same DAG evaluates.
    with pytest.raises(RuntimeError):
        e.creval()
    small = shared(kind, 2)
    small.crinit([3, 2])
    assert len(small.creval()) == 6


# --- interruption ------------------------------------------------------------


def test_an_interrupted_creval_raises_keyboard_interrupt_and_the_node_stays_usable(native):
    x = var(0, 0.0, 0.001)
    y = var(1, 0.0, 1.0)
    e = vm.ASTbin(vm.ADD, vm.ASTun(vm.SIN, x), y)
    extents = [2000, 5000]
    e.crinit(extents)
    fired = []

    def on_alarm(signum, frame):
        # Interrupt once; later alarms (the timer repeats until it is
        # disarmed) are ignored.
        if not fired:
            fired.append(signum)
            signal.default_int_handler(signal.SIGINT, frame)

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.005)
            e.creval()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    assert fired == [signal.SIGALRM]
    native()
    values = e.creval()
    assert len(values) == extents[0] * extents[1]
    for i in (0, 1, 777, 1999):
        for j in (0, 1, 4999):
            assert values[i * extents[1] + j] == pytest.approx(math.sin(0.001 * i) + j, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("kind", ["add"])
def test_lowering_a_tree_at_the_depth_limit_needs_little_native_stack(kind, native):
    """Lowering walks the tree without native recursion: a 9,999-level tree
    whose chain stays flat lowers on a thread with a 1 MiB stack (a recursive
    walk needs several times that, more under the sanitizers). Nested chains
    are limited by the lowering budget to a few thousand levels, which the
    main thread's stack holds (the tests above)."""
    import threading

    e, _ = deep_tree(kind, MAX_DEPTH - 1)
    outcome = []

    def lower():
        try:
            e.crinit([2])
            outcome.append("ok")
        except MemoryError:
            outcome.append("too large")

    old = threading.stack_size(1 << 20)
    try:
        t = threading.Thread(target=lower)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert outcome == (["ok"] if kind == "add" else ["too large"])
    if kind == "add":
        native()
        check_deep_values(kind, MAX_DEPTH - 1, e.creval())


# --- nodes made by __new__ alone ---------------------------------------------


@pytest.mark.parametrize("use", [
    lambda n: n.crinit([3]), lambda n: n.creval(), lambda n: n.crarray(), lambda n: n.crgen(), lambda n: n.view(),
    lambda n: n.evaluate((3,)), repr, lambda n: n.value, lambda n: n + 1, lambda n: vm.sin(n),
    lambda n: vm.ASTbin(vm.ADD, n, n), lambda n: vm._shift_reference(n),
    lambda n: __import__("pickle").dumps(n), lambda n: __import__("copy").deepcopy(n),
], ids=["crinit", "creval", "crarray", "crgen", "view", "evaluate", "repr", "field", "operator", "function",
        "as a child", "shift reference", "pickle", "deepcopy"])
def test_a_node_never_built_is_refused_not_followed(use):
    with pytest.raises(TypeError, match="never built"):
        use(vm.ASTnum.__new__(vm.ASTnum))


# --- Python's own logic on nodes ---------------------------------------------


def absolute(x, y):
    if x < 0:
        return -x
    return x


@pytest.mark.parametrize("expr", [
    lambda x, y: x if x > 0 else -x, absolute, lambda x, y: max(x, 0), lambda x, y: min(x, 1),
    lambda x, y: x > 0 and y < 1, lambda x, y: (x > 0) or x, lambda x, y: not x, lambda x, y: sorted([x, 1]),
    lambda x, y: bool(y),
], ids=["if-else", "if", "max", "min", "and", "or", "not", "sorted", "bool"])
def test_python_logic_on_a_node_is_a_type_error_naming_what_decides_at_every_point(expr):
    # It would decide once, for the whole grid.
    with pytest.raises(TypeError, match=r"truth value of an expression node is not defined: use where\(c, a, b\)"):
        Grid(x=(-1, 1, 5), y=(0, 1, 3)).expression(expr)


# --- options of vemiral_grid's entry points --------------------------------------

NOWHERE = "/nonexistent/folder/w.zarr"  # a refusal comes before the path is even looked at

OPTIONS = {
    "evaluate method": (lambda g: g.evaluate("x", method="exact"), ValueError,
                        "method must be 'accurate' or 'recurrence', not 'exact'"),
    "sum method": (lambda g: g.sum("x", method="recurrence"), ValueError, "reductions run the accurate method only"),
    "histogram method": (lambda g: g.histogram("x", method="recurrence"), ValueError, "histograms run the accurate"),
    "evaluate misspelt": (lambda g: g.evaluate("x", methd="recurrence"), TypeError,
                          r"unexpected keyword argument 'methd' \(did you mean method=\?\)"),
    "histogram density": (lambda g: g.histogram("x", density=True), TypeError, "unexpected keyword argument 'density'"),
    "integrate rulee": (lambda g: g.integrate("x", rulee="simpson"), TypeError,
                        r"unexpected keyword argument 'rulee' \(did you mean rule=\?\)"),
    "sum misspelt": (lambda g: g.sum("x", thread=1), TypeError, "unexpected keyword argument 'thread'"),
    "to_zarr misspelt": (lambda g: g.to_zarr("x", NOWHERE, resum=True), TypeError, "unexpected keyword argument 'resum'"),
    "sum chunks 0": (lambda g: g.sum("x", chunks=0), ValueError, "chunks 0: every block needs at least one point"),
    "to_dask chunks empty": (lambda g: g.to_dask("x", chunks=(0, 5)), ValueError, "every block needs at least one"),
    "to_dask chunks float": (lambda g: g.to_dask("x", chunks=(2.5, 5)), ValueError, "not chunks Dask reads"),
    "chunks bool": (lambda g: g.to_dask("x", chunks=True), ValueError, "not bool"),
    "to_dask chunks name": (lambda g: g.to_dask("x", chunks={"z": 5}), ValueError, r"'z' is not an axis of the grid \(x, y\)"),
    "to_xarray chunks name": (lambda g: g.to_xarray("x", chunks={"z": 5}), ValueError, "'z' is not an axis"),
    "to_zarr chunks name": (lambda g: g.to_zarr("x", NOWHERE, chunks={"z": 5}), ValueError, "'z' is not an axis"),
    "sum chunks twice": (lambda g: g.sum("x", chunks={"x": 5, 0: 2}), ValueError, "names dimension 0 \\(x\\) a second"),
    "tile 2**62": (lambda g: g.evaluate("sin(x*y)", tile=2**62), ValueError, "tile must be at most 2048 for this grid"),
    "tile 2**62 along y": (lambda g: g.sum("sin(x*y)", tile=(8, 2**62)), ValueError, r"tile\[1\] must be at most 2048"),
    # A client that is no client: the refusal of lowering comes before it is asked anything.
    "prepared before a task": (lambda g: g.sum(vm.ASTun(vm.FAC, g.x), client=object()), ValueError, "FAC"),
    "parameter of text": (lambda g: g.evaluate("x*w", w="0.3"), ValueError, "parameter 'w' must be a finite real number"),
    "parameter a symbol": (lambda g: g.evaluate("x*w", w=sympy.Symbol("a")), ValueError, "not Symbol"),
    "parameter sympy.oo": (lambda g: g.evaluate("x*w", w=sympy.oo), ValueError, "finite real number, not inf"),
    "numpy scalar out of range": (lambda g: g.evaluate("np.int8(300)*x"), ValueError, "out of range for numpy.int8"),
    "numpy function": (lambda g: g.evaluate("np.sin(x)"), ValueError, "call of attribute access is not allowed"),
}


@pytest.mark.parametrize("call, error, words", OPTIONS.values(), ids=OPTIONS.keys())
def test_options_are_read_alike_and_refused_by_name(call, error, words):
    with pytest.raises(error, match=words):
        call(Grid(x=(0, 1, 10), y=(0, 1, 10)))
