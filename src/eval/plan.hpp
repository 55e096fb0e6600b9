#pragma once

#include <cstdint>
#include <memory>
#include <cmath>
#include <string>
#include <vector>

#include "eval/vector_math.hpp"

namespace vemiral {

class ASTnode;

// How the default method computes a formula on a grid of a given number of
// dimensions: the one place that decides it, once per formula (kept on the
// tree), from the tree and the number of dimensions alone, so that every
// block of a grid is computed alike.
//
// The formula becomes a list of operations in the order they are computed
// (children first, a subtree shared in the tree computed once), each
// evaluated directly in plain doubles as NumPy would compute it at the
// grid's coordinates, but at the place where its inputs change (an
// operation of one axis once per row or once per block, the others along
// the row in chunks that stay in the cache).
struct FormulaPlan {
    enum class Kind : uint8_t {
        Constant,  // value
        Variable,  // the coordinate along `dimension` (coordinate() below)
        Add, Subtract, Multiply, Divide, Negate,
        Square,    // a * a
        Reciprocal, // 1 / a
        SquareRoot,
        Power,     // pow(a, b)
        Exp, Log, Sin, Cos,
        Tan,       // tan a, as NumPy computes it
        Cot,       // cos a / sin a
        Sec,       // 1 / cos a
        Csc,       // 1 / sin a
        Exp2,
        Function,  // an expression node's operation (code), NumPy's meaning
        Recurrence, // the whole tree by the accurate stepping (a tree the plan cannot take)
    };
    struct Operation {
        Kind kind;
        int32_t code = 0;           // Function: the operation
        const char *name = nullptr; // Function: its name
        uint32_t args[3] = {0, 0, 0};
        uint32_t argCount = 0;
        uint64_t dimensions = 0;    // the axes the value depends on, a bit each
        double value = 0.0;         // Constant
        double start = 0.0, step = 0.0; // Variable
        uint64_t last = UINT64_MAX; // Variable: the index whose coordinate is `stop` (a closed range's end)
        double stop = 0.0;
        uint32_t dimension = 0;     // Variable
        const ASTnode *subtree = nullptr; // Recurrence
        // A library's vector kernel for the function, where its value reaches
        // the formula's only through operations that keep a relative error
        // (so an error of an ulp or three stays one of the value's): else
        // null, and the C library's function point by point.
        ArrayKernel fast = nullptr;
        // A sine or cosine whose argument's cosine or sine is the next
        // operation: the two computed together by this kernel.
        PairKernel together = nullptr;
    };

    std::vector<Operation> operations; // children before parents
    uint32_t root = 0;
    // The formulas' values: the root alone, or a joint plan's several.
    std::vector<uint32_t> roots;
    size_t dims = 0;
    // The whole formula steps as recurrences: the accurate stepping alone.
    bool wholeRecurrence() const { return operations[root].kind == Kind::Recurrence; }
};

// Where an operation is computed on a block of a given shape (direct.cpp):
// once a block (it depends on no axis the block moves along), once a row (on
// the outer axes only), once a block as a table of the row's points (on the
// row's axis only), or along every row.
enum class Place : uint8_t { Fixed, PerRow, Tabled, Along };

// Several formulas on grids of `dims` dimensions in one plan, none of them
// one that steps as recurrences as a whole: each tree's own plan (its
// kernels chosen as when it is computed alone, so each keeps its bits), an
// operation with the same operands and kernel computed once however many
// formulas read it; roots[k] is trees[k]'s value.
std::shared_ptr<const FormulaPlan> jointPlan(const std::vector<const ASTnode *> &trees, size_t dims);

// The places of a plan's operations on a block of `shape`, and the block's
// row axis: the last with more than one point.
std::vector<Place> placements(const FormulaPlan &plan, const std::vector<uint64_t> &shape, size_t &rowAxis);

// A formula's plan on grids of a number of dimensions, made once and kept
// on the tree.
class PlannedFormula {
public:
    size_t dims = 0;
    std::shared_ptr<const FormulaPlan> plan;
};

// The formula of `tree` for grids of `dims` dimensions, kept on the tree.
// A tree it cannot plan (an operation it does not know, variables past the
// 64th dimension) is one recurrence everywhere: the stepping reports the
// problem as it always has.
std::shared_ptr<const PlannedFormula> formulaOf(const ASTnode &tree, size_t dims);

// start + index * step: as NumPy's `start + arange(n) * step` computes it
// (the product rounded, then the sum) while the index is a double, and past
// 2^53, where it is none, the exact value rounded once, so that neighbouring
// points stay apart.
inline double scaledCoordinate(double start, uint64_t index, double step) {
    if (index <= (uint64_t{1} << 53))
        return start + static_cast<double>(index) * step;
    const auto twoSum = [](double a, double b, double &error) {
        const double s = a + b, back = s - a;
        error = (a - (s - back)) + (b - back);
        return s;
    };
    const uint64_t low = index & 0x7FF; // the rest has at most 52 bits: a double
    const double hi = static_cast<double>(index - low), lo = static_cast<double>(low);
    const double p = hi * step, q = lo * step;
    const double tail = std::fma(hi, step, -p) + std::fma(lo, step, -q);
    double e1 = 0.0, e2 = 0.0;
    const double product = twoSum(p, q, e1);
    const double sum = twoSum(start, product, e2);
    return sum + (e2 + (e1 + tail));
}

// A variable's coordinate at a grid index; a closed range's last point is
// its stop, as numpy.linspace has it.
inline double coordinate(const FormulaPlan::Operation &op, uint64_t index) {
    return index == op.last ? op.stop : scaledCoordinate(op.start, index, op.step);
}

// The plan in words, an operation a line, for `explain`: where each part is
// computed, in what precision, and what it costs a point on the given shape.
std::string describePlan(const PlannedFormula &formula, const std::vector<uint64_t> &shape);

// Operation names in the plan's text ("exp", "mul", ...).
const char *kindName(FormulaPlan::Kind kind);

} // namespace vemiral
