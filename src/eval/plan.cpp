// The formula plan: the tree as a list of operations, and which subtrees
// step as recurrences.
#include "eval/plan.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <map>
#include <mutex>
#include <unordered_map>

#include "ast/ASTnode.hpp"
#include "cr/CRobj.hpp"
#include "eval/pointwise.hpp"

namespace vemiral {

namespace {

using Kind = FormulaPlan::Kind;
using Operation = FormulaPlan::Operation;

// Formulas with more periodic or exponential terms than this are computed
// directly: lowering a long sum for every tile costs more than its points
// (a 1000-term Fourier sum on a small grid), and each term is one library
// call a point either way.
constexpr uint32_t kLongestRecurrence = 64;

// A sine or cosine steps where its argument passes this (direct evaluation
// would err by up to 256 * 2^-53, some 128 ulps, from the argument's own
// rounding), an exponential where its argument passes this (an error of
// 64 * 2^-53 relative). Below, direct evaluation is within a few ulps and a
// library's vector function costs less than stepping.
constexpr double kPeriodicLimit = 256.0;
constexpr double kExponentialLimit = 64.0;

// What the plan knows of an operation while it is being made.
struct Traits {
    bool polynomial = false;   // of the axes: sums, products, whole powers
    bool recurrence = false;   // its chain closes: no pointwise operation inside
    bool transcendental = false; // a sine, cosine or exponential of a polynomial
    uint32_t terms = 0;        // periodic and exponential terms inside
    uint32_t size = 1;         // nodes
};

bool wholeExponent(double e) { return e >= 0.0 && e <= 16.0 && e == std::floor(e); }

class Planner {
public:
    explicit Planner(size_t dims) : dims_(dims) {}

    // Every node once, children first, iteratively (trees run 10,000 deep).
    bool build(const ASTnode &root) {
        std::vector<std::pair<const ASTnode *, bool>> stack{{&root, false}};
        while (!stack.empty()) {
            auto [node, expanded] = stack.back();
            stack.pop_back();
            if (index_.count(node))
                continue;
            if (!expanded) {
                stack.push_back({node, true});
                for (const ASTnode *child : node->children())
                    if (child && !index_.count(child))
                        stack.push_back({child, false});
                continue;
            }
            if (!add(*node))
                return false;
        }
        root_ = index_.at(&root);
        findCandidates();
        return true;
    }

    size_t candidates() const { return candidateTerms_.size(); }

    // The candidates that step on a cell: those with a term whose argument
    // passes its limit somewhere on the cell (bounds by interval arithmetic
    // over the cell's coordinates).
    uint64_t steppedOn(const std::vector<uint64_t> &low, const std::vector<uint64_t> &high) const {
        if (candidateTerms_.empty())
            return 0;
        std::vector<Interval> range(ops_.size());
        for (size_t i = 0; i < ops_.size(); ++i)
            range[i] = bound(static_cast<uint32_t>(i), range, low, high);
        uint64_t stepped = 0;
        for (size_t c = 0; c < candidateTerms_.size(); ++c)
            for (uint32_t t : candidateTerms_[c])
                if (large(t, range))
                    stepped |= uint64_t{1} << c;
        return stepped;
    }

    // The candidates in words: their terms and whether they step.
    std::string describeCandidates(uint64_t stepped) const {
        std::ostringstream text;
        for (size_t c = 0; c < candidateTerms_.size(); ++c) {
            text << "  terms ";
            for (size_t k = 0; k < candidateTerms_[c].size(); ++k)
                text << (k ? ", " : "") << kindName(ops_[candidateTerms_[c][k]].kind);
            text << " of a polynomial: " << ((stepped >> c & 1) ? "stepped as recurrences here"
                                                                 : "computed directly here")
                 << " (stepped where |argument| > " << kPeriodicLimit << " for sin and cos, argument > "
                 << kExponentialLimit << " for exp)\n";
        }
        return text.str();
    }

