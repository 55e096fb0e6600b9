"""Module surface: enumerations, constructors, argument refusals, attributes, ownership, depth limit."""

import gc
import math
import os
import subprocess
import sys

import pytest

import vemiral as vm

BT = [("ADD", 0), ("SUB", 1), ("MUL", 2), ("DIV", 3), ("POW", 4)]
UT = [("NEG", 0), ("FAC", 1), ("EXP", 2), ("LN", 3), ("SIN", 4), ("COS", 5), ("TAN", 6), ("COT", 7)]


# --- enumerations -----------------------------------------------------------


@pytest.mark.parametrize(
    "enum, name, value",
    [("bt", n, v) for n, v in BT] + [("ut", n, v) for n, v in UT],
    ids=[f"bt.{n}" for n, _ in BT] + [f"ut.{n}" for n, _ in UT],
)
def test_enum_member_is_exported_with_its_value(enum, name, value):
    member = getattr(getattr(vm, enum), name)
    assert getattr(vm, name) is member
    assert int(member) == value
    assert member.value == value
    assert member.name == name
    assert getattr(vm, enum)(value) == member


def test_enumerations_hold_exactly_their_members():
    assert sorted(vm.bt.__members__) == sorted(n for n, _ in BT)
    assert sorted(vm.ut.__members__) == sorted(n for n, _ in UT)


def test_cos_identity_and_values_named_in_the_docs():
    assert vm.COS is vm.ut.COS
    assert int(vm.ut.COS) == 5
    assert int(vm.bt.POW) == 4


# --- constructors and keyword arguments ---------------------------------------


def test_keyword_arguments_are_accepted_everywhere(native):
    x = vm.ASTvar(index=1, start=0.5, step=2)
    n = vm.ASTnum(value=3)
    b = vm.ASTbin(op=vm.ADD, left=n, right=vm.ASTvar(index=0, start=1.0, step=1.0))
    u = vm.ASTun(op=vm.NEG, child=x)
    e = vm.ASTbin(op=vm.MUL, left=b, right=u)
    assert e.crinit(params=[2, 2]) is None
    # (3 + x0) * -(0.5 + 2*x1) with x0 = 1 + i, x1 index j
    expected = [(3 + 1 + i) * -(0.5 + 2 * j) for i in range(2) for j in range(2)]
    assert e.creval() == expected


def test_integer_step_is_converted_to_float(native):
    x = vm.ASTvar(index=0, start=0.5, step=2)
    x.crinit([3])
    values = x.creval()
    assert values == [0.5, 2.5, 4.5]
    assert all(type(v) is float for v in values)


def test_binary_node_accepts_enum_and_nodes():
    vm.ASTbin(vm.ADD, vm.ASTnum(1.0), vm.ASTvar(0, 0.0, 1.0))


@pytest.mark.parametrize(
    "build",
    [
        lambda: vm.ASTvar(-1, 0, 1),
        lambda: vm.ASTvar(1.5, 0, 1),
        lambda: vm.ASTvar("0", 0, 1),
        lambda: vm.ASTvar(0, "a", 1),
        lambda: vm.ASTnum("1.0"),
        lambda: vm.ASTnum(None),
        lambda: vm.ASTbin(0, vm.ASTnum(1), vm.ASTnum(2)),
        lambda: vm.ASTbin(vm.SIN, vm.ASTnum(1), vm.ASTnum(2)),
        lambda: vm.ASTun(4, vm.ASTnum(1)),
        lambda: vm.ASTun(vm.ADD, vm.ASTnum(1)),
        lambda: vm.ASTbin(vm.ADD, None, vm.ASTnum(2)),
        lambda: vm.ASTbin(vm.ADD, vm.ASTnum(1), None),
        lambda: vm.ASTun(vm.SIN, None),
        lambda: vm.ASTbin(vm.ADD, 1.0, vm.ASTnum(2)),
        lambda: vm.ASTun(vm.SIN, "x"),
        lambda: vm.ASTvar(0, 0),
        lambda: vm.ASTvar(0, 0, 1, nope=2),
    ],
    ids=[
        "var-negative-index",
        "var-float-index",
        "var-str-index",
        "var-str-start",
        "num-str",
        "num-none",
        "bin-int-op",
        "bin-unary-op",
        "un-int-op",
        "un-binary-op",
        "bin-none-left",
        "bin-none-right",
        "un-none-child",
        "bin-float-child",
        "un-str-child",
        "var-missing-arg",
        "var-unknown-keyword",
    ],
)
def test_wrong_arguments_raise_type_error(build):
    with pytest.raises(TypeError):
        build()


