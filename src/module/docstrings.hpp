#pragma once
// Docstrings of the functions that carry one (the docs site shows them and runs
// their examples). The classes and the methods crinit, creval, crgen and view
// carry only pybind11's signature lines: they are documented on the site.

namespace vemiral::docstrings {

inline constexpr const char *crarray = R"(The grid of the last crinit as a float64 NumPy array shaped like the grid.

The same values as creval(), bit for bit, without a Python object per point.
Prints nothing; releases the interpreter lock and shares the rows among the
threads of set_num_threads().

Args:
    out: a writable, C-contiguous float64 array of the grid's shape to fill
        and return instead of a new one.

Raises:
    RuntimeError: before a successful crinit.

>>> import vemiral as vm
>>> e = vm.ASTvar(0, 1.0, 0.5) * vm.ASTvar(1, 2.0, 1.0)
>>> e.crinit([2, 3])  # prints the chain on the process's standard output
>>> e.crarray()
array([[2. , 3. , 4. ],
       [3. , 4.5, 6. ]])
)";

inline constexpr const char *evaluate = R"(The values of the tree on a block of the grid, by tiles; needs no crinit.

Loop variable i takes start + (origin[i] + index[i]) * step, the exact real
number. The grid is cut into tiles of `tile` points along every dimension
from index 0; every tile is lowered afresh at its corner, so a point's value
depends on the tree, the tile and the point alone: any block is the same
slice of the whole grid, bit for bit. Prints nothing, releases the
interpreter lock.

The default method, "accurate", gives every value to within a few units in
the last place of the exact one (the recurrences run from double-double
seeds, in double-double or in short runs of plain doubles); "recurrence"
steps the chains in plain doubles inside each tile, as crarray steps a grid
of the tile's extents.

Integer arguments are ints or anything with __index__ (NumPy integers too), or
sequences of them (a one-dimensional integer array too); bools, floats, text
and None are a TypeError naming the argument.

Args:
    shape: the block's extents, dimension 0 first (a lone int: one dimension).
    origin: the index of the block's first point (default zeros; a lone int:
        one dimension).
    tile: the tile edge, one int for every dimension or one per dimension
        (default default_tile(ndim)).
    out: a writable, C-contiguous float64 array of `shape` to fill (or, by
        the default method, float32: each value rounded once from the double
        it computes).
    threads: threads for this call (default get_num_threads(); 1 computes
        on the calling thread).
    method: "accurate" (the default) or "recurrence".

>>> import vemiral as vm
>>> e = vm.ASTvar(0, 0.0, 1.0) + vm.ASTvar(1, 0.0, 0.5)
>>> e.evaluate((2, 3))
array([[0. , 0.5, 1. ],
       [1. , 1.5, 2. ]])
>>> e.evaluate((1, 2), origin=(1, 1))
array([[1.5, 2. ]])
)";

inline constexpr const char *explain = R"(How evaluate's default method computes the tree on a grid of `shape`: one line an operation.

Each operation says where it is computed (once, per row, per column, or at
every point) and how: directly in plain doubles as NumPy would (each
operation rounded once, the C library's functions), or, for a sine, cosine
or exponential of a polynomial of the axes, stepped as recurrences from
double-double seeds. The first line gives a rough cost per point.

>>> import vemiral as vm
>>> x, y = vm.ASTvar(0, 0.0, 0.1), vm.ASTvar(1, 0.0, 0.1)
>>> print((vm.exp(-x**2) / (1 + y**2)).explain((100, 200)))  # doctest: +ELLIPSIS
plan on a grid of shape (100, 200): rows along axis x1, about ... ns a point on one core
  [0] axis x1                      per column, start + index * step
  [1] square [0]                   per column, direct, in double
  [3] add 1, [1]                   per column, direct, in double
  [4] axis x0                      per row, start + index * step
  [5] square [4]                   per row, direct, in double
  [6] negate [5]                   per row, direct, in double
  [7] exp [6]                      per row, direct, in double, a vector library's kernel
  [8] divide [7], [3]              every point, direct, in double
<BLANKLINE>
)";

inline constexpr const char *defaultTile = R"(The tile edge evaluate uses when given none, for a grid of `dimensions` dimensions and a method.

