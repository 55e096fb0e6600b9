// The accurate method: where the points of a tile come from.
//
// A tile is lowered four times, once per lane: lane l holds the points
// 4k + l of the tile's rows, so that the four lanes of a vector are four
// consecutive points of a row and leave through one store. Each lowering
// splits the innermost loop variable in two: blocks of kBlockPoints points
// along one dimension, and steps of four points inside a block along the
// next. Constants keep their double-double tails (ExtendedConstants) and
// loop variables start exactly at start + index * step, so every register
// starts as the exact value's double-double; the four lanes are then one
// program run on vectors of four.
//
// The outer dimensions and the blocks are stepped by an odometer in
// double-double: every rounding error is kept, so a block's registers are the
// exact ones to about 2^-100 however many steps a tile takes. Inside a block
// the program's innermost steps run either in double-double too, or, where
// they are sums, products of one level, rotations whose angle is constant or
// turns by a constant, and sums and products of those (plainSteps), in plain
// doubles from the block's correctly rounded registers for only kPlainSteps
// steps, each ratio and angle applied exactly and every sum compensated: a
// few roundings, never a drift. Every point is positioned from the tile's
// corner by the same operations whatever block of the grid is asked for.
#include "eval/accurate.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "ast/ASTnode.hpp"
#include "cr/extended.hpp"
#include "eval/extended_steps.hpp"
#include "eval/fine_steps.hpp"
#include "eval/grid.hpp"
#include "eval/pool.hpp"
#include "eval/program.hpp"

namespace vemiral {

// The parts of a tile evaluation, named so that the tiles kept on a node
// can hold them.
namespace accurate {

constexpr int kLanes = 4;              // consecutive points of a row in one vector
constexpr uint64_t kPlainSteps = 16;   // steps of four points in a block, in plain doubles
constexpr uint64_t kExtendedSteps = 64; // in double-double
constexpr uint64_t kLongestBlock = kLanes * kExtendedSteps;
constexpr int kGroup = 8;              // blocks side by side, so their steps overlap
constexpr int kGroupLanes = kLanes * kGroup;

enum class Precision { Plain, Extended };

uint64_t stepsOf(Precision p) { return p == Precision::Plain ? kPlainSteps : kExtendedSteps; }
constexpr uint64_t kParallelPoints = uint64_t{1} << 16;

uint64_t ceilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// The registers of a program's four lanes in double-double, register r of
// lane l at r * kLanes + l.
struct LaneRegisters {
    std::vector<double> hi, lo;

