// The formula plan: the tree as a list of operations, and which subtrees
// step as recurrences.
#include "eval/plan.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <mutex>
#include <unordered_map>

#include "ast/ASTnode.hpp"
#include "cr/CRobj.hpp"
#include "eval/pointwise.hpp"
#include "eval/ranges.hpp"
#include "eval/vector_kernels.hpp"

namespace vemiral {

namespace {

using Kind = FormulaPlan::Kind;
using Operation = FormulaPlan::Operation;

// What makes two operations the same value: kind, operands and constants,
// and the kernel once one is chosen.
std::string contentKey(const Operation &op) {
    std::string key(reinterpret_cast<const char *>(&op.kind), sizeof op.kind);
    const auto put = [&key](const auto &v) { key.append(reinterpret_cast<const char *>(&v), sizeof v); };
    put(op.code);
    put(op.argCount);
    put(op.fast);
    for (uint32_t a = 0; a < op.argCount; ++a)
        put(op.args[a]);
    if (op.kind == Kind::Constant)
        put(op.value);
    if (op.kind == Kind::Variable) {
        put(op.start);
        put(op.step);
        put(op.last);
        put(op.stop);
        put(op.dimension);
    }
    return key;
}

// Each sine with a cosine of the same argument (both kernels able to run
// together) is paired with it: the later of the two moved just after the
// earlier (both read only their argument, before either), the earlier
// marked with the kernel that computes both.
void pairSinesAndCosines(FormulaPlan &plan) {
    auto &ops = plan.operations;
    std::unordered_map<uint32_t, uint32_t> sines, cosines; // by argument
    for (uint32_t i = 0; i < ops.size(); ++i) {
        ops[i].together = nullptr;
        if (ops[i].kind == Kind::Sin)
            sines.emplace(ops[i].args[0], i);
        if (ops[i].kind == Kind::Cos)
            cosines.emplace(ops[i].args[0], i);
    }
    std::vector<uint32_t> partner(ops.size(), UINT32_MAX);
    for (const auto &[argument, s] : sines) {
        const auto c = cosines.find(argument);
        if (c == cosines.end() || !sinCosKernel(ops[s].fast, ops[c->second].fast))
            continue;
        partner[s] = c->second;
        partner[c->second] = s;
    }
    std::vector<uint32_t> order, moved(ops.size(), UINT32_MAX);
    for (uint32_t i = 0; i < ops.size(); ++i) {
        if (moved[i] != UINT32_MAX)
            continue;
        moved[i] = static_cast<uint32_t>(order.size());
        order.push_back(i);
        if (partner[i] != UINT32_MAX) {
            moved[partner[i]] = static_cast<uint32_t>(order.size());
            order.push_back(partner[i]);
        }
    }
    std::vector<Operation> sorted;
    sorted.reserve(ops.size());
    for (uint32_t i : order) {
        Operation op = ops[i];
        for (uint32_t a = 0; a < op.argCount; ++a)
            op.args[a] = moved[op.args[a]];
        sorted.push_back(op);
    }
    for (uint32_t i = 0; i + 1 < sorted.size(); ++i) {
        if (partner[order[i]] != order[i + 1])
            continue;
        const bool sineFirst = sorted[i].kind == Kind::Sin;
        sorted[i].together = sinCosKernel(sorted[sineFirst ? i : i + 1].fast, sorted[sineFirst ? i + 1 : i].fast);
        ++i;
    }
    ops = std::move(sorted);
    plan.root = moved[plan.root];
    for (uint32_t &r : plan.roots)
        r = moved[r];
}

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
        return true;
    }

