#pragma once

#include <cstdint>
#include <memory>
#include <string>
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
// (children first, a subtree shared in the tree computed once). Each is
// either evaluated directly in plain doubles, as NumPy would compute it but
// at the place where its inputs change (an operation of one axis once per
// row or once per block, the others along the row in chunks that stay in
// the cache), or is a whole subtree that steps as recurrences: a sine,
// cosine or exponential of a polynomial of the axes along the row, whose
// chains the accurate stepping (accurate.cpp) computes to within an ulp or
// two at any distance, where direct evaluation loses the digits of its
// growing argument and costs a library call a point.
struct FormulaPlan {
    enum class Kind : uint8_t {
        Constant,  // value
        Variable,  // start + index * step along `dimension`
        Add, Subtract, Multiply, Divide, Negate,
        Square,    // a * a
        Reciprocal, // 1 / a
        SquareRoot,
        Power,     // pow(a, b)
        Exp, Log, Sin, Cos,
        Tan,       // sin a / cos a, as the formula reads
        Cot,       // cos a / sin a
        Sec,       // 1 / cos a
        Csc,       // 1 / sin a
        Exp2,
        Function,  // an expression node's operation (code), NumPy's meaning
        Recurrence, // `subtree` by the accurate stepping
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
        uint32_t dimension = 0;     // Variable
        const ASTnode *subtree = nullptr; // Recurrence
        uint32_t size = 0;          // Recurrence: the subtree's nodes
        // A library's vector kernel for the function, where its value reaches
        // the formula's only through operations that keep a relative error
        // (so an error of an ulp or three stays one of the value's): else
        // null, and the C library's function point by point.
        ArrayKernel fast = nullptr;
    };

    std::vector<Operation> operations; // children before parents
    uint32_t root = 0;
    size_t dims = 0;
    // The whole formula steps as recurrences: the accurate stepping alone.
    bool wholeRecurrence() const { return operations[root].kind == Kind::Recurrence; }
};

// Where an operation is computed on a block of a given shape (direct.cpp):
// once a block (it depends on no axis the block moves along), once a row (on
// the outer axes only), once a block as a table of the row's points (on the
// row's axis only), or along every row.
enum class Place : uint8_t { Fixed, PerRow, Tabled, Along };

// The places of a plan's operations on a block of `shape`, and the block's
// row axis: the last with more than one point.
std::vector<Place> placements(const FormulaPlan &plan, const std::vector<uint64_t> &shape, size_t &rowAxis);

// A formula's plans on grids of a number of dimensions, made once and kept
// on the tree. Its candidates are the subtrees that may step as recurrences
// (sums of sines, cosines and exponentials of polynomials of the axes): a
// candidate steps on the cells of the grid where its argument grows large enough that
// direct evaluation would lose digits (|argument| past 256 for a sine or
// cosine, an exponential past e^64), and is computed directly elsewhere,
// where a library's vector function is both cheaper and as accurate. The
// choice depends on the cell alone, never on the block asked for.
class PlannedFormula {
public:
    size_t dims = 0;

    // Which candidates step (a bit each) on the cell whose points are the
    // grid indices low..high (inclusive) along every dimension.
    uint64_t steppedOn(const std::vector<uint64_t> &low, const std::vector<uint64_t> &high) const;
    bool hasCandidates() const;
    // The plan in which the candidates of `stepped` step, made on first use.
    std::shared_ptr<const FormulaPlan> plan(uint64_t stepped) const;
    // Whether the plan of `stepped` is the whole formula stepping.
    bool wholeRecurrence(uint64_t stepped) const { return plan(stepped)->wholeRecurrence(); }
    // The candidates in words, for explain.
    std::string describeCandidates(uint64_t stepped) const;

    struct Details;
    explicit PlannedFormula(std::unique_ptr<Details> details);
    ~PlannedFormula();

private:
    std::unique_ptr<Details> details_;
};

// The formula of `tree` for grids of `dims` dimensions, kept on the tree.
// A tree it cannot plan (an operation it does not know, variables past the
// 64th dimension) is one recurrence everywhere: the stepping reports the
// problem as it always has.
std::shared_ptr<const PlannedFormula> formulaOf(const ASTnode &tree, size_t dims);

// Which terms step is decided on cells of the grid: this many points along
// every axis from index 0, fixed whatever block is asked for, small enough
// that a small grid's arguments are judged by its own points.
uint64_t decisionCell(size_t dims);

// The plan in words, an operation a line, for `explain`: where each part is
// computed, in what precision, and what it costs a point on the given shape
// (the plan of the grid's first cell).
std::string describePlan(const PlannedFormula &formula, const std::vector<uint64_t> &shape);

// Operation names in the plan's text ("exp", "mul", ...).
const char *kindName(FormulaPlan::Kind kind);

} // namespace vemiral
