#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "ast/ASTnode.hpp"

namespace vemiral {

// A tree as a flat run of fixed-size records, one per distinct node, children
// before their parents and the root last; a child is named by the position of
// its record. Both directions walk the records in a loop, so neither the
// depth of the tree nor the native stack limits them, and a node shared
// inside the tree is written once and comes back shared.
//
// Record (kTreeRecordSize bytes, every field little-endian, so the bytes
// travel between machines unchanged):
//   byte 0       kind: 0 number, 1 variable, 2 binary, 3 unary, 4 function, 5 closed range's end
//   bytes 1-3    zero
//   bytes 4-7    operation code (int32; binary, unary and function nodes, else zero)
//   bytes 8-15   number: value bits   variable: index   binary/unary/function: left child
//   bytes 16-23  variable: start bits                   binary/function: right child
//   bytes 24-31  variable: step bits                    function: third argument
// A variable with a closed range's end is two records: the variable's, then
// a kind-5 record naming it in bytes 8-15, with the last index in 16-23 and
// the stop's bits in 24-31.
// Unused fields are zero (a function has as many children as arguments).
// Operation codes travel as they are, including codes outside bt/ut: such a
// node can be built, and its copy refuses crinit alike; a function node's
// code must be a known function.
// Only the tree travels: params, chains and results stay behind.
inline constexpr size_t kTreeRecordSize = 32;

// A byte string that is not the encoding of a tree (ValueError in Python).
class BadTreeEncoding : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

std::string encodeTree(const ASTnode &root);

// Rebuilds the tree, checking every record first: unknown kinds, non-zero
// padding, references to records that are not earlier (which also rules out
// cycles), records nothing refers to, variable indices of 2**63 or more and
// trees deeper than kMaxTreeDepth are refused with BadTreeEncoding before
// the node they concern is built.
ASTptr decodeTree(const char *data, size_t size);

} // namespace vemiral
