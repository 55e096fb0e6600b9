#include "cr/CRobj.hpp"

#include <iostream>
#include <utility>

namespace vemiral {

namespace {
// Chain nodes ever created on this thread; the ChainBudget in force caps it
// at createdLimit (the budget it was computed from is kept for the message).
// Per thread, since several threads may lower trees at once.
thread_local uint64_t created = 0;
thread_local uint64_t createdLimit = UINT64_MAX;
thread_local uint64_t budgetExtra = 0;
} // namespace

ChainBudget::ChainBudget(uint64_t extra) : previousLimit_(createdLimit), previousExtra_(budgetExtra) {
    const uint64_t now = created;
    createdLimit = now > UINT64_MAX - extra ? UINT64_MAX : now + extra;
    budgetExtra = extra;
}

ChainBudget::~ChainBudget() {
    createdLimit = previousLimit_;
    budgetExtra = previousExtra_;
}

CRobj::CRobj(int64_t index_, uint64_t length_) : length(length_), index(index_) {
    if (created >= createdLimit)
        throw TooLarge("expression too large: lowering it would build more than " +
                                 std::to_string(budgetExtra) + " chain nodes");
    ++created;
    operands.resize(length_);
}

CRobj::~CRobj() = default;

void CRobj::simplify() {
    for (auto &op : operands)
        op->simplify();
}

double CRobj::valueof() {
    if (initialized)
        return value();
    initialized = true;
    fastvalues.assign(length, 0.0);
    for (uint64_t i = 0; i < length; ++i) {
        if (!operands[i]->isnumber())
            crpositions.push_back(static_cast<int32_t>(i));
        fastvalues[i] = operands[i]->valueof();
    }
    return value();
}

double CRobj::value() const { return initialized ? fastvalues[0] : 0.0; }

bool CRobj::isnumber() const { return false; }

void CRobj::shift(int64_t) {}

void CRobj::refreshOperands(int64_t dim) {
    for (int32_t p : crpositions) {
        operands[static_cast<size_t>(p)]->shift(dim);
        fastvalues[static_cast<size_t>(p)] = operands[static_cast<size_t>(p)]->value();
    }
}

void CRobj::copyInto(CRobj &dst) const {
    for (uint64_t i = 0; i < length; ++i)
        dst.operands[i] = operands[i]->copy();
    if (initialized) {
        dst.initialized = true;
        dst.fastvalues = fastvalues;
        dst.crpositions = crpositions;
    }
}

void CRobj::printOperands() const {
    std::cout << "(";
    for (uint64_t i = 0; i < length; ++i) {
        if (i != 0)
            std::cout << ", ";
        operands[i]->print();
    }
    std::cout << ")";
}

uint64_t operandLimit(const CRobj &a, const CRobj &b) {
    auto constant = [](const CRobj &c) {
        for (const auto &op : c.operands)
            if (!op->isnumber())
                return false;
        return true;
    };
    return constant(a) && constant(b) ? kMaxOperands : kMaxChainOperands;
}

CRptr CRobj::addOwned(CRptr, CRptr other) { return add(*other); }
CRptr CRobj::mulOwned(CRptr, CRptr other) { return mul(*other); }
CRptr CRobj::powOwned(CRptr, CRptr exponent) { return pow(*exponent); }

CRptr CRobj::unaryOwned(int32_t code, CRptr) {
    switch (code) {
    case EXPR_EXP:
        return exp();
    case EXPR_LN:
        return ln();
    case EXPR_SIN:
        return sin();
    default:
        return cos();
    }
}

// The receiver is reached before its owner is handed over, and lives on in
// the parameter it is moved into.
CRptr sumOf(CRptr a, CRptr b) {
    CRobj &receiver = *a;
    return receiver.addOwned(std::move(a), std::move(b));
}

CRptr productOf(CRptr a, CRptr b) {
    CRobj &receiver = *a;
    return receiver.mulOwned(std::move(a), std::move(b));
}

CRptr powerOf(CRptr a, CRptr b) {
    CRobj &receiver = *a;
    return receiver.powOwned(std::move(a), std::move(b));
}

CRptr unaryOf(int32_t code, CRptr a) {
    CRobj &receiver = *a;
    return receiver.unaryOwned(code, std::move(a));
}

CRptr orderedSumOf(CRptr x, CRptr y) {
    return x->index > y->index ? sumOf(std::move(x), std::move(y)) : sumOf(std::move(y), std::move(x));
}

CRptr orderedProductOf(CRptr x, CRptr y) {
    return x->index > y->index ? productOf(std::move(x), std::move(y)) : productOf(std::move(y), std::move(x));
}

CRptr orderedSum(const CRobj &x, const CRobj &y) {
    return x.index > y.index ? x.add(y) : y.add(x);
}

CRptr orderedProduct(const CRobj &x, const CRobj &y) {
    return x.index > y.index ? x.mul(y) : y.mul(x);
}

double Binomials::operator()(uint64_t n, uint64_t r) {
    const uint64_t d = n - r;
    if (rows_.size() <= d)
        rows_.resize(d + 1);
    std::vector<double> &row = rows_[d];
    if (row.empty())
        row.push_back(1.0);
    const double dd = static_cast<double>(n) - static_cast<double>(r);
    while (row.size() <= r) {
        const double t = static_cast<double>(row.size());
        row.push_back(row.back() * ((dd + t) / t));
    }
    return row[r];
}

Extended Binomials::extended(uint64_t n, uint64_t r) {
    const uint64_t d = n - r;
    if (extended_.size() <= d)
        extended_.resize(d + 1);
    std::vector<Extended> &row = extended_[d];
    if (row.empty())
        row.push_back({1.0, 0.0});
    const double dd = static_cast<double>(d);
    while (row.size() <= r) {
        const double t = static_cast<double>(row.size());
        row.push_back(quotient(mul(row.back(), {dd + t, 0.0}), t));
    }
    return row[r];
}

double Binomials::tail(uint64_t n, uint64_t r) {
    return extendedConstants() ? tailOf((*this)(n, r), extended(n, r)) : 0.0;
}

} // namespace vemiral
