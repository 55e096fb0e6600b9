#pragma once

#include <cstdint>
#include <vector>

#include "cr/CRobj.hpp"

namespace vemiral {

// The values of a grid stepped by the chains' own `shift`: one working copy
// of the chain per dimension, the innermost stepped point by point and the
// outer ones re-seeding it, as an odometer. Slow; the reference that the
// flattened evaluation matches bit for bit.
std::vector<double> referenceValues(const CRobj &root, const std::vector<uint64_t> &extents);

} // namespace vemiral
