#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include <cfloat>
#include <cmath>

#include "ast/ASTnode.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRsum.hpp"
#include "cr/representable.hpp"

namespace vemiral {

// One lowering walk. A node reached along several paths of the tree is
// lowered once; every further occurrence receives a copy of its chain, which
// is what lowering it again would build.
//
// The walk is iterative, children before parents, so that its native stack
// use does not grow with the depth of the tree: a node's lowerNode runs once
// the chains of its children are ready, and chainOf hands them over (left
// first, then right).
class Lowering {
public:
    Lowering(const ASTnode &root, const ASTnode::LoweringPlan &plan)
        : plan_(plan), budget_(kMaxChainNodes), tails_(plan.tails), grid_(plan.extents) {
        countUses(root);
    }

    CRptr run(const ASTnode &root) {
        struct Step {
            const ASTnode *node;
            bool childrenReady;
        };
        std::vector<Step> todo{{&root, false}};
        std::vector<CRptr> done; // chains of finished occurrences, in order
        while (!todo.empty()) {
            const Step step = todo.back();
            todo.pop_back();
            const ASTnode &node = *step.node;
            auto uses = uses_.find(&node);
            if (!step.childrenReady) {
                auto memo = memo_.find(&node);
                if (memo != memo_.end()) {
                    // A later occurrence: a copy, or the chain itself for the last one.
                    if (--uses->second != 0) {
                        done.push_back(memo->second->copy());
                        if (separated_.count(memo->second.get()))
                            separated_.insert(done.back().get());
                    } else {
                        done.push_back(std::move(memo->second));
                        memo_.erase(memo);
                    }
                    continue;
                }
                todo.push_back({&node, true});
                const auto kids = node.children();
                for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                    if (*it)
                        todo.push_back({*it, false});
                continue;
            }
            size_t children = 0;
            for (const ASTnode *child : node.children())
                children += child ? 1 : 0;
            ready_.clear();
            for (size_t i = done.size() - children; i < done.size(); ++i)
                ready_.push_back(std::move(done[i]));
            done.resize(done.size() - children);
            next_ = 0;
            const bool shared = uses->second > 1;
            --uses->second;
            if (separating())
                describe(node);
            CRptr chain = node.lowerNode(*this);
            ready_.clear();
            if (shared) {
                done.push_back(chain->copy());
                if (separated_.count(chain.get()))
                    separated_.insert(done.back().get());
                memo_.emplace(&node, std::move(chain));
            } else {
                done.push_back(std::move(chain));
            }
        }
        return merged(std::move(done.back()));
    }

    // --- Separation -----------------------------------------------------------
    //
    // With a split innermost dimension and at least one outer dimension, what
    // is the same for every row is kept apart from what is not, so that the
    // evaluation can compute it once per tile (a table) instead of stepping
    // it in every row. A sum of a part over the outer dimensions alone and a
    // part over the innermost alone stays those two parts (a CRexpr adding
    // them, marked in separated_) through sums, negation and scaling by a
    // constant, up to an exponential (the product of the parts'
    // exponentials), a sine, cosine, tangent or cotangent (the angle-sum
    // formulas); anywhere else the algebra adds them back. A product or
    // quotient of two such parts of which one is no polynomial stays the
    // product of the two chains. Values change by a rounding or two, never
    // more: each part is the exact one to double-double precision.

    bool separating() const { return plan_.separate && plan_.splitDimension > 0; }

    struct NodeInfo {
        bool outer = false;      // uses a loop variable over an outer dimension
        bool inner = false;      // uses the one over the split dimension
        bool polynomial = true;  // sums, differences and products of those and numbers
    };

    const NodeInfo &info(const ASTnode &node) const { return info_.at(&node); }

    // A chain that is a separated sum with its parts added back.
    CRptr merged(CRptr chain) {
        if (!separated_.erase(chain.get()))
            return chain;
        CRptr outer = std::move(chain->operands[0]), inner = std::move(chain->operands[1]);
        return ASTnode::lowerBinary(ADD, std::move(outer), std::move(inner));
    }

