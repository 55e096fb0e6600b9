"""Expression syntax on nodes: operators, module functions, repr, read-only fields, integer arguments."""

import numpy as np
import pytest

import vemiral as vm
from vemiral_grid import parse


def x0():
    return vm.ASTvar(0, 0.5, 0.25)


def x1():
    return vm.ASTvar(1, 1.0, 0.5)


def same_tree(a, b):
    """Same node kinds, operations and numbers all the way down."""
    stack = [(a, b)]
    while stack:
        p, q = stack.pop()
        assert type(p) is type(q)
        if isinstance(p, vm.ASTnum):
            assert np.float64(p.value).tobytes() == np.float64(q.value).tobytes()
        elif isinstance(p, vm.ASTvar):
            assert (p.index, p.start, p.step) == (q.index, q.start, q.step)
        elif isinstance(p, vm.ASTbin):
            assert p.op == q.op
            stack += [(p.left, q.left), (p.right, q.right)]
        else:
            assert p.op == q.op
            stack.append((p.child, q.child))


OPERATORS = [
    (lambda x: x + 3, lambda x: vm.ASTbin(vm.ADD, x, vm.ASTnum(3.0))),
    (lambda x: 3 + x, lambda x: vm.ASTbin(vm.ADD, vm.ASTnum(3.0), x)),
    (lambda x: x - 3, lambda x: vm.ASTbin(vm.SUB, x, vm.ASTnum(3.0))),
    (lambda x: 2.5 - x, lambda x: vm.ASTbin(vm.SUB, vm.ASTnum(2.5), x)),
    (lambda x: x * x, lambda x: vm.ASTbin(vm.MUL, x, x)),
    (lambda x: 4 * x, lambda x: vm.ASTbin(vm.MUL, vm.ASTnum(4.0), x)),
    (lambda x: x / 7, lambda x: vm.ASTbin(vm.DIV, x, vm.ASTnum(7.0))),
    (lambda x: 1 / x, lambda x: vm.ASTbin(vm.DIV, vm.ASTnum(1.0), x)),
    (lambda x: x**2, lambda x: vm.ASTbin(vm.POW, x, vm.ASTnum(2.0))),
    (lambda x: 2**x, lambda x: vm.ASTbin(vm.POW, vm.ASTnum(2.0), x)),
    (lambda x: -x, lambda x: vm.ASTun(vm.NEG, x)),
    (lambda x: np.float64(2.0) * x, lambda x: vm.ASTbin(vm.MUL, vm.ASTnum(2.0), x)),
    (lambda x: x + np.int64(3), lambda x: vm.ASTbin(vm.ADD, x, vm.ASTnum(3.0))),
    (lambda x: vm.sin(x) * vm.exp(x), lambda x: vm.ASTbin(vm.MUL, vm.ASTun(vm.SIN, x), vm.ASTun(vm.EXP, x))),
    (lambda x: vm.log(x) + vm.ln(x), lambda x: vm.ASTbin(vm.ADD, vm.ASTun(vm.LN, x), vm.ASTun(vm.LN, x))),
    (lambda x: vm.tan(x) - vm.cot(vm.cos(x)), lambda x: vm.ASTbin(vm.SUB, vm.ASTun(vm.TAN, x), vm.ASTun(vm.COT, vm.ASTun(vm.COS, x)))),
    (lambda x: vm.exp(1), lambda x: vm.ASTun(vm.EXP, vm.ASTnum(1.0))),
]


@pytest.mark.parametrize(
    "written, built",
    OPERATORS,
    ids=["x+3", "3+x", "x-3", "2.5-x", "x*x", "4*x", "x/7", "1/x", "x**2", "2**x", "-x", "np.float64*x",
         "x+np.int64", "sin*exp", "log+ln", "tan-cot(cos)", "exp(1)"],
)
def test_operators_build_the_constructors_nodes_and_values(written, built, native):
    x = x0()
    a, b = written(x), built(x)
    same_tree(a, b)
    a.crinit([9])
    b.crinit([9])
    assert a.crarray().tobytes() == b.crarray().tobytes()


def test_unary_plus_is_the_node_itself():
    x = x0()
    assert +x is x


@pytest.mark.parametrize(
    "attempt, error, words",
    [
        (lambda x: x + "1", TypeError, "unsupported operand"),
        (lambda x: x * {1j}, TypeError, "unsupported operand"),
        (lambda x: None - x, TypeError, "unsupported operand"),
        (lambda x: pow(x, 2, 3), TypeError, ""),
        (lambda x: vm.sin("x"), TypeError, "sin() takes an expression node or a real number, not str"),
        (lambda x: vm.log(None), TypeError, "log() takes"),
        (lambda x: x + 10**400, OverflowError, ""),
    ],
    ids=["str", "set", "None-left", "pow-modulo", "sin-str", "log-None", "huge-int"],
)
def test_operands_other_than_nodes_and_real_numbers_are_refused(attempt, error, words):
    with pytest.raises(error, match=None if not words else words.replace("(", r"\(").replace(")", r"\)")):
        attempt(x0())


def test_operators_reach_the_depth_limit_as_a_recursion_error():
    e = x0()
    with pytest.raises(RecursionError):
        for _ in range(10_001):
            e = e + 1


