// Whether a chain's values stay in the range of doubles over a grid.
#include "cr/representable.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "cr/CRnum.hpp"

namespace vemiral {

namespace {

thread_local const std::vector<uint64_t> *currentGrid = nullptr;

constexpr double kMaxLog = 650.0; // e^-650 ~ 5e-283: normal, and so is its tail in double-double
constexpr double kMaxSum = 1e300;

double stepsAlong(int64_t dim) {
    if (!currentGrid || dim < 0 || static_cast<uint64_t>(dim) >= currentGrid->size())
        return 0.0;
    const uint64_t e = (*currentGrid)[static_cast<size_t>(dim)];
    return e == 0 ? 0.0 : static_cast<double>(e - 1);
}

// C(t, i) for the largest t stepped along dim: how often operand i is
// applied at most. Infinite when it overflows.
double applications(double t, uint64_t i) {
    double c = 1.0;
    for (uint64_t k = 1; k <= i && c != 0.0; ++k)
        c *= std::max(0.0, t - static_cast<double>(k - 1)) / static_cast<double>(k);
    return c;
}

// A bound of |f| over the grid for the factor f of a product or the level
// amplitude of a rotation, as a bound of |ln|f||; negative when f is not
// representable at all.
double logBound(const CRobj &c);

// The largest |ln|register|| a product or scaled rotation reaches: register k
// at step t is the product over i >= k of operand i raised to C(t, i - k).
double chainLogBound(const CRobj &c, const std::vector<double> &operandLogs) {
    const double t = stepsAlong(c.index);
    double worst = 0.0;
    for (size_t k = 0; k < operandLogs.size(); ++k) {
        double sum = 0.0;
        for (size_t i = k; i < operandLogs.size(); ++i) {
            if (operandLogs[i] == 0.0)
                continue;
            sum += applications(t, i - k) * operandLogs[i];
        }
        worst = std::max(worst, sum);
    }
    return std::isfinite(worst) ? worst : HUGE_VAL;
}

double logBound(const CRobj &c) {
    switch (c.chainKind()) {
    case ChainKind::Number: {
        // An exact zero stays zero and grows nothing; one the algebra rounded
        // to zero, or below the normal range, has lost the value.
        const CRnum &n = static_cast<const CRnum &>(c);
        const double v = std::fabs(n.number);
        if (v == 0.0 && !n.underflowed)
            return 0.0;
        if (!std::isfinite(v) || v < DBL_MIN)
            return -1.0;
        return std::fabs(std::log(v));
    }
    case ChainKind::Product: {
        std::vector<double> logs;
        for (const CRptr &op : c.operands) {
            const double b = logBound(*op);
            if (b < 0.0)
                return -1.0;
            logs.push_back(b);
        }
        return chainLogBound(c, logs);
    }
    case ChainKind::Rotation: {
        // Level i's amplitude is that of its pair (S_i, C_i).
        const size_t n = c.operands.size() / 2;
        std::vector<double> logs;
        for (size_t i = 0; i < n; ++i) {
            const CRobj &s = *c.operands[i], &co = *c.operands[n + i];
            if (s.isnumber() && co.isnumber()) {
                const double a = std::hypot(static_cast<const CRnum &>(s).number,
                                            static_cast<const CRnum &>(co).number);
                if (!std::isfinite(a) || a < DBL_MIN)
                    return -1.0;
                logs.push_back(std::fabs(std::log(a)));
            } else {
                // A pair that is itself a chain: its amplitude is bounded by
                // its own parts (a rotation of amplitude 1, or scaled).
                const double b = std::max(representable(s) ? 0.0 : -1.0, representable(co) ? 0.0 : -1.0);
                if (b < 0.0)
                    return -1.0;
                logs.push_back(std::max(logBound(s), logBound(co)));
            }
        }
        return chainLogBound(c, logs);
    }
    default:
        return 0.0; // sums and expression nodes are not factors we can bound
    }
}

// A bound of |value| over the grid for a sum chain (or a constant in one);
// infinite when not representable.
double absBound(const CRobj &c) {
    switch (c.chainKind()) {
    case ChainKind::Number: {
        const double v = std::fabs(static_cast<const CRnum &>(c).number);
        return std::isfinite(v) ? v : HUGE_VAL;
    }
    case ChainKind::Sum: {
        const double t = stepsAlong(c.index);
        double sum = 0.0;
        for (size_t i = 0; i < c.operands.size(); ++i) {
            const double b = absBound(*c.operands[i]);
            if (b != 0.0)
                sum += applications(t, i) * b;
        }
        return std::isfinite(sum) ? sum : HUGE_VAL;
    }
    case ChainKind::Product: {
        const double b = logBound(c);
        return b < 0.0 ? HUGE_VAL : std::exp(std::min(b, 710.0));
    }
    case ChainKind::Rotation: {
        const double b = logBound(c);
        return b < 0.0 ? HUGE_VAL : std::exp(std::min(b, 710.0));
    }
    case ChainKind::Expression:
        return 0.0; // evaluated directly at every point
    }
    return 0.0;
}

} // namespace

LoweringGrid::LoweringGrid(const std::vector<uint64_t> &extents) : previous_(currentGrid) {
    currentGrid = extents.empty() ? nullptr : &extents;
}

LoweringGrid::~LoweringGrid() { currentGrid = previous_; }

bool checkingRange() { return currentGrid != nullptr; }

bool combinationInRange(int32_t code, const CRobj &a, const CRobj &b) {
    if (code == EXPR_ADD) // every register of the result is a sum of registers of the two
        return absBound(a) + absBound(b) <= kMaxSum;
    if (code != EXPR_MUL || (!a.isnumber() && !b.isnumber()))
        return false;
    const CRobj &other = a.isnumber() ? b : a;
    const double c = std::fabs(static_cast<const CRnum &>(a.isnumber() ? a : b).number);
    if (c == 0.0 || !std::isfinite(c) || c < DBL_MIN)
        return false;
    // A sum's own bound says nothing of the products inside it, which the
    // factor scales too: only a modest factor is known to keep them in range
    // (kMaxLog leaves room below the normal range for that).
    const double log = logBound(other), scale = std::fabs(std::log(c));
    const bool factorOfOne = other.chainKind() == ChainKind::Product || other.chainKind() == ChainKind::Rotation;
    return log >= 0.0 && log + scale <= kMaxLog && absBound(other) * c <= kMaxSum && (factorOfOne || scale <= 20.0);
}

bool representable(const CRobj &chain) {
    if (!currentGrid)
        return true;
    switch (chain.chainKind()) {
    case ChainKind::Number: // a constant is what it is
    case ChainKind::Expression:
        return true;
    case ChainKind::Sum:
        return absBound(chain) <= kMaxSum;
    case ChainKind::Product:
    case ChainKind::Rotation: {
        const double b = logBound(chain);
        if (b < 0.0 || b > kMaxLog)
            return false;
        // Operands of a product that are sums (or anything else) still need
        // their own check.
        return std::all_of(chain.operands.begin(), chain.operands.end(), [](const CRptr &op) {
            return op->chainKind() == ChainKind::Number || op->chainKind() == ChainKind::Product ||
                   op->chainKind() == ChainKind::Rotation || representable(*op);
        });
    }
    }
    return true;
}

} // namespace vemiral