    // The final list: a subtree that steps as a recurrence becomes one
    // operation, and what only it used is dropped.
    FormulaPlan finish(uint64_t stepped) const {
        FormulaPlan plan;
        plan.dims = dims_;
        std::vector<int64_t> renumbered(ops_.size(), -1);
        std::vector<std::pair<uint32_t, bool>> stack{{root_, false}};
        while (!stack.empty()) {
            auto [i, expanded] = stack.back();
            stack.pop_back();
            if (renumbered[i] >= 0)
                continue;
            const bool alone = stepsAlone(i, stepped);
            if (!expanded && !alone) {
                stack.push_back({i, true});
                for (uint32_t a = 0; a < ops_[i].argCount; ++a)
                    stack.push_back({ops_[i].args[a], false});
                continue;
            }
            Operation op = ops_[i];
            if (alone) {
                op = Operation{};
                op.kind = Kind::Recurrence;
                op.dimensions = ops_[i].dimensions;
                op.subtree = nodes_[i];
                op.size = traits_[i].size;
            } else {
                for (uint32_t a = 0; a < op.argCount; ++a)
                    op.args[a] = static_cast<uint32_t>(renumbered[op.args[a]]);
            }
            renumbered[i] = static_cast<int64_t>(plan.operations.size());
            plan.operations.push_back(op);
        }
        plan.root = static_cast<uint32_t>(renumbered[root_]);
        chooseKernels(plan);
        return plan;
    }

private:
    // How an error of a value reaches the formula's: only through products,
    // quotients and the like (relative errors stay relative), through sums
    // too (an error of a bounded value stays small against the floor), or
    // through anything else, which may amplify it.
    enum Reach : uint8_t { Amplified = 0, ThroughSums = 1, Relative = 2, Unread = 3 };

    static Reach reachOf(const Operation &reader, uint32_t argument, Reach readerReach,
                         const std::vector<char> &nonNegative) {
        switch (reader.kind) {
        case Kind::Multiply: case Kind::Divide: case Kind::Negate: case Kind::Square: case Kind::Reciprocal:
        case Kind::SquareRoot:
            return readerReach;
        case Kind::Add:
            // Two values of one sign do not cancel (1 + exp(u), a sum of squares).
            if (nonNegative[reader.args[0]] && nonNegative[reader.args[1]])
                return readerReach;
            return std::min(readerReach, ThroughSums);
        case Kind::Subtract:
            return std::min(readerReach, ThroughSums);
        case Kind::Function:
            if (reader.code == EXPR_ABS || reader.code == EXPR_MIN || reader.code == EXPR_MAX ||
                (reader.code == EXPR_WHERE && argument > 0))
                return readerReach;
            return Amplified;
        default:
            return Amplified;
        }
    }

    static bool libraryFunction(const Operation &op, LibraryFunction &f, bool &bounded) {
        bounded = false;
        switch (op.kind) {
        case Kind::Exp: f = LibraryFunction::Exp; return true;
        case Kind::Log: f = LibraryFunction::Log; return true;
        case Kind::Sin: f = LibraryFunction::Sin; bounded = true; return true;
        case Kind::Cos: f = LibraryFunction::Cos; bounded = true; return true;
        case Kind::Power: f = LibraryFunction::Power; return true;
        case Kind::Exp2: f = LibraryFunction::Exp2; return true;
        case Kind::Function: break;
        default: return false;
        }
        switch (op.code) {
        case EXPR_LOG2: f = LibraryFunction::Log2; return true;
        case EXPR_LOG10: f = LibraryFunction::Log10; return true;
        case EXPR_LOG1P: f = LibraryFunction::Log1p; return true;
        case EXPR_EXPM1: f = LibraryFunction::Expm1; return true;
        case EXPR_SINH: f = LibraryFunction::Sinh; return true;
        case EXPR_COSH: f = LibraryFunction::Cosh; return true;
        case EXPR_TANH: f = LibraryFunction::Tanh; bounded = true; return true;
        case EXPR_ASIN: f = LibraryFunction::Arcsin; bounded = true; return true;
        case EXPR_ACOS: f = LibraryFunction::Arccos; bounded = true; return true;
        case EXPR_ATAN: f = LibraryFunction::Arctan; bounded = true; return true;
        case EXPR_ASINH: f = LibraryFunction::Arcsinh; return true;
        case EXPR_ACOSH: f = LibraryFunction::Arccosh; return true;
        case EXPR_ATANH: f = LibraryFunction::Arctanh; return true;
        case EXPR_CBRT: f = LibraryFunction::Cbrt; return true;
        case EXPR_ATAN2: f = LibraryFunction::Arctan2; bounded = true; return true;
        case EXPR_HYPOT: f = LibraryFunction::Hypot; return true;
        default: return false;
        }
    }