    // The final list: the operations in the order they were made, children
    // first.
    FormulaPlan finish() const {
        FormulaPlan plan;
        plan.dims = dims_;
        plan.operations = ops_;
        plan.root = root_;
        plan.roots = {root_};
        chooseKernels(plan);
        pairSinesAndCosines(plan);
        return plan;
    }

private:
    // What error of a value the formula's bound tolerates, a bit each: an
    // error relative to the value (a few ulps of it), and an absolute one (a
    // few ulps of 1, as a bounded function's). The formula's own value may
    // have either (the bound is relative to max(1, |value|)). An argument
    // tolerates what its reader passes on, judged with the bounds of the
    // values (ranges.hpp): a product or quotient passes on a relative error,
    // and an absolute one where its other factor is at most 1 in magnitude;
    // a sum passes on an absolute error, and a relative one where its terms
    // share a sign or the sum stays away from 0. An error that may be
    // amplified leaves the argument computed as direct evaluation computes it.
    enum Tolerance : uint8_t { Amplified = 0, Absolute = 1, Relative = 2, Scaled = 3 };

    // The tolerance argument `argument` of `reader` (its range `value`) gets.
    static uint8_t toleranceOf(const Operation &reader, const ValueRange &value, uint8_t readerTolerance,
                               uint32_t argument, const std::vector<ValueRange> &range) {
        const uint8_t absolute = readerTolerance & Absolute, relative = readerTolerance & Relative;
        const auto arg = [&](uint32_t k) -> const ValueRange & { return range[reader.args[k]]; };
        // A relative error in an argument is one of the value: an absolute
        // one where the value is at most 1 in magnitude.
        const uint8_t scaling = relative | (absolute && value.magnitude() <= 1.0 ? Relative : 0);
        switch (reader.kind) {
        case Kind::Negate:
            return readerTolerance;
        case Kind::Multiply:
            return scaling | (absolute && arg(1 - argument).magnitude() <= 1.0 ? Absolute : 0);
        case Kind::Divide:
            return scaling | (absolute && argument == 0 && arg(1).least() >= 1.0 ? Absolute : 0);
        case Kind::Square: case Kind::Reciprocal: case Kind::SquareRoot:
            return scaling;
        case Kind::Add: case Kind::Subtract: {
            const bool sameSign = reader.kind == Kind::Add ? (arg(0).low >= 0.0 && arg(1).low >= 0.0) ||
                                                                 (arg(0).high <= 0.0 && arg(1).high <= 0.0)
                                                           : (arg(0).low >= 0.0 && arg(1).high <= 0.0) ||
                                                                 (arg(0).high <= 0.0 && arg(1).low >= 0.0);
            if (sameSign) // no cancellation: each term's error is at most the sum's
                return readerTolerance;
            // Away from 0 a relative error of the sum allows an absolute one
            // of a term, and a relative one of a term no larger than the sum.
            const double least = value.least();
            uint8_t passed = absolute;
            if (relative && least >= 0.5)
                passed |= Absolute;
            if (relative && arg(argument).magnitude() <= 2.0 * least)
                passed |= Relative;
            return passed;
        }
        case Kind::Sin: case Kind::Cos:
            // A shift of the argument moves the value by at most as much.
            return absolute;
        case Kind::Exp:
            return relative ? Absolute : Amplified;
        case Kind::Log:
            return absolute ? Relative : Amplified;
        case Kind::Function:
            if (reader.code == EXPR_ABS || reader.code == EXPR_MIN || reader.code == EXPR_MAX ||
                (reader.code == EXPR_WHERE && argument > 0))
                return readerTolerance;
            // A relative error keeps a value's sign and whether it is 0: a
            // test of either is exact.
            if (reader.code == EXPR_SIGN || reader.code == EXPR_AND || reader.code == EXPR_OR ||
                reader.code == EXPR_NOT || ((reader.code == EXPR_WHERE || reader.code == EXPR_HEAVISIDE) && argument == 0))
                return Relative;
            if (comparison(reader.code) && arg(1 - argument).low == 0.0 && arg(1 - argument).high == 0.0)
                return Relative;
            // Slopes of at most 1, and relative ones of at most 1 (|x f'(x)/f(x)|
            // <= 1): an argument's error, absolute or relative, stays one of
            // the value.
            if (reader.code == EXPR_TANH || reader.code == EXPR_ATAN || reader.code == EXPR_HYPOT)
                return readerTolerance;
            // |x erf'(x)/erf(x)| <= 1: a relative error stays one, of a value at most 1.
            if (reader.code == EXPR_ERF && readerTolerance != Amplified)
                return Relative;
            // Its two slopes are positive and sum to 1.
            if (reader.code == EXPR_LOGADDEXP)
                return absolute;
            return Amplified;
        default:
            return Amplified;
        }
    }

