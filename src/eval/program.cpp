// Flattening an initialised chain tree into registers and step lists.
#include "eval/program.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/extended.hpp"
#include "eval/extended_steps.hpp"
#include "eval/kernels.hpp"

namespace vemiral {

namespace {

// Rows evaluated side by side (Program::maxLanes): each row still runs its
// own operations in its own order, but the rows' dependency chains overlap in
// the pipeline, and the cost of walking the steps is shared by more points.
// Fewer when the rows' registers would leave the first-level cache.
constexpr size_t kLaneBytes = 32 * 1024;

// The registers a chain node contributes, in layout order: its fast values,
// then (for an expression node) the register holding its value; a constant
// has its number alone.
void appendRegisters(const CRobj &cr, std::vector<double> &registers) {
    if (cr.chainKind() == ChainKind::Number) {
        registers.push_back(static_cast<const CRnum &>(cr).number);
        return;
    }
    if (!cr.initialized || cr.fastvalues.size() != cr.length)
        throw std::logic_error("evaluation: the chain is not initialised");
    registers.insert(registers.end(), cr.fastvalues.begin(), cr.fastvalues.end());
    if (cr.chainKind() == ChainKind::Expression)
        registers.push_back(cr.value());
}

int32_t operationOf(const CRobj &cr) {
    return cr.chainKind() == ChainKind::Expression ? static_cast<const CRexpr &>(cr).op : 0;
}

// An expression node's operation on double-double operands.
Extended applyExtended(int32_t op, Extended x, Extended y, Extended z) {
    switch (op) {
    case EXPR_ADD: return add(x, y);
    case EXPR_MUL: return mul(x, y);
    case EXPR_POW: return pow(x, y);
    case EXPR_EXP: return exp(x);
    case EXPR_LN: return log(x);
    case EXPR_SIN: return sin(x);
    case EXPR_COS: return cos(x);
    default: {
        Extended r;
        extended::applyOneLane(op, x.hi, x.lo, y.hi, y.lo, z.hi, z.lo, r.hi, r.lo);
        return r;
    }
    }
}

} // namespace

class ProgramBuilder {
public:
    using Node = Program::Node;

    explicit ProgramBuilder(Program &p) : p_(p) {}

    // The chain of every node, in layout order (valid while the root lives).
    std::vector<const CRobj *> chains;

    // Lays the chain tree out in registers: a node's registers, then its
    // chain operands' subtrees, so every subtree is one register range.
    uint32_t layout(const CRobj &root) {
        struct Pending {
            const CRobj *cr;
            uint32_t parent, position;
        };
        // Pre-order without recursion: operands in their order.
        std::vector<Pending> todo{{&root, UINT32_MAX, 0}};
        std::vector<uint32_t> open; // nodes whose subtree is not closed yet
        while (!todo.empty()) {
            const Pending item = todo.back();
            todo.pop_back();
            const CRobj &cr = *item.cr;
            // Close the subtrees this node is not part of.
            while (!open.empty() && open.back() != item.parent) {
                p_.nodes_[open.back()].end = registerCount();
                open.pop_back();
            }
            Node node{};
            node.kind = cr.chainKind();
            node.index = cr.index;
            node.length = static_cast<uint32_t>(cr.length);
            node.first = registerCount();
            node.op = operationOf(cr);
            appendRegisters(cr, p_.seed.registers);
            node.value = node.kind == ChainKind::Expression ? registerCount() - 1
                                                            : node.first + static_cast<uint32_t>(cr.valuePosition());
            if (node.kind == ChainKind::Number)
                node.value = node.first;
            const auto id = static_cast<uint32_t>(p_.nodes_.size());
            p_.nodes_.push_back(std::move(node));
            chains.push_back(&cr);
            if (item.parent != UINT32_MAX)
                p_.nodes_[item.parent].chains.emplace_back(item.position, id);
            open.push_back(id);
            for (auto it = cr.crpositions.rbegin(); it != cr.crpositions.rend(); ++it)
                todo.push_back({cr.operands[static_cast<size_t>(*it)].get(), id, static_cast<uint32_t>(*it)});
        }
        while (!open.empty()) {
            p_.nodes_[open.back()].end = registerCount();
            open.pop_back();
        }
        return 0;
    }

    // Appends the steps by which node's shift along dim changes any register
    // of its subtree; returns whether there are any. A chain operand whose
    // subtree does not change needs no re-reading into its parent: outside a
    // shift, a parent that has never stepped along its own dimension (and an
    // expression node, always) holds its operands' current values, and a copy
    // is shifted only along dimensions in ascending order, so every parent
    // reached through a refresh is one of those.
    bool emit(uint32_t id, int64_t dim, std::vector<Step> &out, bool tabulate) {
        const Node &node = p_.nodes_[id];
        switch (node.kind) {
        case ChainKind::Number:
            return false;
        case ChainKind::Sum:
        case ChainKind::Product:
        case ChainKind::Rotation:
            if (dim == node.index) {
                const uint32_t count = node.kind == ChainKind::Rotation ? node.length / 2 : node.length;
                if (count < 2)
                    return false;
                const Step::Kind kind = node.kind == ChainKind::Sum       ? Step::Sum
                                        : node.kind == ChainKind::Product ? Step::Prod
                                                                          : Step::Rotate;
                out.push_back(Step{kind, 0, node.first, count, 0, 0});
                return true;
            }
            return dim < node.index && refresh(id, dim, out, tabulate);
        case ChainKind::Expression:
            // Its value is its operation on its fast values whenever those are
            // current, so it is recomputed only when an operand changed.
            if (dim > node.index || !refresh(id, dim, out, tabulate))
                return false;
            out.push_back(Step{Step::Expr, node.op, node.value, 0, node.first,
                               node.length > 1 ? node.first + 1 : node.first,
                               node.length > 2 ? node.first + 2 : node.first});
            return true;
        }
        return false;
    }

