#include "eval/reference.hpp"

#include <stdexcept>

namespace vemiral {

std::vector<double> referenceValues(const CRobj &root, const std::vector<uint64_t> &extents) {
    const size_t n = extents.size();
    uint64_t points = 1;
    for (uint64_t e : extents) {
        if (e == 0 || points > UINT64_MAX / e)
            throw std::invalid_argument("reference: no grid to evaluate");
        points *= e;
    }
    if (n == 0)
        throw std::invalid_argument("reference: no grid to evaluate");
    std::vector<double> values;
    values.reserve(points);
    std::vector<uint64_t> counter(n, 0);
    std::vector<CRptr> chain;
    chain.reserve(n);
    chain.push_back(root.copy());
    for (size_t j = 1; j < n; ++j)
        chain.push_back(chain[j - 1]->copy());
    for (;;) {
        values.push_back(chain[n - 1]->value());
        chain[n - 1]->shift(static_cast<int64_t>(n - 1));
        size_t j = n - 1;
        for (;;) {
            if (++counter[j] < extents[j])
                break;
            counter[j] = 0;
            if (j == 0)
                return values;
            chain[j - 1]->shift(static_cast<int64_t>(j - 1));
            --j;
        }
        for (size_t m = j + 1; m < n; ++m)
            chain[m] = chain[m - 1]->copy();
    }
}

} // namespace vemiral
