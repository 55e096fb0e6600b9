#pragma once

#include <cstdint>
#include <string>

#include "cr/CRobj.hpp"

namespace vemiral {

// A double as Python source text that reads back as exactly the same double:
// "%f" where that is exact, otherwise the shortest round-trip form, and
// float('inf'), float('-inf') or float('nan') for the non-finite values.
std::string pyNumber(double value);

// The generated code of chain's non-constant operands for one step along
// dim, each called with chain's id as parent and its own position.
std::string operandsCode(const CRobj &chain, int64_t dim, const std::string &indent);

// The line that copies chain's current value into slot `position` of its
// parent's array.
std::string writeBack(const CRobj &chain, uint64_t parentId, int64_t position,
                      const std::string &indent);

// The own-dimension step of a sum or product chain: every register combined
// in place with its successor by `update` ("+=" or "*="), ascending.
std::string recurrenceLoop(const CRobj &chain, const char *update, const std::string &indent);

} // namespace vemiral