    // A subtree that no shift along an outer dimension touches starts every
    // row in its initial state, so its values along a row are the same for
    // every row: they are computed once into a table.
    bool rowInvariant(uint32_t id) const {
        const Node &node = p_.nodes_[id];
        return writtenBefore_[node.end] - writtenBefore_[node.first] == 0;
    }

    // Registers written by the steps along the first `dims` dimensions.
    void markOuterWrites(size_t dims) {
        std::vector<char> written(registerCount(), 0);
        for (size_t j = 0; j < dims; ++j) {
            const std::vector<Step> &steps = p_.outer[j];
            for (const Step &st : steps) {
                if (st.kind == Step::Sum || st.kind == Step::Prod)
                    std::fill_n(written.begin() + st.first, st.count, 1);
                else if (st.kind == Step::Rotate)
                    std::fill_n(written.begin() + st.first, 2 * st.count, 1);
                else
                    written[st.first] = 1;
            }
        }
        writtenBefore_.assign(written.size() + 1, 0);
        for (size_t r = 0; r < written.size(); ++r)
            writtenBefore_[r + 1] = writtenBefore_[r] + static_cast<uint32_t>(written[r]);
    }

    // Tables cost a row of memory each; the grid's rows pay for them.
    uint64_t tableBudget = 0;

private:
    Program &p_;
    std::vector<uint32_t> writtenBefore_;
    std::unordered_map<uint32_t, uint32_t> tableOfNode_; // block tables, one per part

    uint32_t registerCount() const {
        if (p_.seed.registers.size() >= UINT32_MAX)
            throw std::length_error("evaluation: too many registers");
        return static_cast<uint32_t>(p_.seed.registers.size());
    }