    // Functions whose error cannot be amplified take a library's vector
    // kernel; the others the C library's function, as direct evaluation.
    static bool staysNonNegative(const Operation &op, const std::vector<char> &nonNegative) {
        const auto all = [&] {
            for (uint32_t a = 0; a < op.argCount; ++a)
                if (!nonNegative[op.args[a]])
                    return false;
            return true;
        };
        switch (op.kind) {
        case Kind::Constant: return op.value >= 0.0;
        case Kind::Exp: case Kind::Exp2: case Kind::Square: case Kind::SquareRoot: return true;
        case Kind::Add: case Kind::Multiply: case Kind::Divide: case Kind::Reciprocal: return all();
        case Kind::Function:
            return op.code == EXPR_ABS || op.code == EXPR_HYPOT || op.code == EXPR_COSH ||
                   ((op.code == EXPR_MIN || op.code == EXPR_MAX) && all());
        default: return false;
        }
    }

    static void chooseKernels(FormulaPlan &plan) {
        auto &ops = plan.operations;
        std::vector<char> nonNegative(ops.size(), 0);
        for (size_t i = 0; i < ops.size(); ++i)
            nonNegative[i] = staysNonNegative(ops[i], nonNegative);
        std::vector<Reach> reach(ops.size(), Unread);
        reach[plan.root] = Relative;
        for (size_t i = ops.size(); i-- > 0;) {
            if (reach[i] == Unread)
                reach[i] = Relative;
            for (uint32_t a = 0; a < ops[i].argCount; ++a) {
                Reach &r = reach[ops[i].args[a]];
                r = std::min(r, reachOf(ops[i], a, reach[i], nonNegative));
            }
            LibraryFunction f;
            bool bounded = false;
            const bool wholePower = ops[i].kind == Kind::Power && ops[i].code != 0;
            if (!wholePower && libraryFunction(ops[i], f, bounded) && reach[i] >= (bounded ? ThroughSums : Relative))
                ops[i].fast = libraryKernel(f);
        }
    }

    size_t dims_;
    std::vector<Operation> ops_;
    std::vector<Traits> traits_;
    std::vector<const ASTnode *> nodes_;
    std::unordered_map<const ASTnode *, uint32_t> index_;
    std::unordered_map<std::string, uint32_t> byContent_;
    uint32_t root_ = 0;


    struct Interval {
        double lo = -HUGE_VAL, hi = HUGE_VAL;
    };
    std::vector<int32_t> candidate_;                 // an operation's candidate, or -1
    std::vector<std::vector<uint32_t>> candidateTerms_; // each candidate's sines, cosines, exponentials

    // The largest subtrees that close as recurrences and hold a term, from
    // the root down (what one of them holds is no candidate of its own).
    void findCandidates() {
        candidate_.assign(ops_.size(), -1);
        if (traits_[root_].terms > kLongestRecurrence)
            return;
        std::vector<char> seen(ops_.size(), 0);
        std::vector<uint32_t> stack{root_};
        while (!stack.empty() && candidateTerms_.size() < 64) {
            const uint32_t i = stack.back();
            stack.pop_back();
            if (seen[i])
                continue;
            seen[i] = 1;
            if (traits_[i].recurrence && traits_[i].terms > 0 && ops_[i].dimensions) {
                candidate_[i] = static_cast<int32_t>(candidateTerms_.size());
                candidateTerms_.push_back(termsOf(i));
                continue;
            }
            for (uint32_t a = 0; a < ops_[i].argCount; ++a)
                stack.push_back(ops_[i].args[a]);
        }
    }

    std::vector<uint32_t> termsOf(uint32_t top) const {
        std::vector<uint32_t> terms, stack{top};
        std::vector<char> seen(ops_.size(), 0);
        while (!stack.empty()) {
            const uint32_t i = stack.back();
            stack.pop_back();
            if (seen[i])
                continue;
            seen[i] = 1;
            if (traits_[i].transcendental)
                terms.push_back(i);
            else
                for (uint32_t a = 0; a < ops_[i].argCount; ++a)
                    stack.push_back(ops_[i].args[a]);
        }
        return terms;
    }