    void resize(size_t registers) {
        hi.assign(registers * kLanes, 0.0);
        lo.assign(registers * kLanes, 0.0);
    }
    void setLane(int lane, const Seed &seed) {
        for (size_t r = 0; r < seed.registers.size(); ++r) {
            const Extended x = normalized(seed.registers[r], seed.tails[r]);
            hi[r * kLanes + static_cast<size_t>(lane)] = x.hi;
            lo[r * kLanes + static_cast<size_t>(lane)] = x.lo;
        }
    }
};

// The blocks of a tile's row that its tables cover: enough for its first
// `columns` columns.
uint64_t tabledBlocks(const Program &program, uint64_t columns) {
    const size_t dims = program.extents.size();
    const uint64_t steps = program.extents[dims - 1];
    return std::min(program.extents[dims - 2], ceilDiv(columns, steps * kLanes));
}

// Every block table's values along the first `columns` columns of a tile's
// row (rounded up to whole blocks), from the corner's registers: each part
// stepped in double-double along the blocks and the steps of a block,
// exactly as the odometer and a block would step it.
BlockTables tablesOf(const Program &program, const LaneRegisters &corner, uint64_t columns) {
    BlockTables t;
    const size_t dims = program.extents.size();
    if (program.tables.empty() || dims < 2)
        return t;
    const auto blocksDim = static_cast<int64_t>(dims - 2);
    const uint64_t blocks = tabledBlocks(program, columns), steps = program.extents[dims - 1];
    const uint64_t entries = blocks * steps * kLanes;
    // A part's steps touch the registers of its subtree alone: only those
    // are copied, so many small parts cost in proportion to their sizes.
    LaneRegisters block = corner, point = corner;
    for (const TableRecipe &recipe : program.tables) {
        const std::vector<Step> alongBlocks = program.subtreeSteps(recipe.node, blocksDim);
        const std::vector<Step> alongBlock = program.subtreeSteps(recipe.node, blocksDim + 1);
        const std::pair<uint32_t, uint32_t> range = program.subtreeRegisters(recipe.node);
        const size_t first = range.first, end = range.second;
        const auto copyRange = [first, end](const LaneRegisters &from, LaneRegisters &to) {
            std::copy(from.hi.begin() + first * kLanes, from.hi.begin() + end * kLanes, to.hi.begin() + first * kLanes);
            std::copy(from.lo.begin() + first * kLanes, from.lo.begin() + end * kLanes, to.lo.begin() + first * kLanes);
        };
        std::vector<double> hi(entries), lo(entries);
        copyRange(corner, block);
        const size_t v = size_t{recipe.value} * kLanes;
        for (uint64_t b = 0; b < blocks; ++b) {
            copyRange(block, point);
            for (uint64_t s = 0; s < steps; ++s) {
                const uint64_t at = (b * steps + s) * kLanes;
                std::memcpy(hi.data() + at, point.hi.data() + v, sizeof(double) * kLanes);
                std::memcpy(lo.data() + at, point.lo.data() + v, sizeof(double) * kLanes);
                if (s + 1 < steps)
                    executeExtended4(alongBlock, {point.hi.data(), point.lo.data()}, nullptr, 0);
            }
            if (b + 1 < blocks)
                executeExtended4(alongBlocks, {block.hi.data(), block.lo.data()}, nullptr, 0);
        }
        std::vector<double> plain(entries), tail(entries);
        for (uint64_t i = 0; i < entries; ++i) {
            plain[i] = toDouble({hi[i], lo[i]});
            const double r = (hi[i] - plain[i]) + lo[i];
            tail[i] = r == r ? r : 0.0;
        }
        t.hi.push_back(std::move(hi));
        t.lo.push_back(std::move(lo));
        t.plain.push_back(std::move(plain));
        t.tail.push_back(std::move(tail));
    }
    return t;
}



// An expression step whose value another operation reads (anything but the
// tree's own value) computes its function in double-double: a later
// exponential, logarithm or sine would amplify even a last-bit error. The
// step's count (unused by expression steps) carries the mark.
void markPrecise(std::vector<Step> &steps, uint32_t rootValue) {
    for (Step &st : steps)
        if (st.kind == Step::Expr)
            st.count = st.first != rootValue && st.op != EXPR_ADD && st.op != EXPR_MUL ? 1 : 0;
}

// What runs a tile: one program for the four lanes when their chains have
// one shape (the usual case), else a program per lane, each run with its
// registers in every lane and only its own lane stored.
struct TileLanes {
    struct Run {
        std::unique_ptr<Program> program;
        LaneRegisters registers;
        BlockTables tables;
        int onlyLane = -1; // -1: every lane is stored
    };
    Precision precision = Precision::Plain;
    uint64_t steps = kPlainSteps; // of a block
    uint64_t columns = 0;         // of a row, that the tables cover
    std::vector<Run> runs;
};

// Refuses (TooLarge) tables for `columns` columns of a tile's row that would
// not fit in memory, before any is made: a tile as long as the grid
// tabulates every column of it.
void checkTables(const Program &program, uint64_t columns, const std::vector<uint64_t> &tile, int programs) {
    const size_t dims = program.extents.size();
    if (program.tables.empty() || dims < 2)
        return;
    // hi, lo, plain and tail: four doubles per column and table.
    const double bytes = static_cast<double>(tabledBlocks(program, columns) * program.extents[dims - 1] * kLanes) *
                         32.0 * static_cast<double>(program.tables.size()) * programs;
    if (bytes > static_cast<double>(usableMemoryBytes()))
        throw TooLarge("tile " + tileText(tile) + ": the accurate method's tables for a row of " +
                       std::to_string(columns) + " columns of a tile would take " + bytesText(bytes) +
                       ", more than the memory this process may use (" +
                       bytesText(static_cast<double>(usableMemoryBytes())) + "): choose a shorter tile");
}

TileLanes lowerTile(const ASTnode &tree, const std::vector<uint64_t> &corner, const std::vector<uint64_t> &tile,
                    uint64_t columns, Precision precision) {
    const size_t n = corner.size();
    const uint64_t steps = stepsOf(precision), blockPoints = kLanes * steps;
    // The split grid the chains are built for: the tile's outer extents, its
    // blocks, the steps of a block.
    std::vector<uint64_t> extents(tile.begin(), tile.end() - 1);
    extents.push_back(tile[n - 1] / blockPoints + (tile[n - 1] % blockPoints != 0));
    extents.push_back(steps);
    ASTnode::LoweringPlan plan;
    plan.corner = corner;
    plan.extents = extents;
    plan.tails = true;
    plan.splitDimension = static_cast<int64_t>(n - 1);
    plan.fineStride = kLanes;
    plan.blockPoints = blockPoints;
    plan.separate = n >= 2;
    std::array<CRptr, kLanes> chains;
    for (int l = 0; l < kLanes; ++l) {
        plan.laneOffset = static_cast<uint64_t>(l);
        chains[static_cast<size_t>(l)] = tree.lowerWith(plan);
        chains[static_cast<size_t>(l)]->valueof();
    }
    const Program::Options options{false, true, n >= 2};
    const auto precise = [](Program &program) {
        for (auto &steps : program.outer)
            markPrecise(steps, program.rootValue);
        markPrecise(program.row, program.rootValue);
    };
    TileLanes lanes;
    lanes.precision = precision;
    lanes.steps = steps;
    TileLanes::Run shared;
    shared.program = std::make_unique<Program>(*chains[0], extents, options);
    precise(*shared.program);
    // Blocks whose steps plain doubles cannot take run in double-double.
    if (precision == Precision::Plain && !plainSteps(*shared.program))
        return lowerTile(tree, corner, tile, columns, Precision::Extended);
    lanes.columns = columns;
    shared.registers.resize(shared.program->registerCount());
    shared.registers.setLane(0, shared.program->seed);
    bool oneShape = true;
    for (int l = 1; l < kLanes && oneShape; ++l) {
        Seed seed;
        oneShape = shared.program->seedFrom(*chains[static_cast<size_t>(l)], seed);
        if (oneShape)
            shared.registers.setLane(l, seed);
    }
    if (oneShape) {
        checkTables(*shared.program, columns, tile, 1);
        shared.tables = tablesOf(*shared.program, shared.registers, columns);
        lanes.runs.push_back(std::move(shared));
        return lanes;
    }
    for (int l = 0; l < kLanes; ++l) {
        TileLanes::Run run;
        run.program = std::make_unique<Program>(*chains[static_cast<size_t>(l)], extents, options);
        precise(*run.program);
        run.registers.resize(run.program->registerCount());
        for (int k = 0; k < kLanes; ++k)
            run.registers.setLane(k, run.program->seed);
        run.onlyLane = l;
        if (precision == Precision::Plain && !plainSteps(*run.program))
            return lowerTile(tree, corner, tile, columns, Precision::Extended);
        checkTables(*run.program, columns, tile, kLanes);
        run.tables = tablesOf(*run.program, run.registers, columns);
        lanes.runs.push_back(std::move(run));
    }
    return lanes;
}

} // namespace accurate

using accurate::TileLanes;

// The tiles an evaluation prepared, kept on the node for the next call:
// a repeated evaluation of the same grid starts from them.
struct AccurateTiles {
    std::vector<uint64_t> edges;
    std::map<std::vector<uint64_t>, std::shared_ptr<const TileLanes>> byCorner;
};

namespace {

using namespace accurate;

// At most this many tiles are kept for the next call.
constexpr size_t kKeptTiles = 64;

// A tile longer than this tabulates only the columns a block reaches.
constexpr uint64_t kTabledColumns = uint64_t{1} << 16;

// The fixed cut of nextFixed: a part is a few hundred thousand points, so
// that a tile's odometer seeks seldom.
constexpr uint64_t kFixedRows = 256;

// The outer dimensions (all but the last two of the program) and the
// blocks, stepped in double-double. Work array j holds the state at the
// current row with the coordinates beyond j at 0; the block array the state
// at the current block.
class Odometer {
public:
    Odometer(const Program &program, const LaneRegisters &start, const BlockTables &tables,
             const std::vector<uint64_t> &row)
        : p_(program), start_(start), tables_(tables), counter_(row.size(), 0), size_(start.hi.size()),
          hi_((row.size() + 1) * size_), lo_((row.size() + 1) * size_) {
        from(0, row);
    }

    // Positioned at row p, a later row in C order: the outer dimensions'
    // steps applied from where the counters differ, as positioning from the
    // tile's corner would apply them.
    void seek(const std::vector<uint64_t> &p) {
        size_t j = 0;
        while (j < counter_.size() && p[j] == counter_[j])
            ++j;
        if (j == counter_.size())
            return;
        while (counter_[j] < p[j]) {
            step(j);
            ++counter_[j];
        }
        from(j + 1, p);
    }

    // The block state at block b of the current row.
    void startRow(uint64_t b) {
        const size_t outer = counter_.size();
        copyFrom(outer);
        block_ = 0;
        for (uint64_t c = 0; c < b; ++c)
            nextBlock();
    }

    void nextBlock() {
        ++block_;
        const size_t j = counter_.size();
        executeExtended4(p_.outer[j], {at(hi_, j), at(lo_, j)}, &tables_,
                         block_ * p_.extents.back() * kLanes);
    }

    // The registers at the current row (block 0); the corner's for a grid of one row.
    const double *rowHi() const { return counter_.empty() ? start_.hi.data() : hi_.data() + (counter_.size() - 1) * size_; }
    const double *rowLo() const { return counter_.empty() ? start_.lo.data() : lo_.data() + (counter_.size() - 1) * size_; }

    const double *blockHi() const { return hi_.data() + counter_.size() * size_; }
    const double *blockLo() const { return lo_.data() + counter_.size() * size_; }

private:
    const Program &p_;
    const LaneRegisters &start_;
    const BlockTables &tables_;
    std::vector<uint64_t> counter_;
    uint64_t block_ = 0;
    size_t size_;
    std::vector<double> hi_, lo_;

    double *at(std::vector<double> &v, size_t j) { return v.data() + j * size_; }

    // Work array j from the one before it (the corner's registers for 0).
    void copyFrom(size_t j) {
        std::memcpy(at(hi_, j), j == 0 ? start_.hi.data() : at(hi_, j - 1), size_ * sizeof(double));
        std::memcpy(at(lo_, j), j == 0 ? start_.lo.data() : at(lo_, j - 1), size_ * sizeof(double));
    }