>>> import vemiral as vm
>>> vm.default_tile(1), vm.default_tile(2)
(65536, 2048)
>>> vm.default_tile(1, method="recurrence"), vm.default_tile(2, method="recurrence")
(4000, 2000)
)";

inline constexpr const char *getNumThreads = R"(How many threads crarray and evaluate use.

>>> import vemiral as vm
>>> vm.get_num_threads() >= 1
True
)";

inline constexpr const char *setNumThreads = R"(Sets how many threads crarray and evaluate use (at least 1).

The default is the machine's logical cores, or VEMIRAL_NUM_THREADS when set as
the module is loaded (a whole number of at least 1, above 1024 counted as
1024; anything else gives a RuntimeWarning and the default).

>>> import vemiral as vm
>>> before = vm.get_num_threads()
>>> vm.set_num_threads(1)
>>> vm.get_num_threads()
1
>>> vm.set_num_threads(before)
)";

// {name}, {what}: filled in per function.
inline constexpr const char *unary = R"(A node for the {what} of x, a node or a real number: ASTun({op}, x).

>>> import vemiral as vm
>>> vm.{name}(vm.ASTvar(0, 0.0, 0.5) + 1)
{repr}
)";

inline constexpr const char *function = R"({whose} of nodes or real numbers, as a node: ASTfun(ft.{op}, {args}).

>>> import vemiral as vm
>>> x = vm.ASTvar(0, 0.0, 0.5) - 1
>>> vm.{name}({args})
{repr}
)";

inline constexpr const char *log = R"(The natural logarithm of x, or with a base ln(x)/ln(base): nodes or real numbers.

>>> import vemiral as vm
>>> x = vm.ASTvar(0, 1.0, 0.5)
>>> vm.log(x)
ln(x0)
>>> vm.log(x, 10)
ln(x0)/ln(10.0)
)";

inline constexpr const char *power = R"(x1 ** x2 for nodes or real numbers (also called pow): ASTbin(POW, x1, x2).

>>> import vemiral as vm
>>> vm.power(vm.ASTvar(0, 0.0, 0.5), 3)
x0**3.0
)";

inline constexpr const char *sqrt = R"(The square root of x, a node or a real number: x ** 0.5, which the chains close over.

>>> import vemiral as vm
>>> vm.sqrt(vm.ASTvar(0, 0.0, 0.5) + 1)
(x0 + 1.0)**0.5
)";

inline constexpr const char *clip = R"(a limited to [a_min, a_max] as NumPy's clip: minimum(maximum(a, a_min), a_max).

>>> import vemiral as vm
>>> vm.clip(vm.ASTvar(0, 0.0, 0.5), -1, 1)
minimum(maximum(x0, -1.0), 1.0)
)";

inline constexpr const char *sinc = R"(NumPy's sinc of x, a node or a real number: sin(pi x)/(pi x), and 1 at exactly 0.

>>> import vemiral as vm
>>> vm.sinc(vm.ASTvar(0, 0.0, 0.5))
where(x0 == 0.0, 1.0, sin(3.141592653589793*x0)/(3.141592653589793*x0))
)";

inline constexpr const char *square = R"(NumPy's square of x, a node or a real number: x ** 2, which is x*x rounded once.

>>> import vemiral as vm
>>> vm.square(vm.ASTvar(0, 0.0, 0.5))
x0**2.0
)";

inline constexpr const char *deg2rad = R"(NumPy's deg2rad (radians) of x, a node or a real number: x times pi/180 rounded.

>>> import vemiral as vm
>>> vm.deg2rad(vm.ASTvar(0, 0.0, 0.5))
x0*0.017453292519943295
)";

inline constexpr const char *rad2deg = R"(NumPy's rad2deg (degrees) of x, a node or a real number: x times 180/pi rounded.

>>> import vemiral as vm
>>> vm.rad2deg(vm.ASTvar(0, 0.0, 0.5))
x0*57.29577951308232
)";

inline constexpr const char *loggamma = R"(SciPy's loggamma of a real x, a node or a real number: lgamma(x), NaN below 0.

>>> import vemiral as vm
>>> vm.loggamma(vm.ASTvar(0, 0.0, 0.5))
where(x0 < 0.0, nan, lgamma(x0))
)";

} // namespace vemiral::docstrings
