#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "cr/CRobj.hpp"

namespace vemiral {

enum bt : int32_t { ADD = 0, SUB = 1, MUL = 2, DIV = 3, POW = 4 };
enum ut : int32_t { NEG = 0, FAC = 1, EXP = 2, LN = 3, SIN = 4, COS = 5, TAN = 6, COT = 7 };
// The functions of function nodes (ASTfun), with NumPy's (or SciPy's) meaning
// for real arguments; kFunctions describes each. Pickles hold these codes, so
// a new function takes the next one.
enum ft : int32_t {
    ABS = 0, SIGN, FLOOR, CEIL, TRUNC, RINT, CBRT, EXP2, EXPM1, LOG2, LOG10, LOG1P, SINH, COSH, TANH, ASIN, ACOS,
    ATAN, ASINH, ACOSH, ATANH, SEC, CSC, ERF, ERFC, LOGICAL_NOT,
    ATAN2, HYPOT, MINIMUM, MAXIMUM, FMOD, MOD, COPYSIGN, HEAVISIDE, LESS, LESS_EQUAL, GREATER, GREATER_EQUAL, EQUAL,
    NOT_EQUAL, LOGICAL_AND, LOGICAL_OR,
    WHERE,
    GAMMA, LGAMMA, J0, J1, Y0, Y1, JN, LOGADDEXP,
    FUNCTION_COUNT
};

struct FunctionInfo {
    const char *name; // as Python and NumPy call it; the printed form uses it
    int arguments;
    int32_t pointwise; // the expression node's operation computing it at every point
};
extern const FunctionInfo kFunctions[FUNCTION_COUNT];

// Trees deeper than this are refused when built: printing and destroying a
// tree recurse once per level (lowering walks it iteratively), and so do the
// operations on the chains lowering builds.
inline constexpr uint64_t kMaxTreeDepth = 10000;

// Raised for a tree deeper than kMaxTreeDepth (RecursionError in Python).
class TreeTooDeep : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Lowering refuses (TooLarge, MemoryError in Python) to create more chain
// nodes than this, temporaries included: a node shared across a tree stands
// for a copy of its chain at every occurrence, so sharing can make the chain
// exponentially larger than the tree.
inline constexpr uint64_t kMaxChainNodes = 4'000'000;

// Called by long native loops at safe points; it throws to abandon the work
// (a pending KeyboardInterrupt, for instance).
using InterruptCheck = std::function<void()>;

class Lowering;
class Program;
struct AccurateTiles;
class PlannedFormula;

class ASTnode {
public:
    std::shared_ptr<ASTnode> left;
    std::shared_ptr<ASTnode> right;
    std::vector<double> results;
    std::vector<uint64_t> params;
    CRptr cr;
    // `cr` flattened for the grid of `params`, built by crinit and shared
    // by every later evaluation of that grid.
    std::shared_ptr<const Program> program;

    // The program evaluate built last for this tree from a tile corner, for
    // tiles of given extents: a repeated call on the same grid starts from it
    // instead of flattening (and tabulating) again. The tree never changes,
    // so neither does the program; this is no part of crinit's state.
    struct TileProgram {
        std::vector<uint64_t> corner, extents;
        std::shared_ptr<const Program> program;
    };
    TileProgram lastTileProgram() const;
    void keepTileProgram(TileProgram program) const;
    // Likewise the tiles the accurate method prepared last (eval/accurate.cpp).
    std::shared_ptr<const AccurateTiles> lastAccurateTiles() const;
    void keepAccurateTiles(std::shared_ptr<const AccurateTiles> tiles) const;
    // And the default method's formula of this tree (eval/plan.cpp).
    std::shared_ptr<const PlannedFormula> keptFormula() const;
    void keepFormula(std::shared_ptr<const PlannedFormula> formula) const;

    ASTnode() = default;
    ASTnode(const ASTnode &) = delete;
    ASTnode &operator=(const ASTnode &) = delete;
    virtual ~ASTnode();