    // Dimensions j onwards positioned at p from the state before them.
    void from(size_t j, const std::vector<uint64_t> &p) {
        for (size_t m = j; m < counter_.size(); ++m) {
            copyFrom(m);
            for (counter_[m] = 0; counter_[m] < p[m]; ++counter_[m])
                step(m);
        }
    }
    void step(size_t j) { executeExtended4(p_.outer[j], {at(hi_, j), at(lo_, j)}, &tables_, 0); }
};

// Where the points of a block go: block column c lands at row[c + shift]
// when 0 <= c + shift < width (only lane onlyLane's columns, when set).
struct BlockOut {
    double *row;
    int64_t shift;
    int64_t width;
    int onlyLane;

    bool whole(uint64_t blockPoints) const {
        return onlyLane < 0 && shift == 0 && static_cast<int64_t>(blockPoints) <= width;
    }

    // A block computed into `values` (all its points), its part copied out.
    void from(const double *values, uint64_t blockPoints) const {
        const int64_t first = std::max<int64_t>(0, -shift);
        const int64_t last = std::min<int64_t>(static_cast<int64_t>(blockPoints), width - shift);
        if (first >= last)
            return;
        if (onlyLane < 0) {
            std::memcpy(row + first + shift, values + first, sizeof(double) * static_cast<size_t>(last - first));
            return;
        }
        for (int64_t c = first; c < last; ++c)
            if (static_cast<int>(c % kLanes) == onlyLane)
                row[c + shift] = values[c];
    }
};

// A group's destinations: a block that lies wholly in its row is written in
// place; the others go through a scratch row and are copied out after.
struct GroupOut {
    double *to[kGroup];
    alignas(32) double scratch[kGroup][kLongestBlock];

