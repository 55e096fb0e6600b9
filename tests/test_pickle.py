"""Trees travel: pickle and deepcopy round trips, shared nodes, deep trees and refused states."""

import copy
import math
import pickle
import random
import struct
import sys

import numpy as np
import pytest

import vemiral as vm
from helpers import bin_, num, un, var

MAX_DEPTH = 10_000
RECORD = 32
KIND_NUM, KIND_VAR, KIND_BIN, KIND_UN, KIND_FUN = 0, 1, 2, 3, 4

# Operations with a lowering rule (FAC has none).
BIN_OPS = [vm.ADD, vm.SUB, vm.MUL, vm.DIV, vm.POW]
UN_OPS = [vm.NEG, vm.EXP, vm.LN, vm.SIN, vm.COS, vm.TAN, vm.COT]
LEAF_VALUES = [0.0, -0.0, 1.0, -2.5, 0.1, 3.0, 1e-300, math.inf, math.nan, struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0]]


def records(node):
    """The encoded subtree a node pickles to."""
    function, (fmt, data), *state = node.__reduce__()
    assert function is vm._node_from_state and fmt == 1
    return data


def random_tree(rng, size, dims):
    """A random tree of about `size` nodes over `dims` dimensions, reusing
    earlier subtrees now and then so that some nodes are shared."""
    made = []

    def grow(budget):
        if made and rng.random() < 0.15:
            return rng.choice(made)
        if budget <= 1:
            value = rng.choice(LEAF_VALUES) if rng.random() < 0.2 else rng.uniform(-3.0, 3.0)
            node = num(value) if rng.random() < 0.4 else var(rng.randrange(dims), rng.choice([0.0, 0.5, -1.0]), rng.choice([0.25, 0.001, 1.0]))
        elif rng.random() < 0.35:
            node = un(rng.choice(UN_OPS), grow(budget - 1))
        else:
            left = rng.randrange(1, budget)
            node = bin_(rng.choice(BIN_OPS), grow(left), grow(budget - left))
        made.append(node)
        return node

    return grow(size)


def values(node, extents):
    node.crinit(extents)
    return node.crarray()


def same_bits(a, b):
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def forged(*args, state=None):
    """A pickle whose loading calls the node rebuilder with `args`, then sets
    `state` on the node unless it is None."""

    class Forged:
        def __reduce__(self):
            return (vm._node_from_state, args) if state is None else (vm._node_from_state, args, state)

    return pickle.dumps(Forged())


def record(kind, op=0, a=0, b=0, c=0, padding=b"\0\0\0"):
    return struct.pack("<B3siQQQ", kind, padding, op, a, b, c)


def f64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# --- round trips ----------------------------------------------------------------