    bool refresh(uint32_t id, int64_t dim, std::vector<Step> &out, bool tabulate) {
        bool changed = false;
        const uint32_t first = p_.nodes_[id].first;
        for (const auto &[position, child] : p_.nodes_[id].chains) {
            if (tabulate && tableBudget > 0 && rowInvariant(child)) {
                std::vector<Step> own;
                if (!emit(child, dim, own, false))
                    continue;
                uint32_t table;
                if (p_.options.blockTables) {
                    auto [at, added] = tableOfNode_.emplace(child, static_cast<uint32_t>(p_.tables.size()));
                    if (added)
                        p_.tables.push_back(TableRecipe{{}, p_.nodes_[child].value, child});
                    table = at->second;
                } else {
                    p_.tables.push_back(TableRecipe{std::move(own), p_.nodes_[child].value});
                    --tableBudget;
                    table = static_cast<uint32_t>(p_.tables.size() - 1);
                }
                out.push_back(Step{Step::Table, 0, first + position, 0, table, 0});
                changed = true;
            } else if (emit(child, dim, out, tabulate)) {
                out.push_back(Step{Step::Copy, 0, first + position, 0, p_.nodes_[child].value, 0});
                changed = true;
            }
        }
        return changed;
    }
};

Program::Program(const CRobj &root, const std::vector<uint64_t> &extents_, Options options_)
    : extents(extents_), options(options_) {
    if (extents.empty())
        throw std::invalid_argument("evaluation: the grid has no dimensions");
    for (uint64_t e : extents)
        if (e == 0)
            throw std::invalid_argument("evaluation: every extent must be at least 1");
    const size_t inner = extents.size() - 1;
    rowLength = extents[inner];
    for (size_t j = 0; j < inner; ++j)
        rows *= extents[j];

    ProgramBuilder b(*this);
    const uint32_t rootId = b.layout(root);
    rootValue = nodes_[rootId].value;
    if (options.tails)
        fillTails(b.chains, seed);
    outer.resize(inner);
    for (size_t j = 0; j < inner; ++j)
        b.emit(rootId, static_cast<int64_t>(j), outer[j], false);
    b.markOuterWrites(inner);

    const auto innermost = static_cast<int64_t>(inner);
    if (options.blockTables && inner >= 2) {
        // The blocks' and the points' steps read the parts that the rows'
        // own steps never touch from tables.
        outer[inner - 1].clear();
        b.markOuterWrites(inner - 1);
        b.tableBudget = UINT64_MAX;
        b.emit(rootId, static_cast<int64_t>(inner - 1), outer[inner - 1], true);
        b.emit(rootId, innermost, row, true);
    } else if (rows < 2 || !options.tables) {
        b.emit(rootId, innermost, row, false);
    } else if (b.rowInvariant(rootId)) {
        // Every row is the same row.
        std::vector<Step> steps;
        b.emit(rootId, innermost, steps, false);
        tables.push_back(TableRecipe{std::move(steps), rootValue});
        rootTabulated = true;
    } else {
        b.tableBudget = rows / 2;
        b.emit(rootId, innermost, row, true);
        if (row.size() == 2 && row[0].kind == Step::Table && row[1].kind == Step::Expr &&
            row[1].first == rootValue) {
            const Step &table = row[0], &expr = row[1];
            // The other operand must be a register no step of the row writes.
            auto steady = [&](uint32_t r) { return r == table.first || r != expr.first; };
            if (operandsOf(expr.op) < 3 && steady(expr.source) && steady(expr.other) &&
                (expr.source == table.first || expr.other == table.first))
                tableRow = TableRow{true, expr.op, table.source, expr.source, expr.other, table.first};
        }
    }

    while (maxLanes > 1 &&
           seed.registers.size() * sizeof(double) * static_cast<size_t>(maxLanes) > kLaneBytes)
        maxLanes /= 2;
    tabulate(seed);
}

// The values of each row-invariant part along a row: entry t is its value
// after t shifts, the number a parent re-reads at step t.
void Program::tabulate(Seed &s) const {
    s.tables.assign(tables.size(), {});
    if (options.blockTables)
        return; // the caller computes block tables
    for (size_t i = 0; i < tables.size(); ++i) {
        std::vector<double> regs = s.registers;
        std::vector<double> &table = s.tables[i];
        table.resize(rowLength);
        for (uint64_t t = 0; t < rowLength; ++t) {
            table[t] = regs[tables[i].value];
            if (t + 1 < rowLength)
                execute<1>(tables[i].steps, regs.data(), s.tables, 0);
        }
    }
}

std::vector<Step> Program::subtreeSteps(uint32_t node, int64_t dim) const {
    std::vector<Step> steps;
    ProgramBuilder(const_cast<Program &>(*this)).emit(node, dim, steps, false);
    return steps;
}

bool Program::seedFrom(const CRobj &root, Seed &s) const {
    s.registers.clear();
    s.registers.reserve(seed.registers.size());
    // The same pre-order as the layout, checking every node's shape.
    std::vector<const CRobj *> todo{&root}, chains;
    size_t id = 0;
    while (!todo.empty()) {
        const CRobj &cr = *todo.back();
        todo.pop_back();
        if (id >= nodes_.size())
            return false;
        const Node &node = nodes_[id++];
        if (node.kind != cr.chainKind() || node.index != cr.index || node.length != cr.length ||
            node.op != operationOf(cr) || node.chains.size() != cr.crpositions.size() ||
            node.first != s.registers.size())
            return false;
        for (size_t c = 0; c < node.chains.size(); ++c)
            if (node.chains[c].first != static_cast<uint32_t>(cr.crpositions[c]))
                return false;
        appendRegisters(cr, s.registers);
        chains.push_back(&cr);
        for (auto it = cr.crpositions.rbegin(); it != cr.crpositions.rend(); ++it)
            todo.push_back(cr.operands[static_cast<size_t>(*it)].get());
    }
    if (id != nodes_.size() || s.registers.size() != seed.registers.size())
        return false;
    if (options.tails)
        fillTails(chains, s);
    tabulate(s);
    return true;
}

void Program::fillTails(const std::vector<const CRobj *> &chains, Seed &s) const {
    s.tails.assign(s.registers.size(), 0.0);
    // Children come after their parents in layout order: walking backwards,
    // every chain operand's tail is known when its parent reads it.
    for (size_t id = nodes_.size(); id-- > 0;) {
        const Node &node = nodes_[id];
        const CRobj &cr = *chains[id];
        if (node.kind == ChainKind::Number) {
            s.tails[node.first] = static_cast<const CRnum &>(cr).lo;
            continue;
        }
        for (uint32_t i = 0; i < node.length; ++i)
            if (cr.operands[i]->chainKind() == ChainKind::Number)
                s.tails[node.first + i] = static_cast<const CRnum &>(*cr.operands[i]).lo;
        for (const auto &[position, child] : node.chains)
            s.tails[node.first + position] = s.tails[nodes_[child].value];
        if (node.kind == ChainKind::Expression) {
            const Extended x{s.registers[node.first], s.tails[node.first]};
            const Extended y = node.length > 1 ? Extended{s.registers[node.first + 1], s.tails[node.first + 1]}
                                               : Extended{};
            const Extended z = node.length > 2 ? Extended{s.registers[node.first + 2], s.tails[node.first + 2]}
                                               : Extended{};
            s.tails[node.value] =
                tailOf(s.registers[node.value], applyExtended(node.op, normalized(x.hi, x.lo), normalized(y.hi, y.lo),
                                                              normalized(z.hi, z.lo)));
        }
    }
}

} // namespace vemiral