    void prepare(const BlockOut *outs, int blocks, uint64_t blockPoints) {
        for (int g = 0; g < kGroup; ++g)
            to[g] = g < blocks && outs[g].whole(blockPoints) ? outs[g].row : scratch[g];
    }
    void finish(const BlockOut *outs, int blocks, uint64_t blockPoints) const {
        for (int g = 0; g < blocks; ++g)
            if (to[g] == scratch[g])
                outs[g].from(scratch[g], blockPoints);
    }
};

// The blocks of a group, side by side as K lanes (block g's lanes at
// 4g .. 4g + 3), stepped from their loaded registers; every step's values go
// out. In double-double:
template <int K>
[[gnu::always_inline]] inline void runExtendedWith(const Program &program, double *hi, double *lo,
                                                   GroupOut &out, uint64_t steps, const BlockTables *tables,
                                                   const uint64_t *firstEntries) {
    const size_t value = size_t{program.rootValue} * K;
    uint64_t entries[K / 4];
    for (uint64_t t = 0;; ++t) {
        for (int g = 0; g < K / 4; ++g) {
            alignas(32) double v[kLanes];
            for (int l = 0; l < kLanes; ++l) {
                const size_t i = value + static_cast<size_t>(kLanes * g + l);
                v[l] = toDouble({hi[i], lo[i]});
            }
            std::memcpy(out.to[g] + t * kLanes, v, sizeof v);
        }
        if (t + 1 == steps)
            break;
        for (int g = 0; g < K / 4; ++g)
            entries[g] = firstEntries[g] + (t + 1) * kLanes;
        executeExtended<K>(program.row, {hi, lo}, tables, entries);
    }
}

// ... and in plain doubles, with the ratios' and angles' tails.
template <int K>
[[gnu::always_inline]] inline void runPlainWith(const Program &program, double *registers, double *tails,
                                                GroupOut &out, uint64_t steps, const BlockTables *tables,
                                                const uint64_t *firstEntries) {
    if (runLonePlain<K>(program.row, program.rootValue, registers, tails, out.to, steps))
        return;
    const double *value = registers + size_t{program.rootValue} * K;
    const double *tail = tails + size_t{program.rootValue} * K;
    // A value that a sum steps leaves with its tail.
    const bool compensated = std::any_of(program.row.begin(), program.row.end(), [&](const Step &st) {
        return st.kind == Step::Sum && program.rootValue >= st.first && program.rootValue + 1 < st.first + st.count;
    });
    uint64_t entries[K / 4];
    for (uint64_t t = 0;; ++t) {
        for (int g = 0; g < K / 4; ++g) {
            V4 v, vt;
            load4(v, value + kLanes * g);
            load4(vt, tail + kLanes * g);
            if (compensated)
                withTail(v, v, vt);
            store4(out.to[g] + t * kLanes, v);
        }
        if (t + 1 == steps)
            break;
        for (int g = 0; g < K / 4; ++g)
            entries[g] = firstEntries[g] + (t + 1) * kLanes;
        executePlain<K>(program.row, registers, tails, tables, entries);
    }
}

struct GroupRun {
    const Program &program;
    double *hi, *lo; // double-double registers, or plain registers and tails
    GroupOut &out;
    uint64_t steps;
    Precision precision;
    const BlockTables *tables;
    const uint64_t *firstEntries; // of every place's block, step 0
};

[[gnu::always_inline]] inline void runGroupWith(const GroupRun &r) {
    if (r.precision == Precision::Plain)
        runPlainWith<kGroupLanes>(r.program, r.hi, r.lo, r.out, r.steps, r.tables, r.firstEntries);
    else
        runExtendedWith<kGroupLanes>(r.program, r.hi, r.lo, r.out, r.steps, r.tables, r.firstEntries);
}

// This file's kernels are built once, for any processor of the family: the
// plan (direct.cpp) takes every formula but those past 64 dimensions, so
// they seldom run, and an AVX2 copy of each (as kernels.cpp has) doubled the
// longest compile of the build. CMakeLists.txt compiles this file at -O2 for
// the same reason.
[[gnu::flatten]] void runGroup(const GroupRun &r) { runGroupWith(r); }

// The registers a group in plain doubles loads for every block: those the
// block steps read or write (and the value) that any step may change; the
// others keep what they were loaded with once.
std::vector<uint32_t> blockRegisters(const Program &program) {
    const uint32_t n = program.registerCount();
    std::vector<char> written(n, 0), used(n, 0);
    auto mark = [](std::vector<char> &set, const Step &st, bool reads) {
        if (st.kind == Step::Sum || st.kind == Step::Prod)
            std::fill_n(set.begin() + st.first, st.count, 1);
        else if (st.kind == Step::Rotate)
            std::fill_n(set.begin() + st.first, 2 * st.count, 1);
        else
            set[st.first] = 1;
        if (reads && (st.kind == Step::Copy || st.kind == Step::Expr))
            set[st.source] = 1;
        if (reads && st.kind == Step::Expr)
            set[st.other] = set[st.third] = 1;
    };
    for (const auto &steps : program.outer)
        for (const Step &st : steps)
            mark(written, st, false);
    for (const Step &st : program.row) {
        mark(written, st, false);
        mark(used, st, true);
    }
    used[program.rootValue] = 1;
    std::vector<uint32_t> list;
    for (uint32_t r = 0; r < n; ++r)
        if (written[r] && used[r])
            list.push_back(r);
    return list;
}

// A row that is one operation between a table and a number the row keeps
// (a separated product such as exp(-x^2) * exp(-y^2), or (x + 1) / (y + 2)):
// its points are that operation on the table's entries, straight along the
// row, the same bits the block steps would give.
struct TableOperation {
    bool applies = false;
    int32_t op = 0;
    uint32_t table = 0;
    uint32_t steady = 0;     // the kept number's register
    bool tableFirst = false; // the table is the operation's left operand
};

TableOperation tableOperation(const Program &program) {
    const std::vector<Step> &row = program.row;
    if (row.size() != 2 || row[0].kind != Step::Table || row[1].kind != Step::Expr ||
        row[1].first != program.rootValue || (row[1].op != EXPR_ADD && row[1].op != EXPR_MUL))
        return {};
    const Step &table = row[0], &expr = row[1];
    const bool left = expr.source == table.first, right = expr.other == table.first;
    if (left == right)
        return {};
    const uint32_t steady = left ? expr.other : expr.source;
    if (steady == table.first || steady == expr.first)
        return {};
    return {true, expr.op, table.source, steady, left};
}

// The operation in double-double on the row's number and the table's
// entries, each with its tail, rounded once: the bits the block steps give.
struct TableRowArgs {
    const TableOperation &operation;
    double steady, steadyTail;
    const double *table, *tableTails;
    double *out;
    uint64_t n;
};

template <int32_t op>
[[gnu::always_inline]] inline void tableOperationWith(const TableRowArgs &a) {
    const V4 s = a.steady - V4{}, st = a.steadyTail - V4{};
    const bool tableFirst = a.operation.tableFirst;
    uint64_t i = 0;
    for (; i + 4 <= a.n; i += 4) {
        V4 y, yt, h, r;
        load4(y, a.table + i);
        load4(yt, a.tableTails + i);
        // The operands in the operation's own order (it matters for a NaN's sign only).
        if constexpr (op == EXPR_ADD)
            tableFirst ? extended::add4(h, r, y, yt, s, st) : extended::add4(h, r, s, st, y, yt);
        else
            tableFirst ? extended::mul4(h, r, y, yt, s, st) : extended::mul4(h, r, s, st, y, yt);
        store4(a.out + i, h);
    }
    for (; i < a.n; ++i) {
        double r, t;
        const double x = tableFirst ? a.table[i] : a.steady, xt = tableFirst ? a.tableTails[i] : a.steadyTail;
        const double y = tableFirst ? a.steady : a.table[i], yt = tableFirst ? a.steadyTail : a.tableTails[i];
        extended::applyLane(op, false, x, xt, y, yt, r, t);
        a.out[i] = r;
    }
}

[[gnu::always_inline]] inline void tableOperationRow(const TableRowArgs &a) {
    if (a.operation.op == EXPR_ADD)
        tableOperationWith<EXPR_ADD>(a);
    else
        tableOperationWith<EXPR_MUL>(a);
}

[[gnu::flatten]] void tableRow(const TableRowArgs &a) { tableOperationRow(a); }

// A row of tables and pointwise operations of them and of numbers the row
// keeps (the Lorentzian 1/(1 + u(x) + v(y)), sqrt(x^2 + y^2),
// where(x^2 + y^2 < 1, 1, 0)), and of recurrences that stand alone (a
// rotation of two or three levels, a product of two: sin(xy) in
// sin(xy) + cos(x + y)). Each recurrence runs first, block by block as the
// block steps would run it, into a row of its values (a stream); then the
// steps run one at a time over chunks of the row, each a tight loop,
// instead of all of them for every four points. Each point sees the same
// operations on the same numbers as in the plain block steps, so the bits
// are theirs.
struct TablePipeline {
    bool applies = false;
    std::vector<uint32_t> steady; // registers the row reads and never writes
    struct Stream {
        uint32_t step; // the recurrence's step in the row
        uint32_t reg;  // its value register that later steps read
    };
    std::vector<Stream> streams;
};

// A recurrence loneRecurrence runs, and its registers' end.
bool loneStep(const Step &st) {
    return (st.kind == Step::Rotate && (st.count == 2 || st.count == 3)) || (st.kind == Step::Prod && st.count == 2);
}
uint32_t loneEnd(const Step &st) { return st.first + (st.kind == Step::Rotate ? 2 * st.count : st.count); }

TablePipeline tablePipeline(const Program &program) {
    const std::vector<Step> &row = program.row;
    std::vector<char> written(program.registerCount(), 0);
    std::vector<uint32_t> steady;
    std::vector<TablePipeline::Stream> streams;
    bool fails = false;
    auto read = [&](uint32_t r) {
        for (size_t i = 0; i < row.size(); ++i) {
            const Step &st = row[i];
            if (!loneStep(st) || !written[st.first] || r < st.first || r >= loneEnd(st))
                continue;
            // A recurrence's registers are read at level 0 alone (a sine, a
            // cosine, a product), after its step.
            const bool value = r == st.first || (st.kind == Step::Rotate && r == st.first + st.count);
            fails = fails || !value;
            if (value && std::none_of(streams.begin(), streams.end(), [&](const auto &s) { return s.reg == r; }))
                streams.push_back({static_cast<uint32_t>(i), r});
            return;
        }
        if (!written[r] && std::find(steady.begin(), steady.end(), r) == steady.end())
            steady.push_back(r);
    };
    for (const Step &st : row) {
        if (loneStep(st)) {
            for (uint32_t r = st.first; r < loneEnd(st); ++r) {
                if (written[r] || std::find(steady.begin(), steady.end(), r) != steady.end())
                    return {}; // read before it steps, or written by another step
                written[r] = 1;
            }
            continue;
        }
        if (st.kind == Step::Expr) {
            const int n = operandsOf(st.op);
            read(st.source);
            if (n > 1)
                read(st.other);
            if (n > 2)
                read(st.third);
        } else if (st.kind == Step::Copy) {
            read(st.source);
        } else if (st.kind != Step::Table) {
            return {};
        }
        if (std::find(steady.begin(), steady.end(), st.first) != steady.end())
            return {}; // written after being read: not a pipeline
        written[st.first] = 1;
    }
    if (fails || row.empty() || row.back().kind != Step::Expr || row.back().first != program.rootValue)
        return {};
    // What the row keeps must also stay put from block to block.
    if (!program.outer.empty())
        for (const Step &st : program.outer.back())
            for (uint32_t r : steady)
                if (st.first == r || ((st.kind == Step::Sum || st.kind == Step::Prod) && r >= st.first &&
                                      r < st.first + st.count) ||
                    (st.kind == Step::Rotate && r >= st.first && r < st.first + 2 * st.count))
                    return {};
    return {true, std::move(steady), std::move(streams)};
}

// The streams of a pipeline along one row: stream s's values from tile
// column `base` on, whole blocks.
struct PipelineStreams {
    const std::vector<TablePipeline::Stream> *streams = nullptr;
    const std::vector<std::vector<double>> *values = nullptr;
    uint64_t base = 0;
};

// Runs a TablePipeline over points [first, first + n) of a tile's row into
// out, `values` and `tails` holding a chunk per register (the steady ones
// already filled).
constexpr uint64_t kPipelineChunk = 256;
static_assert(kPipelineChunk <= extended::kMaxApplyLanes && kGroupLanes <= extended::kMaxApplyLanes);

void runPipeline(const Program &program, const BlockTables &tables, double *values, double *tails, uint64_t first,
                 uint64_t n, double *out, const PipelineStreams &streams) {
    constexpr uint64_t C = kPipelineChunk;
    for (uint64_t done = 0; done < n; done += C) {
        const uint64_t m = std::min(C, n - done), groups = ceilDiv(m, 4);
        const uint64_t entry = first + done;
        for (size_t i = 0; i < program.row.size(); ++i) {
            const Step &st = program.row[i];
            double *v = values + size_t{st.first} * C, *t = tails + size_t{st.first} * C;
            switch (st.kind) {
            case Step::Rotate:
            case Step::Prod:
                // A stream's values, whose tails (of stepped registers) are 0.
                for (size_t s = 0; s < streams.streams->size(); ++s)
                    if ((*streams.streams)[s].step == i) {
                        const uint32_t r = (*streams.streams)[s].reg;
                        std::memcpy(values + size_t{r} * C, (*streams.values)[s].data() + (entry - streams.base),
                                    sizeof(double) * 4 * groups);
                        std::fill_n(tails + size_t{r} * C, 4 * groups, 0.0);
                    }
                break;
            case Step::Table: {
                // A chunk is whole groups of four; a row that starts off a
                // multiple of four may end up to three points past the
                // table, points no one reads.
                const uint64_t have = std::min<uint64_t>(4 * groups, tables.plain[st.source].size() - entry);
                std::memcpy(v, tables.plain[st.source].data() + entry, sizeof(double) * have);
                std::memcpy(t, tables.tail[st.source].data() + entry, sizeof(double) * have);
                std::fill(v + have, v + 4 * groups, 0.0);
                std::fill(t + have, t + 4 * groups, 0.0);
                break;
            }
            case Step::Copy:
                std::memcpy(v, values + size_t{st.source} * C, sizeof(double) * 4 * groups);
                std::memcpy(t, tails + size_t{st.source} * C, sizeof(double) * 4 * groups);
                break;
            default: {
                const double *x = values + size_t{st.source} * C, *xt = tails + size_t{st.source} * C;
                const double *y = values + size_t{st.other} * C, *yt = tails + size_t{st.other} * C;
                const double *z = values + size_t{st.third} * C, *zt = tails + size_t{st.third} * C;
                if (st.op == EXPR_ADD)
                    for (uint64_t g = 0; g < 4 * groups; g += 4)
                        extended::addLanes<4>(v + g, t + g, x + g, xt + g, y + g, yt + g);
                else if (st.op == EXPR_MUL)
                    for (uint64_t g = 0; g < 4 * groups; g += 4)
                        extended::mulLanes<4>(v + g, t + g, x + g, xt + g, y + g, yt + g);
                else
                    // Every operand is normalised already (tables, numbers and
                    // results all are): the block steps' normalisation changes nothing.
                    extended::applyLanesNormalised(static_cast<int>(4 * groups), st.op, false, x, xt, y, yt, z, zt, v,
                                                   t);
                break;
            }
            }
        }
        std::memcpy(out + done, values + size_t{program.rootValue} * C, sizeof(double) * m);
    }
}

[[gnu::flatten]] void pipelineRow(const Program &program, const BlockTables &tables, double *values, double *tails,
                                  uint64_t first, uint64_t n, double *out, const PipelineStreams &streams) {
    runPipeline(program, tables, values, tails, first, n, out, streams);
}

// One block of a stream: the recurrence at `step` from its plain registers
// and tails (four lanes, register r at 4r), `steps` steps of four points
// into `to`, as executePlain steps it.
[[gnu::always_inline]] inline void streamBlockWith(const Step &st, uint32_t reg, const double *registers,
                                                   const double *tails, double *to, uint64_t steps) {
    double *const into[1] = {to};
    if (st.kind == Step::Prod)
        loneRecurrence<Step::Prod, 2, 1>(registers, tails, kLanes, st.first, 0, into, 1, steps);
    else if (st.count == 2)
        loneRecurrence<Step::Rotate, 2, 1>(registers, tails, kLanes, st.first, reg - st.first, into, 1, steps);
    else
        loneRecurrence<Step::Rotate, 3, 1>(registers, tails, kLanes, st.first, reg - st.first, into, 1, steps);
}

[[gnu::flatten]] void streamBlock(const Step &st, uint32_t reg, const double *registers, const double *tails,
                                  double *to, uint64_t steps) {
    streamBlockWith(st, reg, registers, tails, to, steps);
}

// The registers the plain block steps' recurrences write, whose tails they
// do not keep.
std::vector<char> steppedRegisters(const Program &program) {
    std::vector<char> stepped(program.registerCount(), 0);
    for (const Step &st : program.row) {
        if (st.kind == Step::Prod)
            stepped[st.first] = 1;
        else if (st.kind == Step::Rotate)
            stepped[st.first] = stepped[st.first + st.count] = 1;
    }
    return stepped;
}

class AccurateEvaluation : private TileLayout {
public:
    AccurateEvaluation(const ASTnode &tree, const Block &block)
        : TileLayout(block), tree_(tree), b_(block), n_(block.shape.size()) {
        // The tiles of the last call on this tree, which this one may need again.
        kept_ = tree_.lastAccurateTiles();
        if (kept_ && kept_->edges != b_.tile)
            kept_.reset();
    }

