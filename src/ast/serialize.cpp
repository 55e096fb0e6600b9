#include "ast/serialize.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vemiral {

namespace {

enum Kind : uint8_t { kNumber = 0, kVariable = 1, kBinary = 2, kUnary = 3, kFunction = 4, kEnd = 5 };

void putU64(char *at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<char>(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t getU64(const char *at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= static_cast<uint64_t>(static_cast<uint8_t>(at[i])) << (8 * i);
    return v;
}

void putI32(char *at, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<char>(static_cast<uint8_t>(u >> (8 * i)));
}

int32_t getI32(const char *at) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(static_cast<uint8_t>(at[i])) << (8 * i);
    return static_cast<int32_t>(u);
}

// Writes the node's records; returns how many (two for a closed range's variable).
uint64_t writeRecord(std::string &out, const ASTnode &node, const std::unordered_map<const ASTnode *, uint64_t> &position,
                     uint64_t records) {
    char record[kTreeRecordSize] = {};
    if (const auto *n = dynamic_cast<const ASTnum *>(&node)) {
        record[0] = static_cast<char>(kNumber);
        putU64(record + 8, std::bit_cast<uint64_t>(n->value));
    } else if (const auto *v = dynamic_cast<const ASTvar *>(&node)) {
        record[0] = static_cast<char>(kVariable);
        putU64(record + 8, v->index);
        putU64(record + 16, std::bit_cast<uint64_t>(v->start));
        putU64(record + 24, std::bit_cast<uint64_t>(v->step));
        if (v->last != UINT64_MAX) {
            out.append(record, kTreeRecordSize);
            char end[kTreeRecordSize] = {};
            end[0] = static_cast<char>(kEnd);
            putU64(end + 8, records);
            putU64(end + 16, v->last);
            putU64(end + 24, std::bit_cast<uint64_t>(v->stop));
            out.append(end, kTreeRecordSize);
            return 2;
        }
    } else if (const auto *b = dynamic_cast<const ASTbin *>(&node)) {
        record[0] = static_cast<char>(kBinary);
        putI32(record + 4, b->op);
        putU64(record + 8, position.at(b->left.get()));
        putU64(record + 16, position.at(b->right.get()));
    } else if (const auto *u = dynamic_cast<const ASTun *>(&node)) {
        record[0] = static_cast<char>(kUnary);
        putI32(record + 4, u->op);
        putU64(record + 8, position.at(u->left.get()));
    } else if (const auto *f = dynamic_cast<const ASTfun *>(&node)) {
        record[0] = static_cast<char>(kFunction);
        putI32(record + 4, f->op);
        const auto kids = f->children();
        for (size_t i = 0; i < kids.size(); ++i)
            if (kids[i])
                putU64(record + 8 + 8 * i, position.at(kids[i]));
    } else {
        throw std::logic_error("encodeTree: unknown node class");
    }
    out.append(record, kTreeRecordSize);
    return 1;
}

[[noreturn]] void refuse(uint64_t at, const std::string &why) {
    throw BadTreeEncoding("damaged tree encoding: record " + std::to_string(at) + ": " + why);
}

bool zero(const char *from, size_t n) {
    return std::all_of(from, from + n, [](char c) { return c == 0; });
}

} // namespace

std::string encodeTree(const ASTnode &root) {
    // Depth-first, children before parents; a node already written is not
    // entered again, so a shared node costs one record however often it is used.
    std::unordered_map<const ASTnode *, uint64_t> position;
    std::string out;
    uint64_t records = 0;
    std::vector<const ASTnode *> todo{&root};
    while (!todo.empty()) {
        const ASTnode *node = todo.back();
        if (position.count(node) != 0) {
            todo.pop_back();
            continue;
        }
        bool ready = true;
        // Later children pushed first so that the left subtree is written first.
        const auto kids = node->children();
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
            const ASTnode *child = *it;
            if (child != nullptr && position.count(child) == 0) {
                todo.push_back(child);
                ready = false;
            }
        }
        if (!ready)
            continue;
        records += writeRecord(out, *node, position, records);
        position.emplace(node, records - 1);
        todo.pop_back();
    }
    return out;
}

