"""Native text output: tree dumps, printed chains of every kind, and the timing report."""

import math
import os
import re

import pytest

import vemiral as vm

from helpers import num, var

E = math.e


# --- view -------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [
        (2.5, "2.5"),
        (1e7, "1e+07"),
        (0.1, "0.1"),
        (-1.0, "-1"),
        (0.0, "0"),
        (1e6, "1e+06"),
        (123456.0, "123456"),
        (1234567.0, "1.23457e+06"),
        (3.14159265, "3.14159"),
        (0.0001, "0.0001"),
        (0.00001, "1e-05"),
        (1.5e-7, "1.5e-07"),
        (float("inf"), "inf"),
        (-float("inf"), "-inf"),
        (7, "7"),
    ],
    ids=lambda v: repr(v) if not isinstance(v, str) else v,
)
def test_number_leaf_prints_in_default_double_format(value, text, native):
    assert num(value).view() is None
    assert native() == (f"astnum({text})\n", "")


def test_variable_prints_only_its_index(native):
    vm.ASTvar(3, 0.5, 1.0).view()
    assert native() == ("astvar(3)\n", "")


def test_binary_node_prints_preorder_without_indentation(native):
    e = vm.ASTbin(vm.ADD, var(0), vm.ASTun(vm.SIN, num(1.0)))
    e.view()
    assert native() == ("astbin\nastvar(0)\nastun\nastnum(1)\n", "")


def test_node_used_twice_is_printed_at_each_place(native):
    x = var(7)
    e = vm.ASTbin(vm.POW, vm.ASTbin(vm.MUL, x, x), vm.ASTun(vm.NEG, x))
    e.view()
    assert native()[0] == "astbin\nastbin\nastvar(7)\nastvar(7)\nastun\nastvar(7)\n"


def test_operation_codes_do_not_appear_in_the_dump(native):
    for op in (vm.ADD, vm.SUB, vm.MUL, vm.DIV, vm.POW, vm.bt(42)):
        vm.ASTbin(op, num(1.0), num(2.0)).view()
        assert native()[0] == "astbin\nastnum(1)\nastnum(2)\n"
    for op in (vm.NEG, vm.FAC, vm.EXP, vm.TAN, vm.ut(99)):
        vm.ASTun(op, num(2.0)).view()
        assert native()[0] == "astun\nastnum(2)\n"


# --- chains printed by crinit ---------------------------------------------------