    void run(unsigned threads, const Poll &wait) {
        uint64_t points = 1;
        for (uint64_t s : b_.shape)
            points *= s;
        if (points < kParallelPoints)
            threads = 1;
        const uint64_t tiles = TileLayout::tiles();
        tiles_.resize(tiles);
        built_ = std::make_unique<std::once_flag[]>(tiles);
        for (uint64_t t = 0; t < tiles; ++t)
            tiles_[t] = keptLanes(corner(t));
        plan(threads);
        runTasks(tasks_.size(), threads, [this](uint64_t i, const Poll &poll) { runTask(tasks_[i], poll); }, wait);
        if (tiles <= kKeptTiles)
            for (uint64_t t = 0; t < tiles; ++t)
                keep(t, tiles_[t]);
        keep();
    }

    // The tiles of a small grid stay on the tree for the next call, beside
    // those kept by other calls, up to the limit: the pieces of one grid,
    // evaluated a few rows at a time on several threads, share their tiles.
    void keep() {
        if (keeping_.empty())
            return;
        auto keep = std::make_shared<AccurateTiles>();
        keep->edges = b_.tile;
        for (const auto &[c, lanes] : keeping_)
            keep->byCorner.emplace(c, lanes);
        const std::shared_ptr<const AccurateTiles> kept = tree_.lastAccurateTiles();
        if (kept && kept->edges == b_.tile)
            for (const auto &[c, lanes] : kept->byCorner) {
                if (keep->byCorner.size() >= kKeptTiles)
                    break;
                keep->byCorner.emplace(c, lanes);
            }
        tree_.keepAccurateTiles(std::move(keep));
    }

    // The fixed cut, in order: runs of at most kFixedRows rows of a tile,
    // each row whole (a part that starts inside a row would step its blocks
    // from the row's first), handed out a batch at a time from a cursor. The
    // tiles of a batch are lowered by the first of its parts that needs them
    // and let go with the batch, unless the next batch goes on with them.
    bool nextFixed(size_t most, std::vector<RowPart> &parts) {
        const uint64_t tiles = TileLayout::tiles();
        const size_t before = parts.size();
        std::map<uint64_t, std::shared_ptr<TileSlot>> slots;
        while (parts.size() < most && cursorTile_ < tiles) {
            const std::vector<uint64_t> c = corner(cursorTile_);
            const uint64_t rows = rowsOf(c);
            std::shared_ptr<TileSlot> &slot = slots[cursorTile_];
            if (!slot) {
                const auto carried = slots_.find(cursorTile_);
                slot = carried != slots_.end() ? carried->second : std::make_shared<TileSlot>(keptLanes(c));
                if (tiles <= kKeptTiles && carried == slots_.end())
                    fixedSlots_.push_back({cursorTile_, slot});
            }
            RowPart part;
            part.tile = cursorTile_;
            part.rowFirst = cursorRow_;
            part.rowLast = std::min(rows, cursorRow_ + kFixedRows);
            part.columnFirst = low(c, n_ - 1);
            part.columnLast = high(c, n_ - 1);
            part.points = (part.rowLast - part.rowFirst) * (part.columnLast - part.columnFirst);
            bounds(taskOf(part), part.low, part.high);
            cursorRow_ = part.rowLast;
            if (cursorRow_ == rows) {
                ++cursorTile_;
                cursorRow_ = 0;
            }
            parts.push_back(std::move(part));
        }
        slots_ = std::move(slots);
        return parts.size() > before;
    }