    // A separated sum as the operand of a pointwise operation (a function,
    // a reciprocal, a root): the two parts stay apart, so each row adds a
    // number to a table and applies the operation point by point, instead of
    // stepping the sum's chain.
    CRptr keptApart(CRptr chain) {
        separated_.erase(chain.get());
        return chain;
    }

    struct Parts {
        CRptr outer, inner; // either may be missing
    };

    // Whether a chain (of the given node) can take part in a separated sum.
    bool separable(const CRptr &chain, const NodeInfo &i) const {
        return separated_.count(chain.get()) || !(i.outer && i.inner);
    }

    Parts partsOf(CRptr chain, const NodeInfo &i) {
        if (separated_.erase(chain.get()))
            return {std::move(chain->operands[0]), std::move(chain->operands[1])};
        if (i.inner)
            return {nullptr, std::move(chain)};
        return {std::move(chain), nullptr}; // outer parts and numbers
    }

    static CRptr sumOf(CRptr a, CRptr b) {
        if (!a)
            return b;
        if (!b)
            return a;
        return ASTnode::lowerBinary(ADD, std::move(a), std::move(b));
    }

    static CRptr scaled(CRptr a, const CRobj &factor) {
        return a ? ASTnode::lowerBinary(MUL, std::move(a), factor.copy()) : nullptr;
    }

    CRptr separatedSum(CRptr outer, CRptr inner) {
        if (!outer || !inner)
            return outer ? std::move(outer) : std::move(inner);
        auto sum = std::make_unique<CRexpr>(EXPR_ADD, std::move(outer), std::move(inner));
        separated_.insert(sum.get());
        return sum;
    }

    static CRptr product(CRptr a, CRptr b) { return std::make_unique<CRexpr>(EXPR_MUL, std::move(a), std::move(b)); }

    // The chain of a binary node whose operands' chains are l and r.
    CRptr binary(const ASTbin &node, CRptr l, CRptr r) {
        if (separating()) {
            const NodeInfo &il = info(*node.left), &ir = info(*node.right);
            const bool apart = (il.outer && !il.inner && ir.inner && !ir.outer) ||
                               (il.inner && !il.outer && ir.outer && !ir.inner);
            if ((node.op == ADD || node.op == SUB) && separable(l, il) && separable(r, ir)) {
                Parts a = partsOf(std::move(l), il), b = partsOf(std::move(r), ir);
                if (node.op == SUB) {
                    b.outer = scaled(std::move(b.outer), minusone);
                    b.inner = scaled(std::move(b.inner), minusone);
                }
                return separatedSum(sumOf(std::move(a.outer), std::move(b.outer)),
                                    sumOf(std::move(a.inner), std::move(b.inner)));
            }
            if (node.op == MUL && (l->isnumber() || r->isnumber()) &&
                (separated_.count(l.get()) || separated_.count(r.get()))) {
                const bool leftNumber = l->isnumber();
                CRptr factor = leftNumber ? std::move(l) : std::move(r);
                CRptr sum = leftNumber ? std::move(r) : std::move(l);
                Parts p = partsOf(std::move(sum), NodeInfo{true, true, true});
                return separatedSum(scaled(std::move(p.outer), *factor), scaled(std::move(p.inner), *factor));
            }
            const auto *exponent = dynamic_cast<const ASTnum *>(node.right.get());
            const bool wholePower = exponent && exponent->value >= 0.0 && exponent->value == std::floor(exponent->value);
            if (node.op == DIV && separated_.count(r.get()) && !separated_.count(l.get())) {
                // 1/u is u^-1 itself: no multiplication by one at every point.
                if (l->isnumber() && l->value() == 1.0)
                    return ASTnode::lowerBinary(POW, keptApart(std::move(r)), minusone.copy());
                return ASTnode::lowerBinary(DIV, std::move(l), keptApart(std::move(r)));
            }
            if (node.op == POW && separated_.count(l.get()) && exponent && !wholePower)
                return ASTnode::lowerBinary(POW, keptApart(std::move(l)), std::move(r));
            if (apart && (node.op == MUL || node.op == DIV) && !(il.polynomial && ir.polynomial && node.op == MUL)) {
                l = merged(std::move(l));
                r = merged(std::move(r));
                if (node.op == DIV)
                    r = ASTnode::lowerBinary(POW, std::move(r), minusone.copy());
                return product(std::move(l), std::move(r));
            }
        }
        return ASTnode::lowerBinary(node.op, merged(std::move(l)), merged(std::move(r)));
    }

