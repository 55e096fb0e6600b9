#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cr/extended.hpp"

namespace vemiral {

class CRobj;
using CRptr = std::unique_ptr<CRobj>;

// The recurrence a chain runs, for code that lays chains out flat.
enum class ChainKind { Number, Sum, Product, Rotation, Expression };

// Operation codes of expression nodes; the trigonometric chain reuses the
// sine and cosine codes as its kind.
enum ExprOp : int32_t {
    EXPR_ADD = 0,
    EXPR_MUL = 1,
    EXPR_POW = 2,
    EXPR_EXP = 3,
    EXPR_LN = 4,
    EXPR_SIN = 5,
    EXPR_COS = 6,
    // Functions the chains do not close, computed at every point from their
    // operands' values (CRexpr::apply); one operand:
    EXPR_ABS = 7,
    EXPR_SIGN,
    EXPR_FLOOR,
    EXPR_CEIL,
    EXPR_TRUNC,
    EXPR_RINT,
    EXPR_CBRT,
    EXPR_EXPM1,
    EXPR_LOG2,
    EXPR_LOG10,
    EXPR_LOG1P,
    EXPR_SINH,
    EXPR_COSH,
    EXPR_TANH,
    EXPR_ASIN,
    EXPR_ACOS,
    EXPR_ATAN,
    EXPR_ASINH,
    EXPR_ACOSH,
    EXPR_ATANH,
    EXPR_ERF,
    EXPR_ERFC,
    EXPR_NOT,
    EXPR_GAMMA,
    EXPR_LGAMMA,
    EXPR_J0,
    EXPR_J1,
    EXPR_Y0,
    EXPR_Y1,
    // two operands:
    EXPR_ATAN2,
    EXPR_HYPOT,
    EXPR_JN,
    EXPR_LOGADDEXP,
    EXPR_MIN,
    EXPR_MAX,
    EXPR_FMOD,
    EXPR_MOD,
    EXPR_COPYSIGN,
    EXPR_HEAVISIDE,
    EXPR_LT,
    EXPR_LE,
    EXPR_GT,
    EXPR_GE,
    EXPR_EQ,
    EXPR_NE,
    EXPR_AND,
    EXPR_OR,
    // three operands:
    EXPR_WHERE,
    EXPR_LAST = EXPR_WHERE,
};

// How many operands an expression node's operation takes.
inline int operandsOf(int32_t op) {
    if (op == EXPR_WHERE)
        return 3;
    return op == EXPR_ADD || op == EXPR_MUL || op == EXPR_POW || (op >= EXPR_ATAN2 && op <= EXPR_OR) ? 2 : 1;
}

// Closed rules that would build a chain longer than this fall back to an
// expression node, so that no reasonable input exhausts memory or time in
// lowering (x**1e9 evaluates through pow at every point instead).
inline constexpr uint64_t kMaxOperands = 1024;
// Same limit where the operands are themselves chains: every coefficient of
// such a product is built by the algebra, at a cost cubic in the length.
inline constexpr uint64_t kMaxChainOperands = 32;

// The operand count a closed rule may build for the given factors.
uint64_t operandLimit(const CRobj &a, const CRobj &b);

// Raised for work that would exhaust memory (MemoryError in Python): a grid
// larger than the machine's memory, or chains beyond a ChainBudget.
class TooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// While one is alive, creating more than `extra` chain nodes (temporaries
// included) throws TooLarge from the node's constructor, so an expression
// whose chains explode is refused as soon as it crosses the budget, which
// bounds both the memory and the time that lowering it takes.
class ChainBudget {
public:
    explicit ChainBudget(uint64_t extra);
    ~ChainBudget();
    ChainBudget(const ChainBudget &) = delete;
    ChainBudget &operator=(const ChainBudget &) = delete;

private:
    uint64_t previousLimit_;
    uint64_t previousExtra_;
};

// A chain of recurrences: the value of a sub-expression at the current grid
// point plus the registers that step it along one loop dimension.
class CRobj {
public:
    std::vector<CRptr> operands;
    std::vector<double> fastvalues;
    std::vector<int32_t> crpositions;
    uint64_t length = 0;
    bool initialized = false;
    int64_t idcounter = 0;
    int64_t id = 0;
    int64_t index = -1;
    std::string name = "A";