    void runFixed(const RowPart &part, RowSink &sink, const Poll &poll) {
        TileSlot &slot = *slots_.at(part.tile);
        const Task task = taskOf(part);
        const std::vector<uint64_t> c = corner(task.tile);
        std::call_once(slot.built, [&] {
            if (!slot.lanes)
                slot.lanes = lower(c);
        });
        runTaskInto(task, slot.lanes, sink, poll);
    }

    // The tiles a fixed cut of few tiles keeps for the next call.
    void keepFixed() {
        for (const auto &[t, slot] : fixedSlots_)
            keep(t, slot->lanes);
        keep();
    }

private:
    // Rows [rowFirst, rowLast) of a tile's part of the block (in C order over
    // its outer dimensions), and of each the tile columns [columnFirst,
    // columnLast); a task's columns begin at a multiple of the longest block.
    struct Task {
        uint64_t tile;
        uint64_t rowFirst, rowLast;
        uint64_t columnFirst, columnLast;
    };

    // A tile of the fixed cut: its lanes, lowered once by whichever part needs them first.
    struct TileSlot {
        explicit TileSlot(std::shared_ptr<const TileLanes> kept) : lanes(std::move(kept)) {}
        std::once_flag built;
        std::shared_ptr<const TileLanes> lanes;
    };

    const ASTnode &tree_;
    const Block &b_;
    size_t n_;
    std::shared_ptr<const AccurateTiles> kept_;
    std::vector<std::pair<std::vector<uint64_t>, std::shared_ptr<const TileLanes>>> keeping_;
    // run: every tile's lanes, lowered by the first task that needs them (or
    // kept from the last call); the tasks of one tile share them.
    std::vector<Task> tasks_;
    std::vector<std::shared_ptr<const TileLanes>> tiles_;
    std::unique_ptr<std::once_flag[]> built_;
    // The fixed cut: where its cursor is, the tiles of the current batch,
    // and (a block of few tiles) all of them, to be kept.
    uint64_t cursorTile_ = 0, cursorRow_ = 0;
    std::map<uint64_t, std::shared_ptr<TileSlot>> slots_;
    std::vector<std::pair<uint64_t, std::shared_ptr<TileSlot>>> fixedSlots_;

    static Task taskOf(const RowPart &p) { return {p.tile, p.rowFirst, p.rowLast, p.columnFirst, p.columnLast}; }

    void keep(uint64_t t, const std::shared_ptr<const TileLanes> &lanes) {
        if (lanes)
            keeping_.push_back({corner(t), lanes});
    }

    // The columns of a row of the tile at corner c that its tables cover: the
    // whole tile, which later calls on other blocks reuse, unless the tile
    // is so long that only what the block reaches is worth tabulating
    // (rounded up to a power of two, so that growing blocks seldom repeat it).
    uint64_t tableColumns(const std::vector<uint64_t> &c) const {
        const uint64_t edge = b_.tile[n_ - 1];
        if (edge <= kTabledColumns)
            return edge;
        return std::min(edge, std::bit_ceil(high(c, n_ - 1)));
    }

    std::shared_ptr<const TileLanes> lower(const std::vector<uint64_t> &c) const {
        return std::make_shared<const TileLanes>(lowerTile(tree_, c, b_.tile, tableColumns(c), Precision::Plain));
    }

    // The last call's lanes of the tile at corner c, if its tables reach far enough.
    std::shared_ptr<const TileLanes> keptLanes(const std::vector<uint64_t> &c) const {
        if (!kept_)
            return nullptr;
        const auto found = kept_->byCorner.find(c);
        if (found == kept_->byCorner.end() || found->second->columns < high(c, n_ - 1))
            return nullptr;
        return found->second;
    }

    // The grid indices of a task's first and last points.
    void bounds(const Task &task, std::vector<uint64_t> &lowest, std::vector<uint64_t> &highest) const {
        const std::vector<uint64_t> c = corner(task.tile);
        lowest.assign(n_, 0);
        highest.assign(n_, 0);
        // The outer coordinates of the first and last rows, in C order over
        // the tile's part; a range that wraps spans the whole part below.
        std::vector<uint64_t> first(n_ - 1), last(n_ - 1);
        for (uint64_t r0 = task.rowFirst, r1 = task.rowLast - 1, d = n_ - 1; d-- > 0;) {
            const uint64_t size = high(c, d) - low(c, d);
            first[d] = r0 % size;
            last[d] = r1 % size;
            r0 /= size;
            r1 /= size;
        }
        bool same = true;
        for (size_t d = 0; d + 1 < n_; ++d) {
            lowest[d] = c[d] + low(c, d) + (same ? first[d] : 0);
            highest[d] = c[d] + (same ? low(c, d) + last[d] : high(c, d) - 1);
            same = same && first[d] == last[d];
        }
        lowest[n_ - 1] = c[n_ - 1] + task.columnFirst;
        highest[n_ - 1] = c[n_ - 1] + task.columnLast - 1;
    }

    // The rows of the block's part of the tile at corner c.
    uint64_t rowsOf(const std::vector<uint64_t> &c) const {
        uint64_t rows = 1;
        for (size_t d = 0; d + 1 < n_; ++d)
            rows *= high(c, d) - low(c, d);
        return rows;
    }

    // Enough tasks to keep every thread busy: a tile's rows, or (a tile of
    // few rows) stretches of its columns, shared out.
    void plan(unsigned threads) {
        const uint64_t tiles = TileLayout::tiles();
        const uint64_t parts = threads == 1 ? 1 : 2 * uint64_t{threads};
        for (uint64_t t = 0; t < tiles; ++t) {
            const std::vector<uint64_t> c = corner(t);
            const uint64_t rows = rowsOf(c);
            const uint64_t c0 = low(c, n_ - 1), c1 = high(c, n_ - 1);
            const uint64_t stretches = ceilDiv(c1, kLongestBlock) - c0 / kLongestBlock;
            if (rows >= parts || stretches < 2 * kGroup) {
                const uint64_t perTask = ceilDiv(rows, std::min(parts, rows));
                for (uint64_t r = 0; r < rows; r += perTask)
                    tasks_.push_back({t, r, std::min(rows, r + perTask), c0, c1});
            } else {
                const uint64_t width = ceilDiv(ceilDiv(stretches, parts), kGroup) * kGroup * kLongestBlock;
                for (uint64_t r = 0; r < rows; ++r)
                    for (uint64_t first = c0 / kLongestBlock * kLongestBlock; first < c1; first += width)
                        tasks_.push_back({t, r, r + 1, std::max(first, c0), std::min(c1, first + width)});
            }
        }
    }

    // Tile t's lanes (its corner c), lowered by the first task that needs them.
    std::shared_ptr<const TileLanes> lanesOf(uint64_t t, const std::vector<uint64_t> &c) {
        std::call_once(built_[t], [&] {
            if (!tiles_[t])
                tiles_[t] = lower(c);
        });
        return tiles_[t];
    }

