#include "ast/ASTnode.hpp"

#include <algorithm>
#include <iostream>

#include "cr/CRobj.hpp"

namespace vemiral {

ASTnode::~ASTnode() = default;

ASTnode::TileProgram ASTnode::lastTileProgram() const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    return tileProgram_;
}

void ASTnode::keepTileProgram(TileProgram program) const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    tileProgram_ = std::move(program);
}

std::shared_ptr<const AccurateTiles> ASTnode::lastAccurateTiles() const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    return accurateTiles_;
}

void ASTnode::keepAccurateTiles(std::shared_ptr<const AccurateTiles> tiles) const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    accurateTiles_ = std::move(tiles);
}

std::shared_ptr<const PlannedFormula> ASTnode::keptFormula() const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    return formula_;
}

void ASTnode::keepFormula(std::shared_ptr<const PlannedFormula> formula) const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    formula_ = std::move(formula);
}

const FunctionInfo kFunctions[FUNCTION_COUNT] = {
    {"abs", 1, EXPR_ABS},
    {"sign", 1, EXPR_SIGN},
    {"floor", 1, EXPR_FLOOR},
    {"ceil", 1, EXPR_CEIL},
    {"trunc", 1, EXPR_TRUNC},
    {"rint", 1, EXPR_RINT},
    {"cbrt", 1, EXPR_CBRT},
    {"exp2", 1, EXPR_POW}, // 2**u: a product chain where u is a sum
    {"expm1", 1, EXPR_EXPM1},
    {"log2", 1, EXPR_LOG2},
    {"log10", 1, EXPR_LOG10},
    {"log1p", 1, EXPR_LOG1P},
    {"sinh", 1, EXPR_SINH},
    {"cosh", 1, EXPR_COSH},
    {"tanh", 1, EXPR_TANH},
    {"asin", 1, EXPR_ASIN},
    {"acos", 1, EXPR_ACOS},
    {"atan", 1, EXPR_ATAN},
    {"asinh", 1, EXPR_ASINH},
    {"acosh", 1, EXPR_ACOSH},
    {"atanh", 1, EXPR_ATANH},
    {"sec", 1, EXPR_POW}, // 1/cos u and 1/sin u: the rotation's chains
    {"csc", 1, EXPR_POW},
    {"erf", 1, EXPR_ERF},
    {"erfc", 1, EXPR_ERFC},
    {"logical_not", 1, EXPR_NOT},
    {"atan2", 2, EXPR_ATAN2},
    {"hypot", 2, EXPR_HYPOT},
    {"minimum", 2, EXPR_MIN},
    {"maximum", 2, EXPR_MAX},
    {"fmod", 2, EXPR_FMOD},
    {"mod", 2, EXPR_MOD},
    {"copysign", 2, EXPR_COPYSIGN},
    {"heaviside", 2, EXPR_HEAVISIDE},
    {"less", 2, EXPR_LT},
    {"less_equal", 2, EXPR_LE},
    {"greater", 2, EXPR_GT},
    {"greater_equal", 2, EXPR_GE},
    {"equal", 2, EXPR_EQ},
    {"not_equal", 2, EXPR_NE},
    {"logical_and", 2, EXPR_AND},
    {"logical_or", 2, EXPR_OR},
    {"where", 3, EXPR_WHERE},
    {"gamma", 1, EXPR_GAMMA},
    {"lgamma", 1, EXPR_LGAMMA},
    {"j0", 1, EXPR_J0},
    {"j1", 1, EXPR_J1},
    {"y0", 1, EXPR_Y0},
    {"y1", 1, EXPR_Y1},
    {"jn", 2, EXPR_JN},
    {"logaddexp", 2, EXPR_LOGADDEXP},
};

std::array<const ASTnode *, 3> ASTnode::children() const {
    const auto *f = dynamic_cast<const ASTfun *>(this);
    return {left.get(), right.get(), f ? f->third.get() : nullptr};
}

void ASTnode::setChildren(std::shared_ptr<ASTnode> l, std::shared_ptr<ASTnode> r,
                          const std::shared_ptr<ASTnode> &third) {
    uint64_t deepest = 0;
    for (const ASTnode *child : {l.get(), r.get(), third.get()})
        if (child)
            deepest = std::max(deepest, child->depth_);
    if (deepest + 1 > kMaxTreeDepth)
        throw TreeTooDeep("expression tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    depth_ = deepest + 1;
    left = std::move(l);
    right = std::move(r);
}

ASTnum::ASTnum(double value_) : value(value_) {}

ASTvar::ASTvar(uint64_t index_, double start_, double step_, uint64_t last_, double stop_)
    : index(index_), start(start_), step(step_), last(last_), stop(stop_) {}

ASTbin::ASTbin(int32_t op_, ASTptr l, ASTptr r) : op(op_) {
    if (!l || !r)
        throw std::invalid_argument("ASTbin needs two child nodes");
    setChildren(std::move(l), std::move(r));
}

ASTun::ASTun(int32_t op_, ASTptr child) : op(op_) {
    if (!child)
        throw std::invalid_argument("ASTun needs a child node");
    setChildren(std::move(child), nullptr);
}

ASTfun::ASTfun(int32_t op_, std::vector<ASTptr> arguments_) : op(op_) {
    if (op < 0 || op >= FUNCTION_COUNT)
        throw std::invalid_argument("unknown function ft(" + std::to_string(op) + ")");
    const auto wanted = static_cast<size_t>(kFunctions[op].arguments);
    if (arguments_.size() != wanted)
        throw std::invalid_argument(std::string(kFunctions[op].name) + "() takes " + std::to_string(wanted) +
                                    (wanted == 1 ? " argument, " : " arguments, ") +
                                    std::to_string(arguments_.size()) + " given");
    for (const ASTptr &a : arguments_)
        if (!a)
            throw std::invalid_argument("ASTfun needs child nodes");
    arguments_.resize(3);
    setChildren(arguments_[0], arguments_[1], arguments_[2]);
    third = std::move(arguments_[2]);
}

std::vector<ASTptr> ASTfun::arguments() const {
    std::vector<ASTptr> list{left};
    if (right)
        list.push_back(right);
    if (third)
        list.push_back(third);
    return list;
}

void ASTfun::print() const {
    std::cout << "astfun " << kFunctions[op].name << "\n";
    for (const ASTptr &a : arguments())
        a->print();
}

void ASTnum::print() const { std::cout << "astnum(" << value << ")\n"; }

void ASTvar::print() const { std::cout << "astvar(" << index << ")\n"; }

void ASTbin::print() const {
    std::cout << "astbin\n";
    left->print();
    right->print();
}

void ASTun::print() const {
    std::cout << "astun\n";
    left->print();
}

std::string btName(int32_t op) {
    static const char *const names[] = {"ADD", "SUB", "MUL", "DIV", "POW"};
    if (op >= 0 && op <= POW)
        return names[op];
    return "bt(" + std::to_string(op) + ")";
}

std::string utName(int32_t op) {
    static const char *const names[] = {"NEG", "FAC", "EXP", "LN", "SIN", "COS", "TAN", "COT"};
    if (op >= 0 && op <= COT)
        return names[op];
    return "ut(" + std::to_string(op) + ")";
}

} // namespace vemiral