ASTptr decodeTree(const char *data, size_t size) {
    if (size == 0)
        throw BadTreeEncoding("damaged tree encoding: no records");
    if (size % kTreeRecordSize != 0)
        throw BadTreeEncoding("damaged tree encoding: " + std::to_string(size) + " bytes is not a whole number of " +
                              std::to_string(kTreeRecordSize) + "-byte records (truncated?)");
    const uint64_t count = size / kTreeRecordSize;
    std::vector<ASTptr> nodes;
    nodes.reserve(count);
    std::vector<bool> referenced(count, false);

    // A child must be an earlier record: this is what keeps the graph acyclic.
    auto child = [&](uint64_t at, const char *field, const char *role) -> ASTptr {
        const uint64_t ref = getU64(field);
        if (ref >= at)
            refuse(at, std::string(role) + " refers to record " + std::to_string(ref) +
                           (ref < count ? ", which does not come before it" : ", which does not exist"));
        referenced[ref] = true;
        return nodes[ref];
    };
    auto checkDepth = [&](uint64_t at, uint64_t childDepth) {
        if (childDepth + 1 > kMaxTreeDepth)
            refuse(at, "tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    };

    for (uint64_t at = 0; at < count; ++at) {
        const char *record = data + at * kTreeRecordSize;
        const auto kind = static_cast<uint8_t>(record[0]);
        if (!zero(record + 1, 3))
            refuse(at, "non-zero padding");
        switch (kind) {
        case kNumber:
            if (!zero(record + 4, 4) || !zero(record + 16, 16))
                refuse(at, "non-zero unused field in a number");
            nodes.push_back(std::make_shared<ASTnum>(std::bit_cast<double>(getU64(record + 8))));
            break;
        case kVariable: {
            if (!zero(record + 4, 4))
                refuse(at, "non-zero unused field in a variable");
            const uint64_t index = getU64(record + 8);
            if (index > static_cast<uint64_t>(INT64_MAX))
                refuse(at, "variable index " + std::to_string(index) + " is not below 2**63");
            nodes.push_back(std::make_shared<ASTvar>(index, std::bit_cast<double>(getU64(record + 16)),
                                                     std::bit_cast<double>(getU64(record + 24))));
            break;
        }
        case kEnd: {
            if (!zero(record + 4, 4))
                refuse(at, "non-zero unused field in a range's end");
            const ASTptr named = child(at, record + 8, "range's variable");
            const auto *v = dynamic_cast<const ASTvar *>(named.get());
            if (!v || v->last != UINT64_MAX)
                refuse(at, "a range's end names no plain variable");
            const uint64_t last = getU64(record + 16);
            if (last == UINT64_MAX)
                refuse(at, "a range's end has no last index");
            nodes.push_back(std::make_shared<ASTvar>(v->index, v->start, v->step, last,
                                                     std::bit_cast<double>(getU64(record + 24))));
            break;
        }
        case kBinary: {
            if (!zero(record + 24, 8))
                refuse(at, "non-zero unused field in a binary node");
            const ASTptr l = child(at, record + 8, "left child");
            const ASTptr r = child(at, record + 16, "right child");
            checkDepth(at, std::max(l->depth(), r->depth()));
            nodes.push_back(std::make_shared<ASTbin>(getI32(record + 4), l, r));
            break;
        }
        case kUnary: {
            if (!zero(record + 16, 16))
                refuse(at, "non-zero unused field in a unary node");
            const ASTptr c = child(at, record + 8, "child");
            checkDepth(at, c->depth());
            nodes.push_back(std::make_shared<ASTun>(getI32(record + 4), c));
            break;
        }
        case kFunction: {
            const int32_t op = getI32(record + 4);
            if (op < 0 || op >= FUNCTION_COUNT)
                refuse(at, "unknown function ft(" + std::to_string(op) + ")");
            const auto n = static_cast<size_t>(kFunctions[op].arguments);
            if (!zero(record + 8 + 8 * n, 8 * (3 - n)))
                refuse(at, "non-zero unused field in a function node");
            std::vector<ASTptr> arguments;
            uint64_t deepest = 0;
            for (size_t i = 0; i < n; ++i) {
                arguments.push_back(child(at, record + 8 + 8 * i, "argument"));
                deepest = std::max(deepest, arguments.back()->depth());
            }
            checkDepth(at, deepest);
            nodes.push_back(std::make_shared<ASTfun>(op, std::move(arguments)));
            break;
        }
        default:
            refuse(at, "unknown node kind " + std::to_string(kind));
        }
    }
    // Every record but the root belongs to the tree: an encoding holds
    // nothing it does not need.
    for (uint64_t at = 0; at + 1 < count; ++at)
        if (!referenced[at])
            refuse(at, "no node refers to it and it is not the root");
    return nodes.back();
}

} // namespace vemiral