    void runTask(const Task &task, const Poll &poll) {
        const std::vector<uint64_t> c = corner(task.tile);
        const std::shared_ptr<const TileLanes> kept = lanesOf(task.tile, c);
        const TileLanes &lanes = *kept;
        for (const TileLanes::Run &run : lanes.runs) {
            RowRunner runner(*this, task, c, lanes, run);
            runner.run(poll);
        }
    }

    // A task's rows one at a time into a row of its own, every run of the
    // tile writing its lanes before the row goes to the sink.
    void runTaskInto(const Task &task, const std::shared_ptr<const TileLanes> &lanes, RowSink &sink,
                     const Poll &poll) {
        const std::vector<uint64_t> c = corner(task.tile);
        std::vector<std::unique_ptr<RowRunner>> runners;
        for (const TileLanes::Run &run : lanes->runs)
            runners.push_back(std::make_unique<RowRunner>(*this, task, c, *lanes, run));
        const uint64_t begin = runners.front()->begin();
        std::vector<double> row(task.columnLast - begin);
        std::vector<uint64_t> first(n_);
        first[n_ - 1] = c[n_ - 1] + task.columnFirst;
        for (uint64_t r = task.rowFirst; r < task.rowLast; ++r) {
            for (auto &runner : runners)
                runner->runRow(row.data(), poll);
            const std::vector<uint64_t> &p = runners.front()->position();
            for (size_t d = 0; d + 1 < n_; ++d)
                first[d] = c[d] + p[d];
            sink.row(first.data(), row.data() + (task.columnFirst - begin), task.columnLast - task.columnFirst);
            if (r + 1 < task.rowLast)
                for (auto &runner : runners)
                    runner->nextRow();
        }
    }

    // The rows of one task on one run of a tile: the odometer, a group's
    // registers, and where its blocks go.
    class RowRunner {
    public:
        RowRunner(const AccurateEvaluation &e, const Task &task, const std::vector<uint64_t> &c,
                  const TileLanes &lanes, const TileLanes::Run &run)
            : e_(e), task_(task), c_(c), lanes_(lanes), run_(run), program_(*run.program),
              registers_(program_.registerCount()), plain_(lanes.precision == Precision::Plain),
              blockPoints_(lanes.steps * kLanes), begin_(e.low(c, e.n_ - 1)),
              p_(e.n_ - 1), size_(e.n_ - 1), hi_(registers_ * kGroupLanes), lo_(registers_ * kGroupLanes),
              groupOut_(std::make_unique<GroupOut>()) {
            const size_t outer = e_.n_ - 1;
            for (size_t d = 0; d < outer; ++d)
                size_[d] = e_.high(c_, d) - e_.low(c_, d);
            // The task's first row, as tile coordinates of the outer dimensions.
            for (uint64_t rest = task_.rowFirst, d = outer; d-- > 0;) {
                p_[d] = e_.low(c_, d) + rest % size_[d];
                rest /= size_[d];
            }
            odometer_ = std::make_unique<Odometer>(program_, run_.registers, run_.tables, p_);
            if (plain_) {
                // Plain registers and tails; the ones no step changes are loaded once.
                changing_ = blockRegisters(program_);
                stepped_ = steppedRegisters(program_);
                for (size_t r = 0; r < registers_; ++r)
                    for (int g = 0; g < kGroup; ++g)
                        loadPlain(run_.registers.hi.data(), run_.registers.lo.data(), r, g);
            }
            operation_ = plain_ && run_.onlyLane < 0 ? tableOperation(program_) : TableOperation{};
            if (plain_ && run_.onlyLane < 0 && !operation_.applies)
                pipeline_ = tablePipeline(program_);
            if (pipeline_.applies) {
                pipelineValues_.assign(registers_ * kPipelineChunk, 0.0);
                pipelineTails_.assign(registers_ * kPipelineChunk, 0.0);
                streamRegisters_.assign(registers_ * kLanes, 0.0);
                streamTails_.assign(registers_ * kLanes, 0.0);
            }
        }

        void run(const Poll &poll) {
            for (uint64_t r = task_.rowFirst; r < task_.rowLast; ++r) {
                double *row = e_.b_.out + (c_[e_.n_ - 1] + begin_ - e_.b_.origin[e_.n_ - 1]);
                for (size_t d = 0; d + 1 < e_.n_; ++d)
                    row += (c_[d] + p_[d] - e_.b_.origin[d]) * e_.strides[d];
                runRow(row, poll);
                if (r + 1 < task_.rowLast)
                    nextRow();
            }
        }

        // The current row's columns [task.columnFirst, task.columnLast) at
        // row[column - begin], where begin is the tile part's first column.
        void runRow(double *row, const Poll &poll) {
            if (operation_.applies)
                runTableOperation(row);
            else if (!pipeline_.applies || !runPipelineRow(row))
                runBlocks(row, poll);
            poll();
        }

        // On to the next row of the block's part of the tile.
        void nextRow() {
            for (size_t d = e_.n_ - 1; d-- > 0;) {
                if (++p_[d] < e_.high(c_, d))
                    break;
                p_[d] = e_.low(c_, d);
            }
            odometer_->seek(p_);
        }

        const std::vector<uint64_t> &position() const { return p_; }
        uint64_t begin() const { return begin_; }

    private:
        const AccurateEvaluation &e_;
        const Task &task_;
        const std::vector<uint64_t> &c_;
        const TileLanes &lanes_;
        const TileLanes::Run &run_;
        const Program &program_;
        size_t registers_;
        bool plain_;
        uint64_t blockPoints_, begin_;
        std::vector<uint64_t> p_, size_;
        std::unique_ptr<Odometer> odometer_;
        std::vector<double> hi_, lo_; // a group's registers: double-double, or plain and tails
        std::vector<uint32_t> changing_;
        std::vector<char> stepped_;
        TableOperation operation_;
        TablePipeline pipeline_;
        std::vector<double> pipelineValues_, pipelineTails_; // a chunk per register
        std::vector<double> streamRegisters_, streamTails_;  // a block's, four lanes per register
        std::vector<std::vector<double>> streamValues_;       // per stream, along the row
        std::vector<double> streamStarts_;                    // the root's value at every block's start
        std::array<BlockOut, kGroup> outs_{};
        std::array<uint64_t, kGroup> firstEntries_{};
        std::unique_ptr<GroupOut> groupOut_;

        void runTableOperation(double *row) {
            const size_t at = size_t{operation_.steady} * kLanes;
            const double h = odometer_->rowHi()[at], l = odometer_->rowLo()[at], steady = toDouble({h, l});
            const double tail = std::isfinite(steady) ? (h - steady) + l : 0.0;
            tableRow({operation_, steady, tail, run_.tables.plain[operation_.table].data() + task_.columnFirst,
                      run_.tables.tail[operation_.table].data() + task_.columnFirst, row + (task_.columnFirst - begin_),
                      task_.columnLast - task_.columnFirst});
        }

