#include <stdexcept>
#include <unordered_map>

#include "ast/ASTnode.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRsum.hpp"

namespace vemiral {

// One lowering walk. A node reached along several paths of the tree is
// lowered once; every further occurrence receives a copy of its chain, which
// is what lowering it again would build.
class Lowering {
public:
    explicit Lowering(const ASTnode &root) : budget_(kMaxChainNodes) { countUses(root); }

    CRptr chainOf(const ASTnode &node) {
        auto uses = uses_.find(&node);
        if (uses == uses_.end())
            return build(node);
        auto done = memo_.find(&node);
        if (done != memo_.end()) {
            // A later occurrence: a copy, or the chain itself for the last one.
            if (--uses->second != 0)
                return done->second->copy();
            CRptr last = std::move(done->second);
            memo_.erase(done);
            return last;
        }
        const bool shared = uses->second > 1;
        --uses->second;
        CRptr chain = build(node);
        if (!shared)
            return chain;
        CRptr result = chain->copy();
        memo_.emplace(&node, std::move(chain));
        return result;
    }

private:
    std::unordered_map<const ASTnode *, uint64_t> uses_;
    std::unordered_map<const ASTnode *, CRptr> memo_;
    // Bounds the chain nodes this walk creates (other nodes' chains, alive
    // before it, do not count).
    ChainBudget budget_;

    CRptr build(const ASTnode &node) { return node.lowerWith(*this); }

    // Counts the parent edges of every node reachable from root (without
    // recursion: the walk visits each node once).
    void countUses(const ASTnode &root) {
        std::vector<const ASTnode *> stack{&root};
        uses_[&root] = 1;
        while (!stack.empty()) {
            const ASTnode *node = stack.back();
            stack.pop_back();
            for (const ASTnode *child : {node->left.get(), node->right.get()}) {
                if (!child)
                    continue;
                if (uses_[child]++ == 0)
                    stack.push_back(child);
            }
        }
    }
};

CRptr ASTnode::lower() const {
    Lowering lowering(*this);
    return lowering.chainOf(*this);
}

CRptr ASTnum::lowerWith(Lowering &) const { return std::make_unique<CRnum>(value); }

CRptr ASTvar::lowerWith(Lowering &) const {
    return std::make_unique<CRsum>(static_cast<int64_t>(index), start, step);
}

CRptr ASTbin::lowerWith(Lowering &lowering) const {
    if (op < ADD || op > POW)
        throw std::invalid_argument("cannot lower binary operation " + btName(op));
    CRptr l = lowering.chainOf(*left);
    CRptr r = lowering.chainOf(*right);
    // The operand with the strictly larger index receives; ties go right.
    const bool leftWins = l->index > r->index;
    switch (op) {
    case ADD:
        return leftWins ? l->add(*r) : r->add(*l);
    case SUB: {
        CRptr negated = r->mul(minusone);
        return leftWins ? l->add(*negated) : negated->add(*l);
    }
    case MUL:
        return leftWins ? l->mul(*r) : r->mul(*l);
    case DIV: {
        CRptr inverse = r->pow(minusone);
        return leftWins ? l->mul(*inverse) : inverse->mul(*l);
    }
    default: // POW: the base always receives
        return l->pow(*r);
    }
}

CRptr ASTun::lowerWith(Lowering &lowering) const {
    switch (op) {
    case NEG:
    case EXP:
    case LN:
    case SIN:
    case COS:
    case TAN:
    case COT:
        break;
    default:
        throw std::invalid_argument("cannot lower unary operation " + utName(op));
    }
    CRptr k = lowering.chainOf(*left);
    switch (op) {
    case NEG:
        return k->mul(minusone);
    case EXP:
        return k->exp();
    case LN:
        return k->ln();
    case SIN:
        return k->sin();
    case COS:
        return k->cos();
    default: {
        // tan K = sin K * (cos K)^-1 and cot K = cos K * (sin K)^-1, with the
        // receiver chosen as for a product.
        CRptr s = k->sin(), c = k->cos();
        const CRobj &num = op == TAN ? *s : *c;
        CRptr inverse = (op == TAN ? *c : *s).pow(minusone);
        return num.index > inverse->index ? num.mul(*inverse) : inverse->mul(num);
    }
    }
}

} // namespace vemiral