def _sum2d():
    # x over dim 0 {1.5, +, 1}, y over dim 1 {2, +, 10}: y's chain receives
    # and becomes {{1.5 + 2, +, 1}, +, 10}.
    return vm.ASTbin(vm.ADD, var(0, 1.5, 1.0), var(1, 2.0, 10.0))


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: num(2.5), "CRnum(2.5)"),
        (lambda: num(1e6), "CRnum(1e+06)"),
        (lambda: vm.ASTbin(vm.ADD, num(2.0), num(3.0)), "CRnum(5)"),
        (lambda: vm.ASTbin(vm.SUB, num(0.0), num(1.0)), "CRnum(-1)"),
        (lambda: vm.ASTbin(vm.POW, num(0.0), num(0.0)), "CRnum(1)"),
        (lambda: vm.ASTbin(vm.DIV, num(1.0), num(0.0)), "CRnum(inf)"),
        (lambda: var(0, 2.0, 3.0), "CRsum[2](CRnum(2), CRnum(3))"),
        (lambda: var(4, 0.1, -0.25), "CRsum[0.1](CRnum(0.1), CRnum(-0.25))"),
        (lambda: vm.ASTbin(vm.ADD, var(0, 2.0, 3.0), num(4.0)), "CRsum[6](CRnum(6), CRnum(3))"),
        (lambda: vm.ASTbin(vm.SUB, var(0, 2.0, 3.0), num(3.0)), "CRsum[-1](CRnum(-1), CRnum(3))"),
        (lambda: vm.ASTbin(vm.SUB, num(3.0), var(0, 2.0, 3.0)), "CRsum[1](CRnum(1), CRnum(-3))"),
        (lambda: vm.ASTbin(vm.DIV, var(0, 2.0, 3.0), num(2.0)), "CRsum[1](CRnum(1), CRnum(1.5))"),
        (
            lambda: vm.ASTbin(vm.MUL, var(0, 1.0, 1.0), var(0, 1.0, 1.0)),
            "CRsum[1](CRnum(1), CRnum(3), CRnum(2))",
        ),
        (_sum2d, "CRsum[3.5](CRsum[3.5](CRnum(3.5), CRnum(1)), CRnum(10))"),
        (
            lambda: vm.ASTbin(vm.ADD, var(1, 2.0, 10.0), var(0, 1.5, 1.0)),
            "CRsum[3.5](CRsum[3.5](CRnum(3.5), CRnum(1)), CRnum(10))",
        ),
        (
            lambda: vm.ASTbin(vm.MUL, var(0, 1.5, 1.0), var(1, 2.0, 10.0)),
            "CRsum[3](CRsum[3](CRnum(3), CRnum(2)), CRsum[15](CRnum(15), CRnum(10)))",
        ),
        (lambda: vm.ASTbin(vm.POW, num(2.0), var(0, 3.0, 1.0)), "CRprod[8](CRnum(8), CRnum(2))"),
        (lambda: vm.ASTbin(vm.POW, num(2.0), var(0, 3.0, 0.0)), "CRprod[8](CRnum(8), CRnum(1))"),
        (lambda: vm.ASTun(vm.EXP, var(0, 3.0, 0.0)), "CRprod[20.0855](CRnum(20.0855))"),
        (
            lambda: vm.ASTbin(vm.MUL, vm.ASTun(vm.EXP, var(0, 1.0, 0.0)), num(2.0)),
            "CRprod[5.43656](CRnum(5.43656))",
        ),
        (lambda: vm.ASTun(vm.EXP, var(0, 0.0, 1.0)), "CRprod[1](CRnum(1), CRnum(2.71828))"),
        (lambda: vm.ASTun(vm.SIN, var(0, 0.0, 1.0)), "CRtrig[0]()"),
        (lambda: vm.ASTun(vm.COS, var(0, 0.0, 1.0)), "CRtrig[1]()"),
        (lambda: vm.ASTun(vm.SIN, var(0, 0.5, 1.0)), "CRtrig[0.479426]()"),
        (lambda: vm.ASTbin(vm.MUL, num(3.0), vm.ASTun(vm.COS, var(0, 0.0, 1.0))), "CRtrig[3]()"),
        (
            lambda: vm.ASTbin(vm.POW, var(0, 4.0, 1.0), num(0.5)),
            "CRexpr[2](CRsum[4](CRnum(4), CRnum(1)), CRnum(0.5))",
        ),
        (
            lambda: vm.ASTbin(vm.DIV, num(1.0), var(0, 4.0, 1.0)),
            "CRexpr[0.25](CRexpr[0.25](CRsum[4](CRnum(4), CRnum(1)), CRnum(-1)), CRnum(1))",
        ),
        (
            lambda: vm.ASTbin(vm.ADD, vm.ASTun(vm.EXP, var(0, 0.0, 1.0)), num(2.0)),
            "CRexpr[3](CRprod[1](CRnum(1), CRnum(2.71828)), CRnum(2))",
        ),
        (
            lambda: vm.ASTun(vm.LN, var(0, E, 1.0)),
            "CRexpr[1](CRsum[2.71828](CRnum(2.71828), CRnum(1)))",
        ),
        (
            lambda: vm.ASTbin(vm.POW, num(2.0), vm.ASTun(vm.EXP, var(0, 0.0, 1.0))),
            "CRexpr[2](CRnum(2), CRprod[1](CRnum(1), CRnum(2.71828)))",
        ),
    ],
    ids=[
        "num",
        "num-million",
        "num-folded-sum",
        "num-folded-difference",
        "num-zero-to-zero",
        "num-inf",
        "sum",
        "sum-other-dimension",
        "sum-plus-constant",
        "sum-minus-constant",
        "constant-minus-sum",
        "sum-over-constant",
        "sum-squared",
        "sum-nested-two-dimensions",
        "sum-nested-two-dimensions-reversed",
        "product-of-two-dimensions",
        "prod-constant-to-sum",
        "prod-constant-to-sum-not-simplified",
        "prod-exp-trailing-one-dropped",
        "prod-scaled-trailing-one-dropped",
        "prod-exp",
        "trig-sin",
        "trig-cos",
        "trig-sin-shifted-start",
        "trig-cos-scaled",
        "expr-sqrt",
        "expr-reciprocal",
        "expr-prod-plus-constant",
        "expr-ln-of-sum",
        "expr-constant-to-prod",
    ],
)
def test_crinit_prints_the_initialised_chain_without_line_end(build, text, native):
    node = build()
    assert node.crinit([3]) is None
    assert native() == (text, "")