COPIERS = {
    **{f"pickle protocol {p}": (lambda n, p=p: pickle.loads(pickle.dumps(n, protocol=p))) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "deepcopy": copy.deepcopy,
    "copy": copy.copy,
}


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("seed", range(12), ids=lambda s: f"seed {s}")
def test_random_trees_round_trip_bit_for_bit(copier, seed, native):
    rng = random.Random(seed)
    dims = rng.randrange(1, 4)
    tree = random_tree(rng, rng.randrange(1, 40), dims)
    twin = copier(tree)
    assert type(twin) is type(tree) and twin is not tree
    assert records(twin) == records(tree)
    extents = [rng.randrange(1, 7) for _ in range(dims)]
    try:
        expected = values(tree, extents)
    except MemoryError:  # a shared node copied past the chain budget
        with pytest.raises(MemoryError):
            twin.crinit(extents)
        return
    assert same_bits(values(twin, extents), expected)
    native()


@pytest.mark.parametrize(
    "leaf",
    [num(x) for x in LEAF_VALUES] + [var(0, math.nan, -0.0), var(2**63 - 1, 1e308, -1e-308)],
    ids=lambda n: repr(records(n)[8:16].hex()),
)
def test_leaf_numbers_keep_every_bit(leaf):
    twin = pickle.loads(pickle.dumps(leaf))
    assert records(twin) == records(leaf)


def test_the_copy_prints_the_same_tree_and_generates_the_same_program(native):
    tree = bin_(vm.MUL, un(vm.SIN, var(0, 0.0, 0.5)), un(vm.EXP, var(1, 1.0, 0.25)))
    twin = copy.deepcopy(tree)
    tree.view()
    printed = native()
    twin.view()
    assert native() == printed
    tree.crinit([4, 3])
    twin.crinit([4, 3])
    assert native()[0] != ""
    assert twin.crgen() == tree.crgen()


def test_crinit_state_stays_behind(native):
    tree = bin_(vm.ADD, var(0), var(1, 0.0, 10.0))
    tree.crinit([2, 3])
    for twin in (pickle.loads(pickle.dumps(tree)), copy.deepcopy(tree)):
        with pytest.raises(RuntimeError, match="crinit must come first"):
            twin.creval()
        with pytest.raises(RuntimeError, match="crinit must come first"):
            twin.crarray()
    native()
    assert tree.creval() == [0.0, 10.0, 20.0, 1.0, 11.0, 21.0]


@pytest.mark.parametrize("node", [bin_(vm.bt(42), num(1.0), var(0)), un(vm.ut(99), var(0)), un(vm.FAC, num(3.0))], ids=["bt(42)", "ut(99)", "FAC"])
def test_operation_codes_without_a_rule_travel_and_are_refused_alike(node):
    twin = pickle.loads(pickle.dumps(node))
    assert records(twin) == records(node)
    with pytest.raises(ValueError) as original:
        node.crinit([2])
    with pytest.raises(ValueError) as copied:
        twin.crinit([2])
    assert str(copied.value) == str(original.value)


# --- sharing --------------------------------------------------------------------


def test_a_shared_leaf_is_written_once():
    x = var(0)
    assert len(records(bin_(vm.MUL, un(vm.SIN, x), x))) == 3 * RECORD
    assert len(records(bin_(vm.MUL, un(vm.SIN, var(0)), var(0)))) == 4 * RECORD


def test_a_doubling_tree_stays_as_small_as_it_was(native):
    # 2**200 leaves seen as a tree, 201 distinct nodes.
    node = var(0, 0.5, 0.25)
    for _ in range(200):
        node = bin_(vm.ADD, node, node)
    data = pickle.dumps(node)
    assert len(data) < 201 * RECORD + 200
    twin = pickle.loads(data)
    assert len(records(twin)) == 201 * RECORD
    assert pickle.dumps(twin) == data
    assert len(records(copy.deepcopy(node))) == 201 * RECORD


def test_shared_subtrees_evaluate_alike_after_the_trip(native):
    x, y = var(0, 0.0, 0.1), var(1, 1.0, 0.2)
    shared = un(vm.SIN, bin_(vm.MUL, x, y))
    tree = bin_(vm.ADD, bin_(vm.MUL, shared, shared), bin_(vm.DIV, shared, bin_(vm.ADD, y, num(2.0))))
    twin = pickle.loads(pickle.dumps(tree))
    assert len(records(twin)) == len(records(tree)) == 9 * RECORD
    assert same_bits(values(twin, [5, 7]), values(tree, [5, 7]))
    native()


# --- depth ----------------------------------------------------------------------


def chain(levels):
    node = var(0, 0.0, 0.5)
    for i in range(levels - 1):
        node = un(vm.NEG, node) if i % 2 else bin_(vm.ADD, node, num(1.0))
    return node


def test_a_tree_at_the_depth_limit_travels_with_the_default_recursion_limit():
    assert sys.getrecursionlimit() <= 1000
    tree = chain(MAX_DEPTH)
    data = pickle.dumps(tree)
    twin = pickle.loads(data)
    assert pickle.dumps(twin) == data
    assert records(copy.deepcopy(tree)) == records(tree)
    with pytest.raises(RecursionError):
        un(vm.NEG, twin)


def test_an_encoding_deeper_than_the_limit_is_refused():
    data = bytearray(record(KIND_VAR, b=f64(1.0)))
    for i in range(MAX_DEPTH):
        data += record(KIND_UN, vm.NEG.value, a=i)
    with pytest.raises(ValueError, match="deeper than 10000"):
        pickle.loads(forged(1, bytes(data)))
    twin = pickle.loads(forged(1, bytes(data[:-RECORD])))
    assert records(twin) == bytes(data[:-RECORD])


# --- attributes -----------------------------------------------------------------


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
def test_the_instance_dict_travels(copier):
    tree = un(vm.SIN, var(0))
    tree.label = "wave"
    tree.meta = {"units": ["m", "s"]}
    twin = copier(tree)
    assert twin.__dict__ == {"label": "wave", "meta": {"units": ["m", "s"]}}
    assert twin.__dict__ is not tree.__dict__


def test_deepcopy_copies_the_dict_deeply_and_shares_within_one_call():
    tree = bin_(vm.ADD, var(0), num(1.0))
    tree.meta = {"units": ["m"]}
    a, b = copy.deepcopy([tree, tree])
    assert a is b
    a.meta["units"].append("s")
    assert tree.meta == {"units": ["m"]}


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
def test_an_attribute_referring_to_the_node_refers_to_the_copy(copier):
    x = var(0)
    tree = bin_(vm.ADD, x, un(vm.SIN, x))
    tree.itself = tree
    tree.pair = [tree, x]
    twin = copier(tree)
    if copier is copy.copy:  # shallow: the attributes are the same objects
        assert twin.itself is tree
    else:
        assert twin.itself is twin and twin.pair[0] is twin
        assert twin.pair[1] is not x and twin.pair[1].index == 0


def test_a_shared_node_is_one_object_after_the_trip():
    x = var(0)
    s = un(vm.SIN, x)
    twin = pickle.loads(pickle.dumps(bin_(vm.MUL, s, bin_(vm.ADD, s, x))))
    assert twin.left is twin.right.left
    assert twin.left.child is twin.right.right
    assert twin.left is not s


def test_an_empty_dict_and_leaves_without_one():
    assert not hasattr(num(1.0), "__dict__")
    assert pickle.loads(pickle.dumps(bin_(vm.ADD, var(0), var(1)))).__dict__ == {}


# --- refused states -------------------------------------------------------------

VAR0 = record(KIND_VAR, b=f64(0.0), c=f64(1.0))
NUM1 = record(KIND_NUM, a=f64(1.0))

# Function records as earlier versions wrote them keep their meaning: a function's code
# never changes, and new functions take the codes after where's (42).
WRITTEN = [(0, (0,), "abs(x0)"), (26, (0, 1), "atan2(x0, 1.0)"), (41, (0, 1), "x0 | 1.0"),
           (42, (0, 1, 0), "where(x0, 1.0, x0)"), (43, (0,), "gamma(x0)"), (49, (1, 0), "jn(1.0, x0)"),
           (50, (0, 1), "logaddexp(x0, 1.0)")]


@pytest.mark.parametrize("code, arguments, text", WRITTEN, ids=[t for _, _, t in WRITTEN])
def test_function_codes_keep_their_meaning(code, arguments, text):
    leaves = VAR0 + NUM1 if len(arguments) > 1 else VAR0
    assert repr(vm._node_from_state(1, leaves + record(KIND_FUN, code, *arguments))) == text

DAMAGED = {
    # (format, records, attributes) -> exception
    "truncated by one byte": ((1, (VAR0 + NUM1 + record(KIND_BIN, 0, 0, 1))[:-1]), ValueError),
    "truncated to half a record": ((1, VAR0[:16]), ValueError),
    "no records": ((1, b""), ValueError),
    "unknown kind 5": ((1, record(5)), ValueError),
    "unknown function": ((1, VAR0 + record(KIND_FUN, len(vm.ft.__members__), 0)), ValueError),
    "second argument of a one-argument function": ((1, VAR0 + NUM1 + record(KIND_FUN, 0, 0, 1)), ValueError),
    "third argument of where not there": ((1, VAR0 + NUM1 + record(KIND_FUN, int(vm.ft.WHERE), 0, 1, 9)), ValueError),
    "unknown kind 255": ((1, record(255)), ValueError),
    "non-zero padding": ((1, record(KIND_NUM, padding=b"\0\1\0")), ValueError),
    "op in a number": ((1, record(KIND_NUM, op=1)), ValueError),
    "step bits in a number": ((1, record(KIND_NUM, c=1)), ValueError),
    "third field in a binary node": ((1, VAR0 + NUM1 + record(KIND_BIN, 0, 0, 1, 7)), ValueError),
    "second field in a unary node": ((1, VAR0 + record(KIND_UN, 2, 0, 1)), ValueError),
    "variable index 2**63": ((1, record(KIND_VAR, a=2**63)), ValueError),
    "child that does not exist": ((1, VAR0 + record(KIND_UN, 2, 5)), ValueError),
    "child index 2**64-1": ((1, VAR0 + record(KIND_BIN, 0, 0, 2**64 - 1)), ValueError),
    "node its own child": ((1, VAR0 + record(KIND_BIN, 0, 0, 1)), ValueError),
    "two nodes in a cycle": ((1, record(KIND_UN, 2, 1) + record(KIND_UN, 2, 0)), ValueError),
    "child after its parent": ((1, record(KIND_UN, 2, 1) + VAR0), ValueError),
    "record outside the tree": ((1, NUM1 + VAR0 + record(KIND_UN, 2, 1)), ValueError),
    "root not last": ((1, VAR0 + record(KIND_UN, 2, 0) + NUM1), ValueError),
    "format 2": ((2, VAR0), ValueError),
    "format 0": ((0, VAR0), ValueError),
    "format 2**100": ((2**100, VAR0), ValueError),
    "format as str": (("1", VAR0), TypeError),
    "format as float": ((1.0, VAR0), TypeError),
    "format as bool": ((True, VAR0), TypeError),
    "records as str": ((1, VAR0.decode("latin-1")), TypeError),
    "records as bytearray": ((1, bytearray(VAR0)), TypeError),
    "records as list": ((1, list(VAR0)), TypeError),
    "records as None": ((1, None), TypeError),
    "one item": ((1,), TypeError),
    "three items": ((1, VAR0, {}), TypeError),
    "nothing": ((), TypeError),
}


@pytest.mark.parametrize("state, error", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_states_are_refused(state, error):
    with pytest.raises(error):
        pickle.loads(forged(*state))
    with pytest.raises(error):
        vm._node_from_state(*state)


UN0 = VAR0 + record(KIND_UN, 2, 0)

DAMAGED_ATTRIBUTES = {
    # (records, attributes set after the node is built) -> exception
    "attributes as a list": ((UN0, [("label", "x")]), TypeError),
    "attributes as an int": ((UN0, 5), TypeError),
    "attributes as a pair": ((UN0, ({"label": "x"}, None)), TypeError),
    "an attribute name not a str": ((UN0, {"label": "x", 1: "y"}), TypeError),
    "attributes on a variable": ((VAR0, {"label": "x"}), ValueError),
    "attributes on a number": ((NUM1, {"label": "x"}), ValueError),
}


@pytest.mark.parametrize("state, error", DAMAGED_ATTRIBUTES.values(), ids=DAMAGED_ATTRIBUTES.keys())
def test_damaged_attributes_are_refused_and_set_nothing(state, error):
    data, attributes = state
    with pytest.raises(error):
        pickle.loads(forged(1, data, state=attributes))
    node = vm._node_from_state(1, data)
    with pytest.raises(error):
        node.__setstate__(attributes)
    assert getattr(node, "__dict__", {}) == {}


def test_the_refusal_names_the_record_and_the_reason():
    with pytest.raises(ValueError, match=r"record 1: child refers to record 5, which does not exist"):
        vm._node_from_state(1, VAR0 + record(KIND_UN, 2, 5))
    with pytest.raises(ValueError, match=r"record 0: left child refers to record 1, which does not come before it"):
        vm._node_from_state(1, record(KIND_BIN, 0, 1, 1) + VAR0)


def test_random_damage_is_refused_or_gives_a_valid_tree():
    """Every single-byte change, truncation or splice of real encodings either
    decodes to a tree that encodes back to the same bytes or is refused with
    ValueError; nothing else happens."""
    rng = random.Random(1234)
    good = [records(random_tree(rng, rng.randrange(2, 30), 3)) for _ in range(20)]
    refused = accepted = 0
    for _ in range(3000):
        data = bytearray(rng.choice(good))
        change = rng.randrange(3)
        if change == 0:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif change == 1:
            del data[rng.randrange(len(data)) :]
        else:
            other = rng.choice(good)
            cut = rng.randrange(len(data) + 1)
            data[cut:] = other[rng.randrange(len(other) + 1) :]
        try:
            node = vm._node_from_state(1, bytes(data))
        except ValueError:
            refused += 1
            continue
        accepted += 1
        assert isinstance(node, vm.ASTnode)
        # Canonical: the same tree always encodes to the same bytes.
        assert records(node) == records(pickle.loads(pickle.dumps(node)))
    assert refused > 1000 and accepted > 100


def test_values_survive_a_trip_through_another_process(tmp_path, native):
    import subprocess

    tree = bin_(vm.ADD, un(vm.SIN, bin_(vm.MUL, var(0, 0.0, 0.01), var(1, 1.0, 0.02))), un(vm.COS, bin_(vm.ADD, var(0, 0.0, 0.01), var(1, 1.0, 0.02))))
    (tmp_path / "tree.pkl").write_bytes(pickle.dumps(tree))
    script = (
        "import pickle, sys, numpy as np\n"
        "t = pickle.load(open(sys.argv[1], 'rb'))\n"
        "t.crinit([30, 40])\n"
        "np.save(sys.argv[2], t.crarray())\n"
    )
    subprocess.run([sys.executable, "-c", script, str(tmp_path / "tree.pkl"), str(tmp_path / "out.npy")], check=True, capture_output=True)
    assert same_bits(np.load(tmp_path / "out.npy"), values(tree, [30, 40]))
    native()