    // The chain of a unary node whose operand's chain is k.
    CRptr unaryNode(const ASTun &node, CRptr k) {
        if (separating() && separated_.count(k.get())) {
            Parts p = partsOf(std::move(k), NodeInfo{true, true, true});
            switch (node.op) {
            case NEG:
                return separatedSum(scaled(std::move(p.outer), minusone), scaled(std::move(p.inner), minusone));
            case EXP: {
                // Only while neither factor leaves the range of doubles:
                // exp(-800) * exp(790) must not be 0 * inf.
                CRptr a = ASTnode::lowerUnary(EXP, p.outer->copy()), b = ASTnode::lowerUnary(EXP, p.inner->copy());
                if (inRange(*a) && inRange(*b))
                    return product(std::move(a), std::move(b));
                k = merged(separatedSum(std::move(p.outer), std::move(p.inner)));
                break;
            }
            case SIN:
            case COS:
                return angleSum(node.op, std::move(p));
            case TAN:
            case COT: {
                Parts q{p.outer->copy(), p.inner->copy()};
                CRptr s = angleSum(SIN, std::move(p)), c = angleSum(COS, std::move(q));
                CRptr num = std::move(node.op == TAN ? s : c), den = std::move(node.op == TAN ? c : s);
                return product(std::move(num), ASTnode::lowerBinary(POW, std::move(den), minusone.copy()));
            }
            case LN:
                return ASTnode::lowerUnary(LN, keptApart(separatedSum(std::move(p.outer), std::move(p.inner))));
            default:
                k = merged(separatedSum(std::move(p.outer), std::move(p.inner)));
                break;
            }
        }
        return ASTnode::lowerUnary(node.op, merged(std::move(k)));
    }

    // A factor that stays a normal double wherever it is evaluated: a
    // representable chain, or a constant that is one.
    static bool inRange(const CRobj &factor) {
        if (factor.chainKind() == ChainKind::Number) {
            const double v = std::fabs(static_cast<const CRnum &>(factor).number);
            return std::isfinite(v) && v >= DBL_MIN;
        }
        return factor.chainKind() != ChainKind::Expression && representable(factor);
    }

    // sin(a + b) = sin a cos b + cos a sin b, cos(a + b) = cos a cos b - sin a sin b.
    static CRptr angleSum(int32_t op, Parts p) {
        CRptr sa = ASTnode::lowerUnary(SIN, p.outer->copy()), ca = ASTnode::lowerUnary(COS, std::move(p.outer));
        CRptr sb = ASTnode::lowerUnary(SIN, p.inner->copy()), cb = ASTnode::lowerUnary(COS, std::move(p.inner));
        if (op == SIN)
            return std::make_unique<CRexpr>(EXPR_ADD, product(std::move(sa), std::move(cb)),
                                            product(std::move(ca), std::move(sb)));
        return std::make_unique<CRexpr>(EXPR_ADD, product(std::move(ca), std::move(cb)),
                                        product(scaled(std::move(sa), minusone), std::move(sb)));
    }

