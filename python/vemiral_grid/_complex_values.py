"""Complex values of a grid: the two real trees of a complex expression
written into the real and imaginary parts of a complex128 or complex64
output.

The default method computes both parts in one native pass (a joint plan:
whatever they share computed once) straight into the output. The recurrence
method evaluates each tree run by run into cache-sized float64 scratch
arrays: a run is a contiguous stretch of the block in C order cut along
whole tiles where it can be (_tiles.file_runs); every point's value depends
on the tree, the tile and the point alone, so any cut gives the same bits,
and threads that take runs side by side do too."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, TypeGuard

import numpy as np

import vemiral

from ._complex import Part, is_complex, parts_of
from ._options import Method
from ._runs import share_runs
from ._tiles import file_runs

COMPLEX_DTYPES = (np.dtype(np.complex128), np.dtype(np.complex64))

# Points per run: a thread's float64 scratch (256 KiB) and its stretch of the output stay in
# its share of the cache while they are copied into the output.
RUN_POINTS = 2**15


def value_dtype(kind: np.dtype[Any], node: object) -> np.dtype[Any]:
    """The dtype of the values of `node` asked for as `kind`: the precision is
    the dtype's, the values complex when the formula's are (float32 or
    complex64 for single precision)."""
    if is_complex(node) and kind not in COMPLEX_DTYPES:
        return np.dtype(np.complex64 if kind == np.float32 else np.complex128)
    return kind


def result_dtype(kind: np.dtype[Any], node: object, out: object = None) -> np.dtype[Any]:
    """The dtype `evaluate` fills: `kind` (asked for, or out's), complex for a
    complex formula; a real `out` for complex values is a TypeError."""
    if is_complex(node) and out is not None and kind not in COMPLEX_DTYPES:
        raise TypeError(f"the formula's values are complex: out must be complex128 or complex64, not {kind}")
    return value_dtype(kind, node)


def prepare_parts(node: object, ndim: int, tile: Sequence[int] | int | None, method: Method) -> None:
    """Builds each part's chain at the grid's first point (see _values.prepare)."""
    for part in parts_of(node):
        if isinstance(part, vemiral.ASTnode):
            part.evaluate((1,) * ndim, tile=tile, threads=1, method=method)


def evaluate_complex(
    node: object,
    out: np.ndarray,
    origin: Sequence[int],
    tile: Sequence[int],
    threads: int | None = None,
    method: Method = "accurate",
) -> np.ndarray:
    """Fills the complex array `out` with the values of the block of out's shape
    at `origin` (a real node's imaginary part is zero) and returns it."""
    if out.dtype not in COMPLEX_DTYPES:
        raise TypeError(f"the values are complex: out must be complex128 or complex64, not {out.dtype}")
    shape = tuple(out.shape)
    flat = out.reshape(-1)
    targets = (flat.real, flat.imag)
    re, im = parts_of(node)
    for target, part in zip(targets, (re, im), strict=True):
        if isinstance(part, float):
            target[...] = part
    if method == "accurate":
        # Both parts in one native pass over the block, straight into the
        # output's slots: what they share (the phase of cos(p) and sin(p),
        # the pair itself, an amplitude) computed once, each part the bits of
        # its own evaluation.
        nodes = [part if isinstance(part, vemiral.ASTnode) else None for part in (re, im)]
        if flat.size:
            vemiral._evaluate_together(nodes, shape, origin=list(origin), tile=list(tile), outs=[out.real, out.imag],
                                       threads=threads)
        return out
    factors: list[vemiral.ASTnode] = []
    if not isinstance(re, float) and not isinstance(im, float):
        factors, re, im = common_factors(re, im)
    trees = [(target, part) for target, part in zip(targets, (re, im), strict=True)
             if isinstance(part, vemiral.ASTnode)]
    if not trees or flat.size == 0:
        return out
    runs = list(file_runs(shape, tile, RUN_POINTS))
    workers = min(len(runs), threads if threads is not None else vemiral.get_num_threads())
    slots = (len(trees) + (1 if factors else 0)) * RUN_POINTS

    def do(run: tuple[tuple[int, ...], tuple[int, ...], int], scratch: np.ndarray) -> None:
        _run(trees, factors, scratch, origin, *run, tile, method)

    if workers <= 1:
        scratch = np.empty(slots, dtype=np.float64)
        for run in runs:
            do(run, scratch)
    else:
        share_runs(runs, workers, do, slots, "vemiral-complex")
    return out


def common_factors(re: Part, im: Part) -> tuple[list[vemiral.ASTnode], Part, Part]:
    """The factors the two parts share at their top, outermost first, and what
    is left of each: A*cos(p) and A*sin(p) (exp(a + ib), a real amplitude
    times a phase factor) are A, cos(p) and sin(p), and A is computed once. A
    variable or a number is no factor worth a pass of its own."""
    factors: list[vemiral.ASTnode] = []
    while _is_product(re) and _is_product(im):
        (a, b), (c, d) = _operands(re), _operands(im)
        # (shared factor, rest of re, rest of im) for each way the two products may share one
        pairs = [(a, b, d, a is c), (b, a, c, b is d), (a, b, c, a is d), (b, a, d, b is c)]
        found = [(f, r, i) for f, r, i, same in pairs if same and not isinstance(f, vemiral.ASTvar | vemiral.ASTnum)]
        if not found:
            break
        factor, re, im = found[0]
        factors.append(factor)
    return factors, re, im


def _is_product(part: Part) -> TypeGuard[vemiral.ASTbin]:
    return isinstance(part, vemiral.ASTbin) and vemiral.ASTbin.op.__get__(part) == vemiral.MUL


def _operands(node: vemiral.ASTnode) -> tuple[vemiral.ASTnode, vemiral.ASTnode]:
    # Through the class: an instance attribute named left or right may shadow the field.
    return vemiral.ASTbin.left.__get__(node), vemiral.ASTbin.right.__get__(node)


def _run(
    trees: list[tuple[np.ndarray, vemiral.ASTnode]],
    factors: list[vemiral.ASTnode],
    scratch: np.ndarray,
    origin: Sequence[int],
    start: tuple[int, ...],
    block: tuple[int, ...],
    offset: int,
    tile: Sequence[int],
    method: Method,
) -> None:
    """One run: each tree into a slot of the scratch array, the shared factors
    (innermost first, as the products were built) multiplied in, and the
    results written into the output's parts."""
    count = math.prod(block)
    at = [o + s for o, s in zip(origin, start, strict=True)]
    slots = [scratch[i * count : (i + 1) * count] for i in range(len(trees) + (1 if factors else 0))]

    def evaluate(tree: vemiral.ASTnode, slot: np.ndarray) -> None:
        tree.evaluate(block, origin=at, tile=list(tile), out=slot.reshape(block), threads=1, method=method)

    for (_, tree), slot in zip(trees, slots, strict=False):
        evaluate(tree, slot)
    for depth, factor in enumerate(reversed(factors)):
        evaluate(factor, slots[-1])
        last = depth == len(factors) - 1
        for (target, _), slot in zip(trees, slots, strict=False):
            into = target[offset : offset + count] if last else slot
            np.multiply(slots[-1], slot, out=into, casting="same_kind")
    if not factors:
        for (target, _), slot in zip(trees, slots, strict=False):
            np.copyto(target[offset : offset + count], slot, casting="same_kind")