    CRobj(int64_t index, uint64_t length);
    CRobj(const CRobj &) = delete;
    CRobj &operator=(const CRobj &) = delete;
    virtual ~CRobj();

    virtual CRptr add(const CRobj &other) const = 0;
    virtual CRptr mul(const CRobj &other) const = 0;
    virtual CRptr pow(const CRobj &exponent) const = 0;
    virtual CRptr exp() const = 0;
    virtual CRptr ln() const = 0;
    virtual CRptr sin() const = 0;
    virtual CRptr cos() const = 0;
    virtual void simplify();
    virtual CRptr copy() const = 0;

    // The chains add, mul, pow and the functions build, for a caller that
    // owns this node (`self`, which holds `this`) and the other operand and
    // gives both up: what the result keeps of them is moved into it rather
    // than copied, so folding a long run of operations into one chain costs
    // time in proportion to the run, not to its square. The same chain, node
    // for node; the defaults copy, as the const forms do. `code` is one of
    // EXPR_EXP, EXPR_LN, EXPR_SIN, EXPR_COS.
    virtual CRptr addOwned(CRptr self, CRptr other);
    virtual CRptr mulOwned(CRptr self, CRptr other);
    virtual CRptr powOwned(CRptr self, CRptr exponent);
    virtual CRptr unaryOwned(int32_t code, CRptr self);
    virtual double valueof();
    virtual double value() const;
    virtual bool isnumber() const;
    virtual void print() const = 0;
    virtual void shift(int64_t dim);
    virtual std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                                std::string indent) const = 0;

    // Numbers this node and its chain operands for generated code and returns
    // their value-array lines (post-order).
    std::string genInit(CRobj &root);

    virtual ChainKind chainKind() const = 0;

    // Position of this chain's value among its registers (and in its value
    // array of generated code).
    virtual uint64_t valuePosition() const { return 0; }

    // Generated code (codegen/codegen.cpp). The name of this node's value
    // array, and the Python expression reading its current value there.
    std::string arrayName() const;
    virtual std::string valueCode() const;

protected:
    // Shifts every chain operand along dim and re-reads its value into the
    // matching register; constant operands keep theirs.
    void refreshOperands(int64_t dim);
    // Gives dst deep copies of the operands and, when initialised, the state.
    void copyInto(CRobj &dst) const;
    // Writes "(op0, op1, ...)" for the printed forms.
    void printOperands() const;
};

// The ordered sum and product: the operand with the strictly larger index
// receives, on a tie the second-named one.
CRptr orderedSum(const CRobj &x, const CRobj &y);
CRptr orderedProduct(const CRobj &x, const CRobj &y);

// a->add(*b), a->mul(*b), a->pow(*b), the function `code` of a, and the
// ordered sum and product, from chains the caller gives up (the *Owned
// methods above).
CRptr sumOf(CRptr a, CRptr b);
CRptr productOf(CRptr a, CRptr b);
CRptr powerOf(CRptr a, CRptr b);
CRptr unaryOf(int32_t code, CRptr a);
CRptr orderedSumOf(CRptr x, CRptr y);
CRptr orderedProductOf(CRptr x, CRptr y);

// Binomial coefficients B(n, r), each the running double product
// c <- c * ((n - r + t) / t) over t = 1..r. For a fixed n - r these are prefix
// products, so a table filled row by row gives the very same doubles in O(1)
// per coefficient instead of O(r).
class Binomials {
public:
    double operator()(uint64_t n, uint64_t r);
    // B(n, r) in double-double, from the same running product; and the tail
    // that makes operator()'s double stand for it (0 unless tails are kept).
    Extended extended(uint64_t n, uint64_t r);
    double tail(uint64_t n, uint64_t r);

private:
    std::vector<std::vector<double>> rows_;        // rows_[n - r][r]
    std::vector<std::vector<Extended>> extended_;  // the same in double-double
};

} // namespace vemiral
