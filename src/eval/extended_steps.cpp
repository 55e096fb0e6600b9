// The double-double steps of four lanes, compiled for the processor at hand.
#include "eval/extended_steps.hpp"

#include <cstdlib>

namespace vemiral {

namespace {

[[gnu::flatten]] void executePortable(const std::vector<Step> &steps, const ExtendedLanes &lanes,
                                      const BlockTables *tables, uint64_t entry) {
    executeExtended<4>(steps, lanes, tables, &entry);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::flatten, gnu::target("avx2,fma")]] void executeAvx2(const std::vector<Step> &steps, const ExtendedLanes &lanes,
                                                          const BlockTables *tables, uint64_t entry) {
    executeExtended<4>(steps, lanes, tables, &entry);
}

const bool useAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           std::getenv("VEMIRAL_NO_AVX2") == nullptr;
}();
#endif

} // namespace

void executeExtended4(const std::vector<Step> &steps, const ExtendedLanes &lanes, const BlockTables *tables,
                      uint64_t entry) {
#if defined(__x86_64__) || defined(__i386__)
    if (useAvx2)
        return executeAvx2(steps, lanes, tables, entry);
#endif
    executePortable(steps, lanes, tables, entry);
}

} // namespace vemiral