    static bool comparison(int32_t code) {
        return code == EXPR_LT || code == EXPR_LE || code == EXPR_GT || code == EXPR_GE || code == EXPR_EQ ||
               code == EXPR_NE;
    }

    static bool libraryFunction(const Operation &op, LibraryFunction &f, bool &bounded) {
        bounded = false;
        switch (op.kind) {
        case Kind::Exp: f = LibraryFunction::Exp; return true;
        case Kind::Log: f = LibraryFunction::Log; return true;
        case Kind::Sin: f = LibraryFunction::Sin; bounded = true; return true;
        case Kind::Cos: f = LibraryFunction::Cos; bounded = true; return true;
        case Kind::Tan: f = LibraryFunction::Tan; return true;
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
        case EXPR_J0: f = LibraryFunction::J0; return true;
        case EXPR_J1: f = LibraryFunction::J1; return true;
        case EXPR_Y0: f = LibraryFunction::Y0; return true;
        case EXPR_Y1: f = LibraryFunction::Y1; return true;
        case EXPR_GAMMA: f = LibraryFunction::Gamma; return true;
        default: return false;
        }
    }

    static void chooseKernels(FormulaPlan &plan) {
        auto &ops = plan.operations;
        const std::vector<ValueRange> range = valueRanges(ops);
        std::vector<uint8_t> tolerance(ops.size(), Scaled);
        for (size_t i = ops.size(); i-- > 0;) {
            for (uint32_t a = 0; a < ops[i].argCount; ++a)
                tolerance[ops[i].args[a]] &= toleranceOf(ops[i], range[i], tolerance[i], a, range);
            // NumPy's own loop is direct evaluation itself. Sine and cosine,
            // which NumPy computes with the C library, take glibc's vector
            // forms (a few ulps of the value, which is at most 1) only where
            // such an error cannot grow; elsewhere the C library's, as NumPy.
            if (ops[i].kind == Kind::Function && ops[i].code == EXPR_LOGADDEXP && (tolerance[i] & Absolute))
                ops[i].fast = logAddExpKernel();
            if (ops[i].kind == Kind::Function && ops[i].code == EXPR_ERF && tolerance[i] != Amplified)
                ops[i].fast = erfKernel();
            LibraryFunction f;
            bool bounded = false;
            const bool wholePower = ops[i].kind == Kind::Power && ops[i].code != 0;
            if (wholePower || !libraryFunction(ops[i], f, bounded))
                continue;
            const bool trigonometric = f == LibraryFunction::Sin || f == LibraryFunction::Cos;
            if (!trigonometric || (tolerance[i] & Relative) || (bounded && (tolerance[i] & Absolute)))
                ops[i].fast = libraryKernel(f);
            // hypot's own vector kernel errs by about an ulp of the value,
            // the library's by half: taken where a relative error stays one.
            if (f == LibraryFunction::Hypot && (tolerance[i] & Relative))
                ops[i].fast = vectorHypot;
        }
    }

    size_t dims_;
    std::vector<Operation> ops_;
    std::unordered_map<const ASTnode *, uint32_t> index_;
    std::unordered_map<std::string, uint32_t> byContent_;
    uint32_t root_ = 0;