    // What a node uses and whether it is a polynomial, from its children.
    void describe(const ASTnode &node) {
        NodeInfo i;
        if (auto v = dynamic_cast<const ASTvar *>(&node)) {
            const auto dim = static_cast<int64_t>(v->index);
            i.outer = dim < plan_.splitDimension;
            i.inner = dim == plan_.splitDimension;
        } else if (auto b = dynamic_cast<const ASTbin *>(&node)) {
            const NodeInfo &l = info(*b->left), &r = info(*b->right);
            i.outer = l.outer || r.outer;
            i.inner = l.inner || r.inner;
            const auto *exponent = dynamic_cast<const ASTnum *>(b->right.get());
            const bool integerPower = b->op == POW && exponent && exponent->value >= 0.0 &&
                                      exponent->value == std::floor(exponent->value);
            i.polynomial = l.polynomial && r.polynomial && (b->op == ADD || b->op == SUB || b->op == MUL || integerPower);
        } else if (auto u = dynamic_cast<const ASTun *>(&node)) {
            const NodeInfo &c = info(*u->left);
            i.outer = c.outer;
            i.inner = c.inner;
            i.polynomial = c.polynomial && u->op == NEG;
        } else {
            for (const ASTnode *child : node.children()) {
                if (!child)
                    continue;
                i.outer = i.outer || info(*child).outer;
                i.inner = i.inner || info(*child).inner;
            }
            i.polynomial = false;
        }
        info_[&node] = i;
    }

    // The chain of a child of the node being lowered (left first).
    CRptr chainOf(const ASTnode &) { return std::move(ready_.at(next_++)); }

    // The chain of a loop variable, starting at the corner's index along its
    // dimension as if the grid began there.
    CRptr variable(const ASTvar &var) const {
        const auto dim = static_cast<int64_t>(var.index);
        if (plan_.splitDimension >= 0 && dim > plan_.splitDimension)
            return std::make_unique<CRnum>(var.start);
        uint64_t c = var.index < plan_.corner.size() ? plan_.corner[var.index] : 0;
        if (dim != plan_.splitDimension)
            return std::make_unique<CRsum>(dim, startAt(var, c), var.step, startTail(var, c));
        // Blocks along this dimension, fine steps within a block along the
        // next one; multiplying a step by a power of two is exact.
        c += plan_.laneOffset;
        auto blocks = std::make_unique<CRsum>(dim, startAt(var, c), var.step * static_cast<double>(plan_.blockPoints),
                                              startTail(var, c));
        auto fine = std::make_unique<CRsum>(dim + 1, 2);
        fine->operands[0] = std::move(blocks);
        fine->operands[1] = std::make_unique<CRnum>(var.step * static_cast<double>(plan_.fineStride));
        return fine;
    }

    // Index 0 keeps the start itself (not start + 0 * step, which is NaN for
    // an infinite step).
    static double startAt(const ASTvar &var, uint64_t c) {
        return c == 0 ? var.start : var.start + static_cast<double>(c) * var.step;
    }

    // What start + c * step is beyond its double, when tails are kept: the
    // product and the sum are exact in double-double.
    double startTail(const ASTvar &var, uint64_t c) const {
        if (!plan_.tails || c == 0)
            return 0.0;
        return tailOf(startAt(var, c), add(twoProd(static_cast<double>(c), var.step), {var.start, 0.0}));
    }

private:
    const ASTnode::LoweringPlan &plan_;
    std::unordered_map<const ASTnode *, uint64_t> uses_;
    std::unordered_map<const ASTnode *, CRptr> memo_;
    std::vector<CRptr> ready_;
    size_t next_ = 0;
    std::unordered_map<const ASTnode *, NodeInfo> info_;
    std::unordered_set<const CRobj *> separated_;
    // Bounds the chain nodes this walk creates (other nodes' chains, alive
    // before it, do not count).
    ChainBudget budget_;
    ExtendedConstants tails_;
    LoweringGrid grid_;

    // Counts the parent edges of every node reachable from root (without
    // recursion: the walk visits each node once), and refuses operations
    // without a lowering rule before anything is lowered.
    void countUses(const ASTnode &root) {
        std::vector<const ASTnode *> stack{&root};
        uses_[&root] = 1;
        while (!stack.empty()) {
            const ASTnode *node = stack.back();
            stack.pop_back();
            checkLowerable(*node);
            for (const ASTnode *child : node->children()) {
                if (!child)
                    continue;
                if (uses_[child]++ == 0)
                    stack.push_back(child);
            }
        }
    }