@pytest.mark.parametrize(
    "params",
    [[-1], [1.5], ["3"], 3, [None]],
    ids=["negative-extent", "float-extent", "str-extent", "not-a-list", "none-extent"],
)
def test_crinit_refuses_wrong_argument_types(params, native):
    x = vm.ASTvar(0, 0.0, 1.0)
    with pytest.raises(TypeError):
        x.crinit(params)


@pytest.mark.parametrize("index", [2**63, 2**63 + 5, 2**64 - 1], ids=["2**63", "2**63+5", "2**64-1"])
def test_variable_index_beyond_signed_range_is_refused(index):
    with pytest.raises(ValueError):
        vm.ASTvar(index, 0.0, 1.0)


def test_largest_signed_index_is_accepted(native):
    vm.ASTvar(2**63 - 1, 0.0, 1.0).view()
    assert native()[0] == f"astvar({2**63 - 1})\n"


def test_abstract_node_has_no_constructor():
    with pytest.raises(TypeError) as info:
        vm.ASTnode()
    assert str(info.value).endswith(": No constructor defined!")


def test_all_node_classes_derive_from_astnode():
    for cls in (vm.ASTnum, vm.ASTvar, vm.ASTbin, vm.ASTun):
        assert issubclass(cls, vm.ASTnode)
        for method in ("crinit", "creval", "view", "crgen"):
            assert callable(getattr(cls, method))


# --- attributes -------------------------------------------------------------


@pytest.mark.parametrize(
    "build",
    [lambda: vm.ASTbin(vm.ADD, vm.ASTnum(1), vm.ASTnum(2)), lambda: vm.ASTun(vm.SIN, vm.ASTnum(1))],
    ids=["ASTbin", "ASTun"],
)
def test_operation_nodes_accept_new_attributes(build):
    node = build()
    node.label = "mine"
    node.weight = 3
    assert (node.label, node.weight) == ("mine", 3)
    assert node.__dict__ == {"label": "mine", "weight": 3}
    other = build()
    assert not hasattr(other, "label")


@pytest.mark.parametrize(
    "build",
    [lambda: vm.ASTnum(1.0), lambda: vm.ASTvar(0, 0.0, 1.0)],
    ids=["ASTnum", "ASTvar"],
)
def test_leaves_refuse_new_attributes(build):
    node = build()
    with pytest.raises(AttributeError):
        node.label = "mine"


# --- documentation ----------------------------------------------------------


def test_module_doc_is_empty_string():
    assert vm.__doc__ == ""


@pytest.mark.parametrize(
    "owner, name",
    [
        (vm.ASTnode, "crinit"),
        (vm.ASTnode, "creval"),
        (vm.ASTnode, "view"),
        (vm.ASTnode, "crgen"),
        (vm.ASTnum, "__init__"),
        (vm.ASTvar, "__init__"),
        (vm.ASTbin, "__init__"),
        (vm.ASTun, "__init__"),
    ],
    ids=lambda v: v if isinstance(v, str) else v.__name__,
)
def test_functions_carry_only_signature_lines(owner, name):
    doc = getattr(owner, name).__doc__
    lines = [line for line in doc.splitlines() if line.strip()]
    assert lines
    assert all(line.startswith(name + "(") and "->" in line for line in lines), doc


@pytest.mark.parametrize("cls", [vm.ASTnode, vm.ASTnum, vm.ASTvar, vm.ASTbin, vm.ASTun], ids=lambda c: c.__name__)
def test_classes_have_no_docstring(cls):
    assert not cls.__doc__


def test_constructor_signatures_name_their_keywords():
    assert "index: int" in vm.ASTvar.__init__.__doc__
    for name in ("start", "step"):
        assert name + ":" in vm.ASTvar.__init__.__doc__
    for name in ("op", "left", "right"):
        assert name + ":" in vm.ASTbin.__init__.__doc__
    for name in ("op", "child"):
        assert name + ":" in vm.ASTun.__init__.__doc__
    assert "value:" in vm.ASTnum.__init__.__doc__
    assert "params:" in vm.ASTnode.crinit.__doc__


# --- ownership --------------------------------------------------------------


