"""Evaluates a formula given as text on a grid given by ranges and draws it, then three real
surfaces built as trees, with vemiral and with NumPy, then prints a generated program.

Run with `bash scripts/demo.sh [directory for the picture]`.
"""

import os
import sys
import time

from pathlib import Path

import numpy as np

import vemiral as vm
from vemiral_grid import Grid, save_png

SHAPE = (600, 800)  # dimension 0 (x) by dimension 1 (y)
X0, DX = 0.0, 1.0 / 600
Y0, DY = -1.0, 2.0 / 800


def x():
    return vm.ASTvar(0, X0, DX)


def y():
    return vm.ASTvar(1, Y0, DY)


def c(value):
    return vm.ASTnum(value)


def b(op, left, right):
    return vm.ASTbin(op, left, right)


def u(op, child):
    return vm.ASTun(op, child)


def axes():
    i, j = np.ogrid[0:SHAPE[0], 0:SHAPE[1]]
    return X0 + DX * i, Y0 + DY * j


SURFACES = [
    (
        "polynomial surface 2x^3 - 3xy^2 + y - 1",
        lambda: b(vm.SUB,
                  b(vm.ADD,
                    b(vm.SUB, b(vm.MUL, c(2.0), b(vm.POW, x(), c(3.0))),
                      b(vm.MUL, b(vm.MUL, c(3.0), x()), b(vm.POW, y(), c(2.0)))),
                    y()),
                  c(1.0)),
        lambda xs, ys: 2.0 * xs**3 - (3.0 * xs) * ys**2 + (ys - 1.0),
    ),
    (
        "damped wave exp(-x) * sin(10 x y)",
        lambda: b(vm.MUL, u(vm.EXP, u(vm.NEG, x())),
                  u(vm.SIN, b(vm.MUL, b(vm.MUL, c(10.0), x()), y()))),
        lambda xs, ys: np.exp(-xs) * np.sin((10.0 * xs) * ys),
    ),
    (
        "Gaussian exp(-(x^2 + y^2) / 0.5)",
        lambda: u(vm.EXP, b(vm.DIV,
                            u(vm.NEG, b(vm.ADD, b(vm.POW, x(), c(2.0)), b(vm.POW, y(), c(2.0)))),
                            c(0.5))),
        lambda xs, ys: np.exp(-(xs * xs + ys * ys) / 0.5),
    ),
]


def native_output_to(path):
    """Points file descriptor 1 (where native code prints) at path; returns the saved one."""
    sys.stdout.flush()
    saved = os.dup(1)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(fd, 1)
    os.close(fd)
    return saved


def restore(saved):
    sys.stdout.flush()
    os.dup2(saved, 1)
    os.close(saved)


def best(fn, repeats=5):
    result, fastest = None, float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        fastest = min(fastest, time.perf_counter() - t0)
    return result, fastest


def show_surface(title, build, numpy_formula):
    print(f"== {title} on a {SHAPE[0]} x {SHAPE[1]} grid")
    e = build()
    saved = native_output_to(os.devnull)
    try:
        e.crinit(list(SHAPE))          # prints the chain of recurrences
        listed, t_creval = best(e.creval)  # prints a timing report each time
    finally:
        restore(saved)
    array, t_crarray = best(e.crarray)
    xs, ys = axes()
    reference, t_numpy = best(lambda: numpy_formula(xs, ys))

    assert np.array_equal(np.array(listed), array.ravel()), "creval and crarray disagree"
    points = array.size
    print("   some values (x, y): vemiral | NumPy")
    for i, j in [(0, 0), (150, 400), (599, 799)]:
        px, py = X0 + DX * i, Y0 + DY * j
        print(f"     ({px:.4f}, {py:+.4f}): {array[i, j]: .12f} | {reference[i, j]: .12f}")
    print(f"   largest difference from NumPy: {np.max(np.abs(array - reference)):.2e}")
    print(f"   creval (list) {t_creval * 1e9 / points:7.2f} ns/point, "
          f"crarray {t_crarray * 1e9 / points:5.2f} ns/point, "
          f"NumPy {t_numpy * 1e9 / points:5.2f} ns/point "
          f"(crarray {t_numpy / t_crarray:.1f}x NumPy)\n")


def show_generated_program():
    print("== the program crgen writes for the damped wave on a 3 x 4 grid")
    e = SURFACES[1][1]()
    saved = native_output_to(os.devnull)
    try:
        e.crinit([3, 4])
    finally:
        restore(saved)
    try:
        program = e.crgen()
    except NotImplementedError:
        print("   (crgen is not available in this build yet: the code generator lands separately)")
        return
    print(program)


def show_grid_interface(directory):
    formula = "sin(x*y) + cos(x+y)"
    print(f"== {formula} on a grid given by ranges, from a string")
    grid = Grid(x=(0, 1, 1000), y=(1, 3, 1000))
    values = grid.evaluate(formula)
    x, y = grid.coords["x"][:, None], grid.coords["y"][None, :]
    reference = np.sin(x * y) + np.cos(x + y)
    print(f"   Grid(x=(0, 1, 1000), y=(1, 3, 1000)).evaluate({formula!r}): "
          f"a {values.shape[0]} x {values.shape[1]} array")
    print(f"   largest difference from NumPy on grid.coords: {np.max(np.abs(values - reference)):.2e}")
    by_operators = grid.evaluate(lambda x, y: vm.sin(x * y) + vm.cos(x + y))
    print(f"   the same formula written with operators, vm.sin(x*y) + vm.cos(x + y): "
          f"{'the same bits' if by_operators.tobytes() == values.tobytes() else 'DIFFERENT values'}")
    directory.mkdir(parents=True, exist_ok=True)
    picture = directory / "wave.png"
    save_png(grid, values, str(picture), title=formula)
    print(f"   picture written to {picture}")
    print(f'   the command line does the same: vemiral-grid "{formula}" -a x=0:1:1000 -a y=1:3:1000 '
          f"-o wave.npy --png wave.png\n")


def main():
    root = Path(__file__).resolve().parents[1]
    show_grid_interface(Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "demo")
    print("== the tree API underneath: nodes built by hand, crinit, creval, crarray\n")
    for title, build, formula in SURFACES:
        show_surface(title, build, formula)
    show_generated_program()


if __name__ == "__main__":
    main()