        // False (and nothing written) when a number the row keeps differs
        // between lanes: then the blocks run instead.
        bool runPipelineRow(double *row) {
            const double *hi = odometer_->rowHi(), *lo = odometer_->rowLo();
            for (uint32_t r : pipeline_.steady)
                for (int l = 1; l < kLanes; ++l)
                    if (hi[size_t{r} * kLanes + l] != hi[size_t{r} * kLanes] ||
                        lo[size_t{r} * kLanes + l] != lo[size_t{r} * kLanes])
                        return false;
            // The numbers the row keeps, as plain values and tails (as
            // loadPlain gives them to the block steps), in every place of a chunk.
            for (uint32_t r : pipeline_.steady) {
                const size_t at = size_t{r} * kLanes;
                const double h = hi[at], l = lo[at], value = h + l, rest = (h - value) + l;
                const double tail = rest == rest ? rest : 0.0;
                std::fill_n(pipelineValues_.data() + size_t{r} * kPipelineChunk, kPipelineChunk, value);
                std::fill_n(pipelineTails_.data() + size_t{r} * kPipelineChunk, kPipelineChunk, tail);
            }
            const PipelineStreams streams{&pipeline_.streams, &streamValues_, runStreams()};
            pipelineRow(program_, run_.tables, pipelineValues_.data(), pipelineTails_.data(), task_.columnFirst,
                        task_.columnLast - task_.columnFirst, row + (task_.columnFirst - begin_), streams);
            // A block's first step sends out the value its registers start
            // from (the odometer's, in double-double), not one the steps compute.
            for (uint64_t i = 0; i < streamStarts_.size(); ++i) {
                const uint64_t column = streams.base + i / kLanes * blockPoints_ + i % kLanes;
                if (column >= task_.columnFirst && column < task_.columnLast)
                    row[column - begin_] = streamStarts_[i];
            }
            return true;
        }

        // The pipeline's streams along the current row, block by block from
        // the odometer's registers loaded as loadPlain loads them; the tile
        // column of their first values.
        uint64_t runStreams() {
            if (pipeline_.streams.empty())
                return 0;
            const uint64_t b0 = task_.columnFirst / blockPoints_, b1 = ceilDiv(task_.columnLast, blockPoints_);
            streamValues_.resize(pipeline_.streams.size());
            // A chunk reads whole groups of four: up to three points past the row.
            for (std::vector<double> &values : streamValues_)
                values.resize((b1 - b0) * blockPoints_ + kLanes);
            streamStarts_.resize((b1 - b0) * kLanes);
            odometer_->startRow(b0);
            for (uint64_t b = b0; b < b1; ++b) {
                const double *hi = odometer_->blockHi(), *lo = odometer_->blockLo();
                for (int l = 0; l < kLanes; ++l) {
                    const size_t at = size_t{program_.rootValue} * kLanes + static_cast<size_t>(l);
                    streamStarts_[(b - b0) * kLanes + static_cast<uint64_t>(l)] = hi[at] + lo[at];
                }
                for (size_t s = 0; s < pipeline_.streams.size(); ++s) {
                    const Step &st = program_.row[pipeline_.streams[s].step];
                    for (uint32_t r = st.first; r < loneEnd(st); ++r)
                        for (int l = 0; l < kLanes; ++l) {
                            const size_t at = size_t{r} * kLanes + static_cast<size_t>(l);
                            const double v = hi[at] + lo[at], tail = (hi[at] - v) + lo[at];
                            streamRegisters_[at] = v;
                            streamTails_[at] = stepped_[r] || tail != tail ? 0.0 : tail;
                        }
                    streamBlock(st, pipeline_.streams[s].reg, streamRegisters_.data(), streamTails_.data(),
                                streamValues_[s].data() + (b - b0) * blockPoints_, lanes_.steps);
                }
                if (b + 1 < b1)
                    odometer_->nextBlock();
            }
            return b0 * blockPoints_;
        }

        // One row's blocks, in groups.
        void runBlocks(double *row, const Poll &poll) {
            const uint64_t b0 = task_.columnFirst / blockPoints_, b1 = ceilDiv(task_.columnLast, blockPoints_);
            odometer_->startRow(b0);
            for (uint64_t b = b0; b < b1; b += kGroup) {
                const int blocks = static_cast<int>(std::min<uint64_t>(kGroup, b1 - b));
                uint64_t needed = 0; // points of a block the group's blocks need
                for (int g = 0; g < blocks; ++g) {
                    const uint64_t block = b + static_cast<uint64_t>(g);
                    firstEntries_[static_cast<size_t>(g)] = block * blockPoints_;
                    if (plain_) {
                        for (uint32_t reg : changing_)
                            loadPlain(odometer_->blockHi(), odometer_->blockLo(), reg, g);
                    } else {
                        loadExtended(hi_.data(), lo_.data(), g);
                    }
                    // Only the task's columns, and only the block's part of the tile.
                    const uint64_t from = std::max(task_.columnFirst, block * blockPoints_);
                    const uint64_t to = std::min(task_.columnLast, (block + 1) * blockPoints_);
                    needed = std::max(needed, to - block * blockPoints_);
                    outs_[static_cast<size_t>(g)] = {row + (from - begin_),
                                                     static_cast<int64_t>(block * blockPoints_) - static_cast<int64_t>(from),
                                                     static_cast<int64_t>(to - from), run_.onlyLane};
                    if (block + 1 < b1)
                        odometer_->nextBlock();
                }
                groupOut_->prepare(outs_.data(), blocks, blockPoints_);
                // Short rows stop stepping where their points end.
                runGroup({program_, hi_.data(), lo_.data(), *groupOut_, ceilDiv(needed, kLanes), lanes_.precision,
                          &run_.tables, firstEntries_.data()});
                groupOut_->finish(outs_.data(), blocks, blockPoints_);
                poll();
            }
        }

        // Register r of the current block (four lanes, double-double) into
        // place g of a group: rounded to a double, its tail beside it (none
        // for a register the block's recurrences step).
        void loadPlain(const double *hi, const double *lo, size_t r, int g) {
            const size_t from = r * kLanes, at = r * kGroupLanes + static_cast<size_t>(kLanes * g);
            V4 h, t;
            load4(h, hi + from);
            load4(t, lo + from);
            const V4 v = h + t, tail = (h - v) + t;
            store4(hi_.data() + at, v);
            // No NaN from an infinite value: a NaN tail (unequal to itself) becomes 0.
            store4(lo_.data() + at, stepped_[r] ? V4{} : (tail == tail ? tail : V4{}));
        }

        // The current block's registers into place g of a group, in double-double.
        void loadExtended(double *hi, double *lo, int g) const {
            const double *bh = odometer_->blockHi(), *bl = odometer_->blockLo();
            for (size_t r = 0; r < registers_; ++r) {
                std::memcpy(hi + r * kGroupLanes + static_cast<size_t>(kLanes * g), bh + r * kLanes,
                            sizeof(double) * kLanes);
                std::memcpy(lo + r * kGroupLanes + static_cast<size_t>(kLanes * g), bl + r * kLanes,
                            sizeof(double) * kLanes);
            }
        }
    };
};

} // namespace

struct AccurateRows::State {
    AccurateEvaluation evaluation;
    State(const ASTnode &tree, const Block &block) : evaluation(tree, block) {}
};

AccurateRows::AccurateRows(const ASTnode &tree, const Block &block) : state_(std::make_unique<State>(tree, block)) {}
AccurateRows::~AccurateRows() = default;
bool AccurateRows::next(size_t most, std::vector<RowPart> &parts) { return state_->evaluation.nextFixed(most, parts); }
void AccurateRows::run(const RowPart &part, RowSink &sink, const Poll &poll) {
    state_->evaluation.runFixed(part, sink, poll);
}
void AccurateRows::finish() { state_->evaluation.keepFixed(); }

uint64_t accurateTile(size_t dimensions) { return dimensions == 1 ? 65536 : 2048; }

void evaluateAccurate(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait) {
    AccurateEvaluation evaluation(tree, block);
    evaluation.run(threads, wait);
}

} // namespace vemiral