def test_chain_print_reflects_initial_not_shifted_state(native):
    x = var(0, 2.0, 3.0)
    x.crinit([4])
    native()
    assert x.creval() == [2.0, 5.0, 8.0, 11.0]
    native()
    x.crinit([4])
    assert native()[0] == "CRsum[2](CRnum(2), CRnum(3))"


# --- timing report --------------------------------------------------------------

NUMBER = r"-?(?:\d+(?:\.\d*)?|\.\d+)(?:e[+-]\d+)?"
REPORT = re.compile(
    r"Total loop time: (" + NUMBER + r") ms\n"
    r"  valueof\(\):     0 ms\n"
    r"  push_back:     0 ms\n"
    r"  shifting:      0 ms\n"
    r"  copying:       (" + NUMBER + r") ms\n"
)


def _significant_digits(text):
    mantissa = text.lstrip("-").split("e")[0].replace(".", "").lstrip("0")
    return len(mantissa)


@pytest.mark.parametrize(
    "build, extents",
    [
        (lambda: var(0, 2.0, 0.5), [3]),
        (lambda: vm.ASTbin(vm.ADD, var(0), var(1, 0.0, 10.0)), [2, 3]),
        (lambda: vm.ASTbin(vm.MUL, var(2), vm.ASTun(vm.SIN, var(0))), [3, 2, 4]),
        (lambda: num(4.0), [2, 2]),
    ],
    ids=["one-dimension", "two-dimensions", "three-dimensions", "constant-2d"],
)
def test_report_follows_the_chain_on_the_same_line(build, extents, native):
    node = build()
    node.crinit(extents)
    chain, _ = native()
    node.creval()
    out, err = native()
    assert err == ""
    match = REPORT.fullmatch(out)
    assert match, out
    total, copying = (float(g) for g in match.groups())
    assert total >= 0 and copying >= 0
    for group in match.groups():
        assert _significant_digits(group) <= 6
    if len(extents) == 1:
        assert match.group(2) == "0"
    # Printed together, the report continues the chain's line.
    node.crinit(extents)
    node.creval()
    out, _ = native()
    first, rest = out.split("\n", 1)
    assert first.startswith(chain + "Total loop time: ")
    assert REPORT.fullmatch(first[len(chain):] + "\n" + rest)


def test_each_creval_prints_its_own_report(native):
    node = var(0, 1.0, 1.0)
    node.crinit([2])
    native()
    node.creval()
    node.creval()
    out, _ = native()
    assert len(REPORT.findall(out)) == 2
    assert out.count("Total loop time: ") == 2
    assert out.count("\n") == 10


def test_refused_calls_print_nothing(native):
    node = var(0)
    with pytest.raises(RuntimeError):
        node.creval()
    with pytest.raises(ValueError):
        node.crinit([0])
    assert native() == ("", "")


# --- flushing -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, head",
    [
        (lambda n: n.view(), "astbin\n"),
        (lambda n: n.crinit([2]), "CRsum[1]("),
    ],
    ids=["view", "crinit"],
)
def test_native_output_is_flushed_before_returning(call, head, native):
    node = vm.ASTbin(vm.ADD, var(0, 0.0, 1.0), num(1.0))
    call(node)
    os.write(1, b"<marker>")
    out, _ = native()
    assert out.startswith(head)
    assert out.endswith("<marker>")


def test_report_is_flushed_before_creval_returns(native):
    node = var(0, 0.0, 1.0)
    node.crinit([2])
    os.write(1, b"|")
    node.creval()
    os.write(1, b"<marker>")
    out, _ = native()
    assert out.startswith("CRsum[0](CRnum(0), CRnum(1))|Total loop time: ")
    assert out.endswith(" ms\n<marker>")
