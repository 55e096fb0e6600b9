#include <stdexcept>
#include <unordered_map>

#include "ast/ASTnode.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRsum.hpp"

namespace vemiral {

// One lowering walk. A node reached along several paths of the tree is
// lowered once; every further occurrence receives a copy of its chain, which
// is what lowering it again would build.
//
// The walk is iterative, children before parents, so that its native stack
// use does not grow with the depth of the tree: a node's lowerWith runs once
// the chains of its children are ready, and chainOf hands them over (left
// first, then right).
class Lowering {
public:
    Lowering(const ASTnode &root, const std::vector<uint64_t> &corner)
        : corner_(corner), budget_(kMaxChainNodes) {
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
                    } else {
                        done.push_back(std::move(memo->second));
                        memo_.erase(memo);
                    }
                    continue;
                }
                todo.push_back({&node, true});
                if (node.right)
                    todo.push_back({node.right.get(), false});
                if (node.left)
                    todo.push_back({node.left.get(), false});
                continue;
            }
            const size_t children = (node.left ? 1 : 0) + (node.right ? 1 : 0);
            ready_.clear();
            for (size_t i = done.size() - children; i < done.size(); ++i)
                ready_.push_back(std::move(done[i]));
            done.resize(done.size() - children);
            next_ = 0;
            const bool shared = uses->second > 1;
            --uses->second;
            CRptr chain = node.lowerWith(*this);
            ready_.clear();
            if (shared) {
                done.push_back(chain->copy());
                memo_.emplace(&node, std::move(chain));
            } else {
                done.push_back(std::move(chain));
            }
        }
        return std::move(done.back());
    }

    // The chain of a child of the node being lowered (left first).
    CRptr chainOf(const ASTnode &) { return std::move(ready_.at(next_++)); }

    // Where a loop variable starts: moved to the corner's index along its
    // dimension, as if the grid began there. Index 0 keeps the start itself
    // (not start + 0 * step, which is NaN for an infinite step).
    double startOf(const ASTvar &var) const {
        const uint64_t c = var.index < corner_.size() ? corner_[var.index] : 0;
        return c == 0 ? var.start : var.start + static_cast<double>(c) * var.step;
    }

private:
    const std::vector<uint64_t> &corner_;
    std::unordered_map<const ASTnode *, uint64_t> uses_;
    std::unordered_map<const ASTnode *, CRptr> memo_;
    std::vector<CRptr> ready_;
    size_t next_ = 0;
    // Bounds the chain nodes this walk creates (other nodes' chains, alive
    // before it, do not count).
    ChainBudget budget_;

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
            for (const ASTnode *child : {node->left.get(), node->right.get()}) {
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

CRptr ASTnode::lower() const { return lowerAt({}); }

CRptr ASTnode::lowerAt(const std::vector<uint64_t> &corner) const {
    Lowering lowering(*this, corner);
    return lowering.run(*this);
}

CRptr ASTnum::lowerWith(Lowering &) const { return std::make_unique<CRnum>(value); }

CRptr ASTvar::lowerWith(Lowering &lowering) const {
    return std::make_unique<CRsum>(static_cast<int64_t>(index), lowering.startOf(*this), step);
}

namespace {

// The walk owns the chains it combines, so they are handed over to the
// algebra, which moves what it keeps of them into the result instead of
// copying it: a long run of sums or products, or a long nest of expression
// nodes, then costs time in proportion to its length, not to its square.
CRptr combine(int32_t code, CRptr receiver, CRptr other) {
    switch (code) {
    case EXPR_ADD:
        return sumOf(std::move(receiver), std::move(other));
    case EXPR_MUL:
        return productOf(std::move(receiver), std::move(other));
    default:
        return powerOf(std::move(receiver), std::move(other));
    }
}

CRptr unary(int32_t code, CRptr k) { return unaryOf(code, std::move(k)); }

// The operand with the strictly larger index receives; ties go right.
CRptr ordered(int32_t code, CRptr l, CRptr r) {
    return l->index > r->index ? combine(code, std::move(l), std::move(r))
                               : combine(code, std::move(r), std::move(l));
}

} // namespace

// The walk has refused every operation without a lowering rule before it
// calls any lowerWith.
CRptr ASTbin::lowerWith(Lowering &lowering) const {
    CRptr l = lowering.chainOf(*left);
    CRptr r = lowering.chainOf(*right);
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

CRptr ASTun::lowerWith(Lowering &lowering) const {
    CRptr k = lowering.chainOf(*left);
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