    static Interval hull(std::initializer_list<double> values) {
        Interval r{HUGE_VAL, -HUGE_VAL};
        for (double v : values) {
            if (v != v)
                return Interval{};
            r.lo = std::min(r.lo, v);
            r.hi = std::max(r.hi, v);
        }
        return r;
    }

    // Bounds of a polynomial operation over the tile (anything else is
    // unbounded: only polynomials are ever asked for).
    Interval bound(uint32_t i, const std::vector<Interval> &range, const std::vector<uint64_t> &low,
                   const std::vector<uint64_t> &high) const {
        const Operation &op = ops_[i];
        const Interval a = op.argCount > 0 ? range[op.args[0]] : Interval{};
        const Interval b = op.argCount > 1 ? range[op.args[1]] : Interval{};
        switch (op.kind) {
        case Kind::Constant: return {op.value, op.value};
        case Kind::Variable:
            return hull({op.start + static_cast<double>(low[op.dimension]) * op.step,
                         op.start + static_cast<double>(high[op.dimension]) * op.step});
        case Kind::Add: return {a.lo + b.lo, a.hi + b.hi};
        case Kind::Subtract: return {a.lo - b.hi, a.hi - b.lo};
        case Kind::Negate: return {-a.hi, -a.lo};
        case Kind::Multiply: return hull({a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi});
        case Kind::Divide:
            if (ops_[op.args[1]].kind == Kind::Constant && b.lo != 0.0)
                return hull({a.lo / b.lo, a.hi / b.lo});
            return Interval{};
        case Kind::Square:
        case Kind::Power: {
            const double n = op.kind == Kind::Square ? 2.0 : b.lo;
            if (op.kind == Kind::Power && (ops_[op.args[1]].kind != Kind::Constant || !wholeExponent(n)))
                return Interval{};
            const Interval r = hull({std::pow(a.lo, n), std::pow(a.hi, n)});
            const bool even = std::fmod(n, 2.0) == 0.0;
            return even && a.lo < 0.0 && a.hi > 0.0 ? Interval{0.0, r.hi} : r;
        }
        default: return Interval{};
        }
    }

    // Whether direct evaluation of a term would lose digits on the cell.
    bool large(uint32_t term, const std::vector<Interval> &range) const {
        const Operation &op = ops_[term];
        const Interval a = range[op.args[op.kind == Kind::Power ? 1 : 0]];
        switch (op.kind) {
        case Kind::Sin:
        case Kind::Cos: return std::max(std::fabs(a.lo), std::fabs(a.hi)) > kPeriodicLimit;
        case Kind::Exp: return a.hi > kExponentialLimit;
        case Kind::Exp2: return a.hi * M_LN2 > kExponentialLimit;
        case Kind::Power: {
            const double lnBase = std::log(ops_[op.args[0]].value);
            return std::max(a.lo * lnBase, a.hi * lnBase) > kExponentialLimit;
        }
        default: return false;
        }
    }

    bool stepsAlone(uint32_t i, uint64_t stepped) const {
        return candidate_[i] >= 0 && (stepped >> candidate_[i] & 1);
    }