    bool add(const ASTnode &node) {
        Operation op{};
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
            op.last = v->last;
            op.stop = v->stop;
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
        fold(op);
        // The same operation on the same operands is computed once, as a
        // subtree the tree shares is (a formula text repeats r = sqrt(...)).
        const std::string key = contentKey(op);
        if (auto same = byContent_.find(key); same != byContent_.end()) {
            index_[&node] = same->second;
            return true;
        }
        byContent_.emplace(key, static_cast<uint32_t>(ops_.size()));
        index_[&node] = static_cast<uint32_t>(ops_.size());
        ops_.push_back(op);
        return true;
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

std::shared_ptr<const PlannedFormula> formulaOf(const ASTnode &tree, size_t dims) {
    std::shared_ptr<const PlannedFormula> kept = tree.keptFormula();
    if (kept && kept->dims == dims)
        return kept;
    auto made = std::make_shared<PlannedFormula>();
    made->dims = dims;
    auto plan = std::make_shared<FormulaPlan>();
    Planner planner(dims);
    if (planner.build(tree)) {
        *plan = planner.finish();
    } else {
        plan->dims = dims;
        FormulaPlan::Operation whole{};
        whole.kind = Kind::Recurrence;
        whole.subtree = &tree;
        whole.dimensions = dims >= 64 ? ~uint64_t{0} : (uint64_t{1} << dims) - 1;
        plan->operations.push_back(whole);
        plan->roots = {0};
    }
    made->plan = std::move(plan);
    tree.keepFormula(made);
    return made;
}

namespace {

// Joint plans made lately, by the plans they join (kept alive here, so an
// address is never another plan's): the trees of a complex formula come
// back run after run.
struct JointPlans {
    std::mutex mutex;
    std::vector<std::pair<std::vector<std::shared_ptr<const FormulaPlan>>, std::shared_ptr<const FormulaPlan>>> kept;
};
constexpr size_t kKeptJointPlans = 16;

std::shared_ptr<const FormulaPlan> join(const std::vector<std::shared_ptr<const FormulaPlan>> &plans, size_t dims) {
    auto joint = std::make_shared<FormulaPlan>();
    joint->dims = dims;
    std::unordered_map<std::string, uint32_t> byContent;
    for (const auto &plan : plans) {
        std::vector<uint32_t> index(plan->operations.size());
        for (size_t i = 0; i < plan->operations.size(); ++i) {
            Operation op = plan->operations[i];
            for (uint32_t a = 0; a < op.argCount; ++a)
                op.args[a] = index[op.args[a]];
            const auto [at, fresh] = byContent.emplace(contentKey(op), static_cast<uint32_t>(joint->operations.size()));
            if (fresh)
                joint->operations.push_back(op);
            index[i] = at->second;
        }
        joint->roots.push_back(index[plan->root]);
    }
    joint->root = joint->roots.front();
    pairSinesAndCosines(*joint);
    return joint;
}

} // namespace

std::shared_ptr<const FormulaPlan> jointPlan(const std::vector<const ASTnode *> &trees, size_t dims) {
    std::vector<std::shared_ptr<const FormulaPlan>> plans;
    for (const ASTnode *tree : trees)
        plans.push_back(formulaOf(*tree, dims)->plan);
    static JointPlans recent;
    {
        std::lock_guard<std::mutex> lock(recent.mutex);
        for (const auto &[key, plan] : recent.kept)
            if (key == plans)
                return plan;
    }
    std::shared_ptr<const FormulaPlan> joint = join(plans, dims);
    std::lock_guard<std::mutex> lock(recent.mutex);
    if (recent.kept.size() == kKeptJointPlans)
        recent.kept.erase(recent.kept.begin());
    recent.kept.emplace_back(std::move(plans), joint);
    return joint;
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
    case Kind::Recurrence: return 10.0;
    }
    return 0.0;
}

bool scalarLibrary(Kind kind) {
    switch (kind) {
    case Kind::Exp: case Kind::Log: case Kind::Sin: case Kind::Cos: case Kind::Tan: case Kind::Cot:
    case Kind::Sec: case Kind::Csc: case Kind::Exp2: case Kind::Power: return true;
    default: return false;
    }
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
                 : op.kind == Kind::Variable ? "the grid's coordinates"
                 : op.fast                   ? std::string("direct, in double, ") + kernelSource(op.fast)
                 : scalarLibrary(op.kind)    ? "direct, in double, the C library"
                                             : "direct, in double")
             << (op.together ? ", with the next in one pass" : "") << "\n";
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

std::string describePlan(const PlannedFormula &formula, const std::vector<uint64_t> &shape) {
    return describeOperations(*formula.plan, shape);
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