def test_child_shared_by_two_parents_serves_both(native):
    x = vm.ASTvar(0, 1.0, 1.0)
    square = vm.ASTbin(vm.MUL, x, x)
    shifted = vm.ASTbin(vm.ADD, x, vm.ASTnum(10.0))
    square.crinit([3])
    shifted.crinit([3])
    assert square.creval() == [1.0, 4.0, 9.0]
    assert shifted.creval() == [11.0, 12.0, 13.0]
    # The shared child keeps its own (empty) driver state.
    with pytest.raises(RuntimeError):
        x.creval()


def test_child_is_kept_alive_by_its_parent(native):
    def build():
        child = vm.ASTbin(vm.ADD, vm.ASTvar(0, 0.0, 2.0), vm.ASTnum(1.0))
        return vm.ASTun(vm.NEG, child)

    parent = build()
    gc.collect()
    parent.view()
    assert native()[0] == "astun\nastbin\nastvar(0)\nastnum(1)\n"
    parent.crinit([3])
    assert parent.creval() == [-1.0, -3.0, -5.0]


def test_driver_state_belongs_to_the_node_it_was_called_on(native):
    x = vm.ASTvar(0, 0.0, 1.0)
    e = vm.ASTbin(vm.ADD, x, vm.ASTnum(5.0))
    x.crinit([2])
    e.crinit([4])
    assert x.creval() == [0.0, 1.0]
    assert e.creval() == [5.0, 6.0, 7.0, 8.0]


# --- depth limit --------------------------------------------------------------


def test_tree_of_ten_thousand_levels_is_built_and_evaluated(native):
    node = vm.ASTvar(0, 1.0, 1.0)
    for _ in range(9999):
        node = vm.ASTun(vm.NEG, node)
    # 9999 negations of x: -x
    node.crinit([3])
    assert node.creval() == [-1.0, -2.0, -3.0]
    native()
    node.view()
    lines = native()[0].splitlines()
    assert len(lines) == 10000
    assert lines[-1] == "astvar(0)"


def test_building_a_hundred_thousand_levels_stops_with_recursion_error(native):
    node = vm.ASTvar(0, 0.0, 1.0)
    built = 1
    with pytest.raises(RecursionError):
        for _ in range(100_000):
            node = vm.ASTun(vm.SIN, node)
            built += 1
    assert built == 10_000
    # Binary nodes count the deeper side as well.
    with pytest.raises(RecursionError):
        vm.ASTbin(vm.ADD, vm.ASTnum(1.0), node)
    with pytest.raises(RecursionError):
        vm.ASTbin(vm.ADD, node, vm.ASTnum(1.0))
    del node
    gc.collect()
    # The interpreter is still sound.
    e = vm.ASTun(vm.SIN, vm.ASTvar(0, 0.0, 0.5))
    e.crinit([2])
    assert e.creval()[1] == pytest.approx(math.sin(0.5), rel=1e-15)


# --- operations without a lowering rule ----------------------------------------


@pytest.mark.parametrize(
    "build, name",
    [
        (lambda x: vm.ASTun(vm.FAC, x), "FAC"),
        (lambda x: vm.ASTun(vm.ut(99), x), "ut(99)"),
        (lambda x: vm.ASTbin(vm.bt(42), x, x), "bt(42)"),
        (lambda x: vm.ASTbin(vm.ADD, x, vm.ASTun(vm.FAC, vm.ASTnum(3.0))), "FAC"),
    ],
    ids=["FAC", "ut-99", "bt-42", "FAC-below-root"],
)
def test_operation_without_lowering_is_refused_by_crinit(build, name, native):
    node = build(vm.ASTvar(0, 0.0, 1.0))
    with pytest.raises(ValueError) as info:
        node.crinit([3])
    assert name in str(info.value)
    assert native()[0] == ""
    with pytest.raises(RuntimeError):
        node.creval()


# --- interpreters ---------------------------------------------------------------


SUBINTERPRETER_PROBE = """
import _xxsubinterpreters as interpreters
import vemiral
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import vemiral")
    print("loaded")
except interpreters.RunFailedError as e:
    print("refused", e)
finally:
    interpreters.destroy(interp)
assert vemiral.ASTnum(1.0) is not None
"""


def test_module_refuses_to_load_in_a_subinterpreter():
    # In a process of its own: the binding library keeps the bookkeeping it
    # made for the refused interpreter until the process ends, which a leak
    # checker would otherwise report against this test run.
    pytest.importorskip("_xxsubinterpreters")
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_PROBE], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("refused") and "ImportError" in run.stdout