    bool add(const ASTnode &node) {
        Operation op{};
        Traits t;
        auto arg = [&](const ASTnode *child) { return index_.at(child); };
        if (auto n = dynamic_cast<const ASTnum *>(&node)) {
            op.kind = Kind::Constant;
            op.value = n->value;
        } else if (auto v = dynamic_cast<const ASTvar *>(&node)) {
            if (v->index >= 64)
                return false;
            op.kind = Kind::Variable;
            op.start = v->start;
            op.step = v->step;
            op.dimension = static_cast<uint32_t>(v->index);
            // A variable past the grid's dimensions stands at its start.
            if (v->index >= dims_) {
                op.kind = Kind::Constant;
                op.value = v->start;
            } else {
                op.dimensions = uint64_t{1} << v->index;
            }
        } else if (auto b = dynamic_cast<const ASTbin *>(&node)) {
            const uint32_t l = arg(b->left.get()), r = arg(b->right.get());
            const Operation &right = ops_[r];
            const bool constantExponent = right.kind == Kind::Constant;
            switch (b->op) {
            case ADD: op = binary(Kind::Add, l, r); break;
            case SUB: op = binary(Kind::Subtract, l, r); break;
            case MUL: op = binary(Kind::Multiply, l, r); break;
            case DIV: op = binary(Kind::Divide, l, r); break;
            case POW:
                if (constantExponent && right.value == 2.0)
                    op = unary(Kind::Square, l);
                else if (constantExponent && right.value == 0.5)
                    op = unary(Kind::SquareRoot, l);
                else if (constantExponent && right.value == -1.0)
                    op = unary(Kind::Reciprocal, l);
                else
                    op = binary(Kind::Power, l, r);
                // A whole power from 3 on is a product of squarings in
                // double-double (pointwise.cpp), the code its exponent.
                if (op.kind == Kind::Power && constantExponent && right.value == std::floor(right.value) &&
                    std::fabs(right.value) >= 3.0 && std::fabs(right.value) <= 64.0)
                    op.code = static_cast<int32_t>(right.value);
                break;
            default: return false;
            }
        } else if (auto u = dynamic_cast<const ASTun *>(&node)) {
            const uint32_t a = arg(u->left.get());
            switch (u->op) {
            case NEG: op = unary(Kind::Negate, a); break;
            case EXP: op = unary(Kind::Exp, a); break;
            case LN: op = unary(Kind::Log, a); break;
            case SIN: op = unary(Kind::Sin, a); break;
            case COS: op = unary(Kind::Cos, a); break;
            case TAN: op = unary(Kind::Tan, a); break;
            case COT: op = unary(Kind::Cot, a); break;
            default: return false;
            }
        } else if (auto f = dynamic_cast<const ASTfun *>(&node)) {
            if (f->op < 0 || f->op >= FUNCTION_COUNT)
                return false;
            const auto children = node.children();
            const int count = kFunctions[f->op].arguments;
            switch (f->op) {
            case EXP2: op = unary(Kind::Exp2, arg(children[0])); break;
            case SEC: op = unary(Kind::Sec, arg(children[0])); break;
            case CSC: op = unary(Kind::Csc, arg(children[0])); break;
            default:
                op.kind = Kind::Function;
                op.code = kFunctions[f->op].pointwise;
                op.name = kFunctions[f->op].name;
                op.argCount = static_cast<uint32_t>(count);
                for (int a = 0; a < count; ++a) {
                    op.args[a] = arg(children[static_cast<size_t>(a)]);
                    op.dimensions |= ops_[op.args[a]].dimensions;
                }
            }
        } else {
            return false;
        }
        classify(op, t);
        fold(op);
        // The same operation on the same operands is computed once, as a
        // subtree the tree shares is (a formula text repeats r = sqrt(...)).
        const std::string key = keyOf(op);
        if (auto same = byContent_.find(key); same != byContent_.end()) {
            index_[&node] = same->second;
            return true;
        }
        byContent_.emplace(key, static_cast<uint32_t>(ops_.size()));
        index_[&node] = static_cast<uint32_t>(ops_.size());
        ops_.push_back(op);
        traits_.push_back(t);
        nodes_.push_back(&node);
        return true;
    }

    static std::string keyOf(const Operation &op) {
        std::string key(reinterpret_cast<const char *>(&op.kind), sizeof op.kind);
        const auto put = [&key](const auto &v) { key.append(reinterpret_cast<const char *>(&v), sizeof v); };
        put(op.code);
        put(op.argCount);
        for (uint32_t a = 0; a < op.argCount; ++a)
            put(op.args[a]);
        if (op.kind == Kind::Constant)
            put(op.value);
        if (op.kind == Kind::Variable) {
            put(op.start);
            put(op.step);
            put(op.dimension);
        }
        return key;
    }

    Operation unary(Kind kind, uint32_t a) const {
        Operation op{};
        op.kind = kind;
        op.argCount = 1;
        op.args[0] = a;
        op.dimensions = ops_[a].dimensions;
        return op;
    }
    Operation binary(Kind kind, uint32_t a, uint32_t b) const {
        Operation op = unary(kind, a);
        op.argCount = 2;
        op.args[1] = b;
        op.dimensions |= ops_[b].dimensions;
        return op;
    }