    // How a lowering places the loop variables.
    struct LoweringPlan {
        // Every loop variable starts `corner[dimension]` steps further on
        // (dimensions beyond the corner's length at their start).
        std::vector<uint64_t> corner;
        // The steps the chain will take along every dimension: product and
        // sum chains that would leave the range of doubles over them become
        // expression nodes (see representable). Empty: not checked.
        std::vector<uint64_t> extents;
        // Constants carry their double-double tails (CRnum::lo); loop
        // variables start exactly at start + corner * step.
        bool tails = false;
        // The variable over dimension `splitDimension` (when set) becomes
        // two: blocks of `blockPoints` points along splitDimension, and
        // steps of `fineStride` points within a block along the next
        // dimension, starting `laneOffset` points past its corner. Variables
        // over later dimensions stand still at their start.
        int64_t splitDimension = -1;
        uint64_t laneOffset = 0;
        uint64_t fineStride = 1;
        uint64_t blockPoints = 1;
        // With a split, keep what is the same for every row apart from what
        // is not (see Lowering's separation).
        bool separate = false;
    };

    CRptr lower() const;
    CRptr lowerWith(const LoweringPlan &plan) const;
    virtual void print() const = 0;

    // Levels from this node down to its deepest leaf (1 for a leaf).
    uint64_t depth() const { return depth_; }
    // The children in order: left, right, and a function node's third argument.
    std::array<const ASTnode *, 3> children() const;

    // Fixes the grid, lowers this subtree and prints the chain. On any error
    // the node keeps its previous params, chain and results.
    void crinit(const std::vector<uint64_t> &extents);
    // Evaluates the grid in row-major order, prints the timing report and
    // returns the values.
    const std::vector<double> &creval(const InterruptCheck &interrupted);
    // The program of the current grid, refusing evaluation before a
    // successful crinit or without dimensions. It refers to nothing in the
    // node, so it may run while another thread calls crinit.
    std::shared_ptr<const Program> gridProgram(const char *method) const;
    // The text of a Python program computing the same values.
    std::string crgen();

protected:
    friend class Lowering;
    // Lowers this node, asking `lowering` for the chains of the children.
    virtual CRptr lowerNode(Lowering &lowering) const = 0;

public:
    // The operation's chain from its operands' chains, by the algebra.
    static CRptr lowerBinary(int32_t op, CRptr left, CRptr right);
    static CRptr lowerUnary(int32_t op, CRptr child);
    static CRptr lowerFunction(int32_t op, std::vector<CRptr> arguments);

protected:

    uint64_t depth_ = 1;
    mutable std::mutex tileProgramMutex_;
    mutable TileProgram tileProgram_;
    mutable std::shared_ptr<const AccurateTiles> accurateTiles_;
    mutable std::shared_ptr<const PlannedFormula> formula_;
    void setChildren(std::shared_ptr<ASTnode> l, std::shared_ptr<ASTnode> r,
                     const std::shared_ptr<ASTnode> &third = nullptr);
};

using ASTptr = std::shared_ptr<ASTnode>;

class ASTnum final : public ASTnode {
public:
    double value;
    explicit ASTnum(double value);
    void print() const override;

protected:
    CRptr lowerNode(Lowering &lowering) const override;
};

class ASTvar final : public ASTnode {
public:
    uint64_t index;
    double start;
    double step;
    // A closed range's end: the point `last` is `stop` exactly (for direct
    // evaluation at the grid's coordinates; the chains keep start + i*step).
    uint64_t last = UINT64_MAX;
    double stop = 0.0;
    ASTvar(uint64_t index, double start, double step, uint64_t last = UINT64_MAX, double stop = 0.0);
    void print() const override;

protected:
    CRptr lowerNode(Lowering &lowering) const override;
};

class ASTbin final : public ASTnode {
public:
    int32_t op;
    ASTbin(int32_t op, ASTptr left, ASTptr right);
    void print() const override;

protected:
    CRptr lowerNode(Lowering &lowering) const override;
};

class ASTun final : public ASTnode {
public:
    int32_t op;
    ASTun(int32_t op, ASTptr child);
    void print() const override;

protected:
    CRptr lowerNode(Lowering &lowering) const override;
};

// A function of one to three arguments (left, right, third).
class ASTfun final : public ASTnode {
public:
    int32_t op;
    std::shared_ptr<ASTnode> third;
    // Refuses (std::invalid_argument) an unknown function or a wrong number
    // of arguments.
    ASTfun(int32_t op, std::vector<ASTptr> arguments);
    void print() const override;
    std::vector<ASTptr> arguments() const;

protected:
    CRptr lowerNode(Lowering &lowering) const override;
};

// Names of operation codes for error messages ("TAN", "bt(42)").
std::string btName(int32_t op);
std::string utName(int32_t op);

} // namespace vemiral