REPRS = [
    (lambda x, y: vm.sin(x * y) + 2.5, "sin(x0*x1) + 2.5"),
    (lambda x, y: -x**2, "-x0**2.0"),
    (lambda x, y: (-x) ** 2, "(-x0)**2.0"),
    (lambda x, y: 2 ** -x, "2.0**-x0"),
    (lambda x, y: x ** y ** 2, "x0**x1**2.0"),
    (lambda x, y: (x**y) ** 2, "(x0**x1)**2.0"),
    (lambda x, y: x - (y - 1), "x0 - (x1 - 1.0)"),
    (lambda x, y: x - y - 1, "x0 - x1 - 1.0"),
    (lambda x, y: x / (y * 2), "x0/(x1*2.0)"),
    (lambda x, y: (x + y) * (x - y), "(x0 + x1)*(x0 - x1)"),
    (lambda x, y: -(-x), "-(-x0)"),
    (lambda x, y: vm.ASTnum(-2.0) ** x, "(-2.0)**x0"),
    (lambda x, y: x * 1e-07 + vm.exp(-y), "x0*1e-07 + exp(-x1)"),
    (lambda x, y: vm.ASTnum(float("inf")) + float("nan"), "inf + nan"),
]


@pytest.mark.parametrize("build, text", REPRS, ids=[t for _, t in REPRS])
def test_repr_reads_as_the_formula_and_parses_back_to_the_same_tree(build, text):
    x, y = x0(), x1()
    node = build(x, y)
    assert repr(node) == text
    if "inf" not in text:
        same_tree(parse(text, {"x0": x, "x1": y}), node)


def test_repr_names_operations_without_a_symbol():
    x, y = x0(), x1()
    assert repr(vm.ASTun(vm.FAC, x)) == "fac(x0)"
    assert repr(vm.ASTbin(vm.bt(42), x, y)) == "bt(42)(x0, x1)"
    assert repr(vm.ASTun(vm.ut(99), x)) == "ut(99)(x0)"


def test_repr_of_a_tree_shared_exponentially_stops_at_its_limit():
    e = x0()
    for _ in range(80):
        e = e + e  # 2**80 leaves when read out
    text = repr(e)
    assert text.endswith("...") and len(text) <= (1 << 20) + 100


def test_repr_at_the_depth_limit():
    e = x0()
    for _ in range(9_999):
        e = e + 1
    assert repr(e).count("+") == 9_999


def test_fields_say_what_each_node_was_built_from():
    x, y = x0(), x1()
    e = vm.ASTbin(vm.DIV, x, y)
    u = vm.ASTun(vm.COS, e)
    assert (x.index, x.start, x.step, y.index) == (0, 0.5, 0.25, 1)
    assert vm.ASTnum(2.5).value == 2.5
    assert (e.op, e.left, e.right) == (vm.DIV, x, y)
    assert (u.op, u.child) == (vm.COS, e)
    assert vm.ASTbin(vm.bt(42), x, y).op.value == 42


@pytest.mark.parametrize(
    "node, field",
    [(vm.ASTnum(1.0), "value"), (x0(), "index"), (x0(), "start"), (x0(), "step")],
    ids=["value", "index", "start", "step"],
)
def test_leaf_fields_are_read_only(node, field):
    before = getattr(node, field)
    with pytest.raises(AttributeError):
        setattr(node, field, 7)
    assert getattr(node, field) == before


def test_assigning_over_a_field_never_changes_the_tree(native):
    x = x0()
    e = x * 2
    e.left = vm.ASTnum(100.0)  # a user attribute; the node keeps its children
    assert vm.ASTbin.left.__get__(e) is x
    e.crinit([3])
    assert e.creval() == [1.0, 1.5, 2.0]


@pytest.mark.parametrize("index", [np.int64(2), np.uint8(2)], ids=["int64", "uint8"])
def test_variable_index_takes_any_integer(index):
    assert vm.ASTvar(index, 0.0, 1.0).index == int(index)


@pytest.mark.parametrize(
    "index, words",
    [(-1, "index must be non-negative, not -1"), (np.int64(-3), "non-negative, not -3"),
     (1.0, "index must be an int, not float"), ("0", "must be an int, not str"),
     (True, "index must be an int, not bool")],
    ids=["negative", "negative-int64", "float", "str", "bool"],
)
def test_bad_variable_index_says_what_is_wrong(index, words):
    with pytest.raises(TypeError, match=words):
        vm.ASTvar(index, 0.0, 1.0)


def test_extents_take_numpy_integers(native):
    e = x0() + x1()
    e.crinit(np.array([3, 2], dtype=np.int64))
    assert e.crarray().shape == (3, 2)
    e.crinit((np.uint16(2), np.int32(4)))
    assert e.crarray().shape == (2, 4)


@pytest.mark.parametrize(
    "extents, words",
    [([-1], r"extents\[0\] is -1, negative"), ([2, np.int64(-5)], r"extents\[1\] is -5, negative"),
     ([2**64], "beyond 64 bits"), ([1.5], "must be an int, not float"), (3, "sequence of ints, not int")],
    ids=["negative", "negative-int64", "2**64", "float", "not-a-sequence"],
)
def test_bad_extents_say_what_is_wrong(extents, words, native):
    with pytest.raises(TypeError, match=words):
        x0().crinit(extents)