    // Whether the chains of this operation close (the algebra keeps it a
    // recurrence), and whether it is a term worth stepping.
    void classify(const Operation &op, Traits &t) const {
        const auto of = [&](uint32_t a) -> const Traits & { return traits_[a]; };
        t.size = 1;
        for (uint32_t a = 0; a < op.argCount; ++a) {
            const Traits &c = of(op.args[a]);
            t.size += c.size;
            t.terms += c.terms;
        }
        const auto all = [&](bool Traits::*flag) {
            for (uint32_t a = 0; a < op.argCount; ++a)
                if (!(of(op.args[a]).*flag))
                    return false;
            return true;
        };
        const auto isConstant = [&](uint32_t a) { return ops_[a].kind == Kind::Constant; };
        bool transcendental = false;
        switch (op.kind) {
        case Kind::Constant:
        case Kind::Variable:
            t.polynomial = t.recurrence = true;
            break;
        case Kind::Add:
        case Kind::Subtract:
        case Kind::Negate:
            t.polynomial = all(&Traits::polynomial);
            t.recurrence = all(&Traits::recurrence);
            break;
        case Kind::Multiply:
            // A product of two stepped terms (a pulse's envelope times its
            // carrier) steps in double-double throughout: each term steps
            // alone and the product is taken directly.
            t.polynomial = all(&Traits::polynomial);
            t.recurrence = t.polynomial || (all(&Traits::recurrence) &&
                                            (isConstant(op.args[0]) || isConstant(op.args[1])));
            break;
        case Kind::Divide:
            if (isConstant(op.args[1]) && ops_[op.args[1]].value != 0.0) {
                t.polynomial = of(op.args[0]).polynomial;
                t.recurrence = of(op.args[0]).recurrence;
            }
            break;
        case Kind::Square:
            t.polynomial = t.recurrence = of(op.args[0]).polynomial;
            break;
        case Kind::Power:
            if (isConstant(op.args[1]) && wholeExponent(ops_[op.args[1]].value)) {
                t.polynomial = t.recurrence = of(op.args[0]).polynomial;
            } else if (isConstant(op.args[0]) && ops_[op.args[0]].value > 0.0 && of(op.args[1]).polynomial) {
                t.recurrence = transcendental = true;
            }
            break;
        case Kind::Exp:
        case Kind::Exp2:
        case Kind::Sin:
        case Kind::Cos:
            t.recurrence = transcendental = of(op.args[0]).polynomial;
            break;
        default:
            break;
        }
        if (transcendental) {
            ++t.terms;
            t.transcendental = true;
        }
    }