    static void checkLowerable(const ASTnode &node) {
        if (auto b = dynamic_cast<const ASTbin *>(&node)) {
            if (b->op < ADD || b->op > POW)
                throw std::invalid_argument("cannot lower binary operation " + btName(b->op));
        } else if (auto u = dynamic_cast<const ASTun *>(&node)) {
            if (u->op < NEG || u->op > COT || u->op == FAC)
                throw std::invalid_argument("cannot lower unary operation " + utName(u->op));
        }
    }
};

CRptr ASTnode::lower() const { return lowerWith(LoweringPlan{}); }

CRptr ASTnode::lowerWith(const LoweringPlan &plan) const {
    Lowering lowering(*this, plan);
    return lowering.run(*this);
}

CRptr ASTnum::lowerNode(Lowering &) const { return std::make_unique<CRnum>(value); }

CRptr ASTvar::lowerNode(Lowering &lowering) const { return lowering.variable(*this); }

namespace {

bool isExpr(const CRptr &chain) { return dynamic_cast<const CRexpr *>(chain.get()) != nullptr; }

// The walk owns the chains it combines, so they are handed over to the
// algebra, which moves what it keeps of them into the result instead of
// copying it: a long run of sums or products, or a long nest of expression
// nodes, then costs time in proportion to its length, not to its square.
//
// A chain that would leave the range of doubles over the lowering's grid is
// replaced by the operation's expression node (see representable): while a
// LoweringGrid is in force, a combination of two chains keeps copies of its
// operands for that. With an expression node among the operands, the result
// is one too, or a chain that holds it and adds no constant of its own.
CRptr combine(int32_t code, CRptr receiver, CRptr other) {
    CRptr keptReceiver, keptOther;
    if (checkingRange() && !isExpr(receiver) && !isExpr(other) && !combinationInRange(code, *receiver, *other)) {
        keptReceiver = receiver->copy();
        keptOther = other->copy();
    }
    CRptr result;
    switch (code) {
    case EXPR_ADD:
        result = sumOf(std::move(receiver), std::move(other));
        break;
    case EXPR_MUL:
        result = productOf(std::move(receiver), std::move(other));
        break;
    default:
        result = powerOf(std::move(receiver), std::move(other));
        break;
    }
    if (keptReceiver && !isExpr(result) && !representable(*result))
        return std::make_unique<CRexpr>(code, std::move(keptReceiver), std::move(keptOther));
    return result;
}

CRptr unary(int32_t code, CRptr k) {
    CRptr kept = checkingRange() && !isExpr(k) ? k->copy() : nullptr;
    CRptr result = unaryOf(code, std::move(k));
    if (kept && !isExpr(result) && !representable(*result))
        return std::make_unique<CRexpr>(code, std::move(kept));
    return result;
}

// The operand with the strictly larger index receives; ties go right.
CRptr ordered(int32_t code, CRptr l, CRptr r) {
    return l->index > r->index ? combine(code, std::move(l), std::move(r))
                               : combine(code, std::move(r), std::move(l));
}

} // namespace

CRptr ASTbin::lowerNode(Lowering &lowering) const {
    CRptr l = lowering.chainOf(*left);
    CRptr r = lowering.chainOf(*right);
    return lowering.binary(*this, std::move(l), std::move(r));
}

CRptr ASTun::lowerNode(Lowering &lowering) const {
    CRptr k = lowering.chainOf(*left);
    return lowering.unaryNode(*this, std::move(k));
}

CRptr ASTfun::lowerNode(Lowering &lowering) const {
    // The functions that chains close over take their argument whole; the
    // pointwise ones keep a separated sum's parts apart.
    const bool closed = op == EXP2 || op == SEC || op == CSC || op == SINH || op == COSH;
    std::vector<CRptr> chains;
    for (const ASTnode *child : children())
        if (child) {
            CRptr chain = lowering.chainOf(*child);
            chains.push_back(closed ? lowering.merged(std::move(chain)) : lowering.keptApart(std::move(chain)));
        }
    return lowerFunction(op, std::move(chains));
}

// The walk has refused every operation without a lowering rule before it
// calls any lowerNode.
CRptr ASTnode::lowerBinary(int32_t op, CRptr l, CRptr r) {
    switch (op) {
    case ADD:
        return ordered(EXPR_ADD, std::move(l), std::move(r));
    case MUL:
        return ordered(EXPR_MUL, std::move(l), std::move(r));
    case SUB:
    case DIV: {
        // l - r = l + r * -1 and l / r = l * r^-1; the receiver is chosen on
        // the indexes of l and r before r is negated or inverted.
        const bool leftWins = l->index > r->index;
        CRptr rr = op == SUB ? combine(EXPR_MUL, std::move(r), minusone.copy())
                             : combine(EXPR_POW, std::move(r), minusone.copy());
        const int32_t code = op == SUB ? EXPR_ADD : EXPR_MUL;
        return leftWins ? combine(code, std::move(l), std::move(rr)) : combine(code, std::move(rr), std::move(l));
    }
    default: // POW: the base always receives
        return combine(EXPR_POW, std::move(l), std::move(r));
    }
}

CRptr ASTnode::lowerFunction(int32_t op, std::vector<CRptr> a) {
    const int32_t code = kFunctions[op].pointwise;
    switch (op) {
    case EXP2:
        return combine(EXPR_POW, std::make_unique<CRnum>(2.0), std::move(a[0]));
    case SEC:
    case CSC:
        return combine(EXPR_POW, lowerUnary(op == SEC ? COS : SIN, std::move(a[0])), minusone.copy());
    case SINH:
    case COSH:
        // (e^u -+ e^-u) / 2: two product chains where u is a sum, as long as
        // neither leaves the range of doubles.
        if (!isExpr(a[0]) && !a[0]->isnumber()) {
            CRptr up = unary(EXPR_EXP, a[0]->copy());
            CRptr down = unary(EXPR_EXP, combine(EXPR_MUL, a[0]->copy(), minusone.copy()));
            if (!isExpr(up) && !isExpr(down)) {
                CRptr half = std::make_unique<CRnum>(op == SINH ? -0.5 : 0.5);
                CRptr sum = ordered(EXPR_ADD, combine(EXPR_MUL, std::move(up), std::make_unique<CRnum>(0.5)),
                                    combine(EXPR_MUL, std::move(down), std::move(half)));
                return sum;
            }
        }
        break;
    default:
        break;
    }
    // Constants fold to the operation's value at a point.
    if (std::all_of(a.begin(), a.end(), [](const CRptr &c) { return c->isnumber(); })) {
        double v[3] = {0.0, 0.0, 0.0};
        for (size_t i = 0; i < a.size(); ++i)
            v[i] = a[i]->value();
        return std::make_unique<CRnum>(CRexpr::apply(code, v[0], v[1], v[2]));
    }
    switch (a.size()) {
    case 1:
        return std::make_unique<CRexpr>(code, std::move(a[0]));
    case 2:
        return std::make_unique<CRexpr>(code, std::move(a[0]), std::move(a[1]));
    default:
        return std::make_unique<CRexpr>(code, std::move(a[0]), std::move(a[1]), std::move(a[2]));
    }
}

CRptr ASTnode::lowerUnary(int32_t op, CRptr k) {
    switch (op) {
    case NEG:
        return combine(EXPR_MUL, std::move(k), minusone.copy());
    case EXP:
        return unary(EXPR_EXP, std::move(k));
    case LN:
        return unary(EXPR_LN, std::move(k));
    case SIN:
        return unary(EXPR_SIN, std::move(k));
    case COS:
        return unary(EXPR_COS, std::move(k));
    default: {
        // tan K = sin K * (cos K)^-1 and cot K = cos K * (sin K)^-1, with the
        // receiver chosen as for a product.
        CRptr s = k->sin();
        CRptr c = unaryOf(EXPR_COS, std::move(k));
        CRptr num = std::move(op == TAN ? s : c);
        CRptr inverse = combine(EXPR_POW, std::move(op == TAN ? c : s), minusone.copy());
        return ordered(EXPR_MUL, std::move(num), std::move(inverse));
    }
    }
}

} // namespace vemiral