    // An operation of constants is a constant, computed as the points are.
    void fold(Operation &op) const {
        if (op.kind == Kind::Constant || op.kind == Kind::Variable || op.dimensions != 0)
            return;
        double values[3] = {0.0, 0.0, 0.0};
        const double *args[3] = {&values[0], &values[1], &values[2]};
        for (uint32_t a = 0; a < op.argCount; ++a)
            values[a] = ops_[op.args[a]].value;
        double r = 0.0;
        computeOperation(op.kind, op.code, args, &r, 1);
        op = Operation{};
        op.kind = Kind::Constant;
        op.value = r;
    }
};

} // namespace

struct PlannedFormula::Details {
    std::unique_ptr<Planner> planner; // null: the whole tree steps everywhere
    const ASTnode *tree = nullptr;
    mutable std::mutex mutex;
    mutable std::map<uint64_t, std::shared_ptr<const FormulaPlan>> plans;
};

PlannedFormula::PlannedFormula(std::unique_ptr<Details> details) : details_(std::move(details)) {}
PlannedFormula::~PlannedFormula() = default;

uint64_t PlannedFormula::steppedOn(const std::vector<uint64_t> &low, const std::vector<uint64_t> &high) const {
    return details_->planner ? details_->planner->steppedOn(low, high) : 0;
}

std::shared_ptr<const FormulaPlan> PlannedFormula::plan(uint64_t stepped) const {
    const std::lock_guard<std::mutex> lock(details_->mutex);
    std::shared_ptr<const FormulaPlan> &made = details_->plans[stepped];
    if (made)
        return made;
    auto plan = std::make_shared<FormulaPlan>();
    if (details_->planner) {
        *plan = details_->planner->finish(stepped);
    } else {
        plan->dims = dims;
        FormulaPlan::Operation whole{};
        whole.kind = Kind::Recurrence;
        whole.subtree = details_->tree;
        whole.dimensions = dims >= 64 ? ~uint64_t{0} : (uint64_t{1} << dims) - 1;
        plan->operations.push_back(whole);
    }
    made = std::move(plan);
    return made;
}

bool PlannedFormula::hasCandidates() const { return details_->planner && details_->planner->candidates() > 0; }

std::string PlannedFormula::describeCandidates(uint64_t stepped) const {
    return details_->planner ? details_->planner->describeCandidates(stepped) : "";
}

std::shared_ptr<const PlannedFormula> formulaOf(const ASTnode &tree, size_t dims) {
    std::shared_ptr<const PlannedFormula> kept = tree.keptFormula();
    if (kept && kept->dims == dims)
        return kept;
    auto details = std::make_unique<PlannedFormula::Details>();
    details->tree = &tree;
    details->planner = std::make_unique<Planner>(dims);
    if (!details->planner->build(tree))
        details->planner.reset();
    auto made = std::make_shared<PlannedFormula>(std::move(details));
    made->dims = dims;
    tree.keepFormula(made);
    return made;
}

// Rows longer than this are not tabulated: a table would not stay in the cache.
constexpr uint64_t kTabledColumns = uint64_t{1} << 20;

std::vector<Place> placements(const FormulaPlan &plan, const std::vector<uint64_t> &shape, size_t &rowAxis) {
    const size_t n = shape.size();
    rowAxis = n - 1;
    while (rowAxis > 0 && shape[rowAxis] == 1)
        --rowAxis;
    uint64_t rows = 1, moving = 0;
    for (size_t d = 0; d < rowAxis; ++d)
        rows *= shape[d];
    for (size_t d = 0; d < n && d < 64; ++d)
        if (shape[d] > 1)
            moving |= uint64_t{1} << d;
    const uint64_t column = rowAxis < 64 ? uint64_t{1} << rowAxis : 0;
    const bool tabulate = rows > 1 && shape[rowAxis] <= kTabledColumns;
    const auto &ops = plan.operations;
    std::vector<Place> place(ops.size());
    for (size_t i = 0; i < ops.size(); ++i) {
        const uint64_t along = ops[i].dimensions & moving;
        bool readsAlong = false;
        for (uint32_t a = 0; a < ops[i].argCount; ++a)
            readsAlong = readsAlong || place[ops[i].args[a]] == Place::Along;
        // A recurrence is stepped along the rows, and so is whatever reads it.
        if (ops[i].kind == Kind::Recurrence || readsAlong)
            place[i] = Place::Along;
        else if (along == 0)
            place[i] = Place::Fixed;
        else if (!(along & column))
            place[i] = Place::PerRow;
        else if (along == column && tabulate)
            place[i] = Place::Tabled;
        else
            place[i] = Place::Along;
    }
    return place;
}

namespace {

// What an operation costs a point when it runs along a row, in nanoseconds
// on one core of the machine the benchmark ran on: a rough guide for the
// plan's reader, not used to decide anything.
double pointCost(const Operation &op) {
    switch (op.kind) {
    case Kind::Constant: return 0.0;
    case Kind::Variable: case Kind::Add: case Kind::Subtract: case Kind::Multiply: case Kind::Negate:
    case Kind::Square: return 0.1;
    case Kind::Divide: case Kind::Reciprocal: case Kind::SquareRoot: return 0.4;
    case Kind::Exp: case Kind::Exp2: case Kind::Log: return 4.0;
    case Kind::Sin: case Kind::Cos: case Kind::Sec: case Kind::Csc: return 8.0;
    case Kind::Tan: case Kind::Cot: return 16.0;
    case Kind::Power: return 12.0;
    case Kind::Function: return op.code >= EXPR_ABS && op.code <= EXPR_RINT ? 0.2 : op.code >= EXPR_MIN ? 0.2 : 8.0;
    case Kind::Recurrence: return 1.0 + 0.5 * op.size;
    }
    return 0.0;
}

const char *placeName(Place p) {
    switch (p) {
    case Place::Fixed: return "once";
    case Place::PerRow: return "per row";
    case Place::Tabled: return "per column";
    case Place::Along: return "every point";
    }
    return "?";
}

} // namespace

namespace {

std::string describeOperations(const FormulaPlan &plan, const std::vector<uint64_t> &shape) {
    size_t rowAxis = 0;
    const std::vector<Place> place = placements(plan, shape, rowAxis);
    uint64_t rows = 1;
    for (size_t d = 0; d < rowAxis; ++d)
        rows *= shape[d];
    const uint64_t columns = shape[rowAxis];
    std::ostringstream text;
    double cost = 0.0;
    for (size_t i = 0; i < plan.operations.size(); ++i) {
        const Operation &op = plan.operations[i];
        if (op.kind == Kind::Constant)
            continue;
        std::ostringstream line;
        line << "  [" << i << "] " << (op.kind == Kind::Function ? op.name : kindName(op.kind));
        if (op.kind == Kind::Variable)
            line << " x" << op.dimension;
        for (uint32_t a = 0; a < op.argCount; ++a) {
            const Operation &arg = plan.operations[op.args[a]];
            if (arg.kind == Kind::Constant)
                line << (a ? ", " : " ") << arg.value;
            else
                line << (a ? ", [" : " [") << op.args[a] << "]";
        }
        if (op.kind == Kind::Recurrence)
            line << " (a subtree of " << op.size << " nodes)";
        std::string head = line.str();
        if (head.size() < 34)
            head.resize(34, ' ');
        const double c = pointCost(op);
        const double share = place[i] == Place::Along    ? c
                             : place[i] == Place::Tabled ? c / static_cast<double>(rows)
                             : place[i] == Place::PerRow ? c / static_cast<double>(columns)
                                                         : 0.0;
        cost += share;
        text << head << " " << placeName(place[i]) << ", "
             << (op.kind == Kind::Recurrence ? "stepped as recurrences in double-double"
                 : op.kind == Kind::Variable ? "start + index * step"
                 : op.fast                   ? "direct, in double, a vector library's kernel"
                                             : "direct, in double")
             << "\n";
    }
    std::ostringstream head;
    head << "plan on a grid of shape (";
    for (size_t d = 0; d < shape.size(); ++d)
        head << (d ? ", " : "") << shape[d];
    head << (shape.size() == 1 ? ",)" : ")") << ": " << (plan.wholeRecurrence() ? "the whole formula steps as recurrences"
                                                                               : "rows along axis x")
         << (plan.wholeRecurrence() ? "" : std::to_string(rowAxis)) << ", about " << cost
         << " ns a point on one core\n";
    return head.str() + text.str();
}

} // namespace

uint64_t decisionCell(size_t dims) { return dims == 1 ? 4096 : 64; }

std::string describePlan(const PlannedFormula &formula, const std::vector<uint64_t> &shape) {
    std::vector<uint64_t> low(shape.size(), 0), high(shape.size(), decisionCell(shape.size()) - 1);
    const uint64_t stepped = formula.steppedOn(low, high);
    return describeOperations(*formula.plan(stepped), shape) + formula.describeCandidates(stepped);
}

const char *kindName(FormulaPlan::Kind kind) {
    switch (kind) {
    case Kind::Constant: return "constant";
    case Kind::Variable: return "axis";
    case Kind::Add: return "add";
    case Kind::Subtract: return "subtract";
    case Kind::Multiply: return "multiply";
    case Kind::Divide: return "divide";
    case Kind::Negate: return "negate";
    case Kind::Square: return "square";
    case Kind::Reciprocal: return "reciprocal";
    case Kind::SquareRoot: return "sqrt";
    case Kind::Power: return "power";
    case Kind::Exp: return "exp";
    case Kind::Log: return "log";
    case Kind::Sin: return "sin";
    case Kind::Cos: return "cos";
    case Kind::Tan: return "tan";
    case Kind::Cot: return "cot";
    case Kind::Sec: return "sec";
    case Kind::Csc: return "csc";
    case Kind::Exp2: return "exp2";
    case Kind::Function: return "function";
    case Kind::Recurrence: return "recurrence";
    }
    return "?";
}

} // namespace vemiral
