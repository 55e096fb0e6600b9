// Running a formula's plan over a block.
//
// The block is seen as rows along its innermost dimension that has more
// than one point (the columns); the dimensions before it count the rows.
// Each operation of the plan is computed where its inputs change:
//
//   fixed    depends on no dimension the block moves along: once a block;
//   per row  depends on the row only: once a row, as one number;
//   tabled   depends on the column only: once a block, a table of the
//            block's columns that every row reads;
//   along    depends on both: along every row, in chunks of kChunk points
//            that stay in the cache, one tight loop per operation.
//
// Every operation computes the same numbers wherever it is placed (the
// kernels of pointwise.cpp, each value rounded once), so a value never
// depends on the block, its pieces or the threads.
#include "eval/direct.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "ast/ASTnode.hpp"
#include "eval/accurate.hpp"
#include "eval/plan.hpp"
#include "eval/pointwise.hpp"
#include "eval/pool.hpp"

namespace vemiral {

namespace {

using Kind = FormulaPlan::Kind;
using Operation = FormulaPlan::Operation;

constexpr size_t kChunk = 512;                    // points of a row computed together
constexpr uint64_t kPiecePoints = uint64_t{1} << 16; // a task's points, about
constexpr uint64_t kParallelPoints = uint64_t{1} << 16;

const std::array<double, kChunk> kZeros{};

// One plan of the formula on the block: where each operation is computed,
// the numbers and tables it computes once, and the chunks of its rows.
class PlannedBlock {
public:
    PlannedBlock(std::shared_ptr<const FormulaPlan> plan, const Block &block)
        : kept_(std::move(plan)), plan_(*kept_), b_(block), n_(block.shape.size()) {
        place_ = placements(plan_, b_.shape, inner_);
        columns_ = b_.shape[inner_];
        strides_.assign(n_, 1);
        for (size_t d = n_ - 1; d-- > 0;)
            strides_[d] = strides_[d + 1] * b_.shape[d + 1];
        computeFixed();
        computeTables();
        assignRegisters();
    }

    // `rows` rows from the grid point `at` (along the axis before the row
    // axis), `width` points of each from column c0 of the block.
    void runPiece(std::vector<uint64_t> at, uint64_t rows, uint64_t c0, uint64_t width, const Poll &poll) const {
        Scratch s;
        s.registers.resize(size_t(registers_) * kChunk);
        s.slots.resize(size_t(slots_) * kChunk);
        s.numbers = fixed_;
        const size_t fill = std::min<uint64_t>(kChunk, width);
        for (uint32_t i = 0; i < plan_.operations.size(); ++i)
            if (slot_[i] >= 0 && place_[i] == Place::Fixed)
                std::fill_n(s.slots.begin() + slot_[i] * ptrdiff_t(kChunk), fill, fixed_[i]);
        const uint64_t first = inner_ > 0 ? at[inner_ - 1] : 0;
        for (uint64_t r = 0; r < rows; ++r) {
            if (r % 64 == 63)
                poll();
            if (inner_ > 0)
                at[inner_ - 1] = first + r;
            for (uint32_t i : perRow_) {
                s.numbers[i] = scalar(i, s.numbers, at);
                if (slot_[i] >= 0)
                    std::fill_n(s.slots.begin() + slot_[i] * ptrdiff_t(kChunk), fill, s.numbers[i]);
            }
            uint64_t offset = 0;
            for (size_t d = 0; d < n_; ++d)
                offset += (at[d] - b_.origin[d]) * strides_[d];
            if (b_.out32) {
                s.row.resize(width);
                runRow(s, c0, width, s.row.data());
                float *to = b_.out32 + offset;
                for (uint64_t j = 0; j < width; ++j)
                    to[j] = static_cast<float>(s.row[j]);
            } else {
                runRow(s, c0, width, b_.out + offset);
            }
        }
    }

private:
    std::shared_ptr<const FormulaPlan> kept_;
    const FormulaPlan &plan_;
    const Block &b_;
    size_t n_;
    size_t inner_ = 0;
    uint64_t columns_ = 1;
    std::vector<Place> place_;
    std::vector<double> fixed_;                   // the fixed operations' values
    std::vector<std::vector<double>> tables_;     // the tabled operations' columns
    std::vector<int32_t> register_;               // an along operation's chunk, or -1
    std::vector<int32_t> slot_;                   // a number's broadcast chunk, or -1
    int32_t registers_ = 0, slots_ = 0;
    std::vector<uint32_t> along_, perRow_;       // in the order they are computed
    std::vector<uint64_t> strides_;

    const Operation &op(uint32_t i) const { return plan_.operations[i]; }
    void computeFixed() {
        fixed_.assign(plan_.operations.size(), 0.0);
        for (uint32_t i = 0; i < plan_.operations.size(); ++i)
            if (place_[i] == Place::Fixed)
                fixed_[i] = scalar(i, fixed_, b_.origin);
    }

    // An operation of numbers (fixed or per row), at the block's point
    // `at` (grid indices) for variables.
    double scalar(uint32_t i, const std::vector<double> &values, const std::vector<uint64_t> &at) const {
        const Operation &o = op(i);
        if (o.kind == Kind::Constant)
            return o.value;
        if (o.kind == Kind::Variable)
            return coordinate(o, at[o.dimension]);
        double r = 0.0;
        const double *args[3] = {kZeros.data(), kZeros.data(), kZeros.data()};
        for (uint32_t a = 0; a < o.argCount; ++a)
            args[a] = &values[o.args[a]];
        computeOperation(o, args, &r, 1);
        return r;
    }

    void computeTables() {
        tables_.resize(plan_.operations.size());
        std::vector<std::vector<double>> broadcast(plan_.operations.size());
        for (uint32_t i = 0; i < plan_.operations.size(); ++i) {
            if (place_[i] != Place::Tabled)
                continue;
            const Operation &o = op(i);
            std::vector<double> &t = tables_[i];
            t.resize(columns_);
            if (o.kind == Kind::Variable) {
                for (uint64_t j = 0; j < columns_; ++j)
                    t[j] = coordinate(o, b_.origin[inner_] + j);
                continue;
            }
            std::vector<double> zeros;
            const double *args[3];
            for (uint32_t a = 0; a < 3; ++a) {
                if (a >= o.argCount) {
                    if (zeros.empty())
                        zeros.assign(columns_, 0.0);
                    args[a] = zeros.data();
                    continue;
                }
                const uint32_t k = o.args[a];
                if (place_[k] == Place::Fixed) {
                    if (broadcast[k].empty())
                        broadcast[k].assign(columns_, fixed_[k]);
                    args[a] = broadcast[k].data();
                } else {
                    args[a] = tables_[k].data();
                }
            }
            computeOperation(o, args, t.data(), columns_);
        }
    }

    // Chunks for the along operations, reused once an operation's last
    // reader has run; broadcast chunks for the numbers they read.
    void assignRegisters() {
        const auto &ops = plan_.operations;
        register_.assign(ops.size(), -1);
        slot_.assign(ops.size(), -1);
        std::vector<uint32_t> lastUse(ops.size(), 0);
        for (uint32_t i = 0; i < ops.size(); ++i) {
            if (place_[i] == Place::PerRow)
                perRow_.push_back(i);
            if (place_[i] != Place::Along)
                continue;
            along_.push_back(i);
            for (uint32_t a = 0; a < ops[i].argCount; ++a) {
                const uint32_t k = ops[i].args[a];
                lastUse[k] = i;
                if (isNumber(k) && slot_[k] < 0 && !readsNumber(i))
                    slot_[k] = slots_++;
            }
        }
        std::vector<int32_t> free;
        for (uint32_t i : along_) {
            if (i != plan_.root) {
                if (free.empty()) {
                    register_[i] = registers_++;
                } else {
                    register_[i] = free.back();
                    free.pop_back();
                }
            }
            for (uint32_t a = 0; a < ops[i].argCount; ++a) {
                const uint32_t k = ops[i].args[a];
                if (lastUse[k] == i && register_[k] >= 0 && place_[k] == Place::Along) {
                    free.push_back(register_[k]);
                    register_[k] = -(register_[k] + 2); // freed: its chunk may be another's now
                }
            }
        }
        // Every operation keeps its own chunk number for the runs below.
        for (int32_t &r : register_)
            if (r < -1)
                r = -(r + 2);
    }

    struct Scratch {
        std::vector<double> registers, slots;
        std::vector<double> numbers;              // per-row and fixed operations
        std::vector<double> row;                  // a row's values on their way to float32
    };

    void runRow(Scratch &s, uint64_t c0, uint64_t width, double *out) const {
        const uint32_t root = plan_.root;
        if (place_[root] != Place::Along) {
            if (place_[root] == Place::Tabled)
                std::memcpy(out, tables_[root].data() + c0, sizeof(double) * width);
            else
                std::fill_n(out, width, s.numbers[root]);
            return;
        }
        for (uint64_t c = 0; c < width; c += kChunk) {
            const size_t n = std::min<uint64_t>(kChunk, width - c);
            for (uint32_t i : along_) {
                const Operation &o = op(i);
                double *r = i == root ? out + c : s.registers.data() + size_t(register_[i]) * kChunk;
                if (o.kind == Kind::Variable) {
                    const uint64_t first = b_.origin[inner_] + c0 + c;
                    for (size_t j = 0; j < n; ++j)
                        r[j] = coordinate(o, first + j);
                    continue;
                }
                if (readsNumber(i)) {
                    const bool numberFirst = isNumber(o.args[0]);
                    const uint32_t number = o.args[numberFirst ? 0 : 1], other = o.args[numberFirst ? 1 : 0];
                    arithmeticWithNumber(o.kind, chunkOf(s, other, c0 + c), s.numbers[number], numberFirst, r, n);
                    continue;
                }
                const double *args[3] = {kZeros.data(), kZeros.data(), kZeros.data()};
                for (uint32_t a = 0; a < o.argCount; ++a)
                    args[a] = chunkOf(s, o.args[a], c0 + c);
                computeOperation(o, args, r, n);
            }
        }
    }

    // A value that is one number on a row (fixed or per row).
    bool isNumber(uint32_t k) const { return place_[k] == Place::Fixed || place_[k] == Place::PerRow; }

    // An along operation of arithmetic on a chunk and a number, which reads
    // the number itself rather than a chunk filled with it.
    bool readsNumber(uint32_t i) const {
        const Operation &o = op(i);
        return takesNumber(o.kind) && !o.fast && (isNumber(o.args[0]) != isNumber(o.args[1]));
    }

    const double *chunkOf(const Scratch &s, uint32_t k, uint64_t column) const {
        switch (place_[k]) {
        case Place::Fixed:
        case Place::PerRow:
            return s.slots.data() + size_t(slot_[k]) * kChunk;
        case Place::Tabled:
            return tables_[k].data() + column;
        case Place::Along:
            return s.registers.data() + size_t(register_[k]) * kChunk;
        }
        return kZeros.data();
    }

};

// A block cut into pieces of about kPiecePoints points, shared among the
// threads.
class DirectEvaluation {
public:
    DirectEvaluation(const PlannedFormula &formula, const Block &block)
        : planned_(formula.plan, block), b_(block), n_(block.shape.size()) {
        inner_ = n_ - 1;
        while (inner_ > 0 && b_.shape[inner_] == 1)
            --inner_;
        const uint64_t columns = b_.shape[inner_];
        stretches_ = cut(inner_, std::min<uint64_t>(columns, kPiecePoints));
        bands_ = inner_ == 0 ? std::vector<Run>{{0, 1}}
                             : cut(inner_ - 1, std::max<uint64_t>(1, kPiecePoints / columns));
        prefixes_ = 1;
        for (size_t d = 0; d + 1 < inner_; ++d)
            prefixes_ *= b_.shape[d];
        points_ = prefixes_;
        for (size_t d = inner_ - (inner_ > 0); d < n_; ++d)
            points_ *= b_.shape[d];
    }

    uint64_t pieces() const { return prefixes_ * bands_.size() * stretches_.size(); }

    void run(unsigned threads, const Poll &wait) {
        if (points_ < kParallelPoints)
            threads = 1;
        runTasks(pieces(), threads, [this](uint64_t piece, const Poll &poll) { runPiece(piece, poll); }, wait);
    }

    // On the calling thread, polling with `poll` itself at every piece: a
    // part of a larger job, whose poll is the job's.
    void runHere(const Poll &poll) {
        for (uint64_t piece = 0; piece < pieces(); ++piece)
            runPiece(piece, poll);
    }

private:
    struct Run {
        uint64_t first, count;
    };
    PlannedBlock planned_;
    const Block &b_;
    size_t n_;
    size_t inner_ = 0;
    std::vector<Run> bands_, stretches_;
    uint64_t prefixes_ = 1, points_ = 1;

    // The block's extent along d in runs of at most `longest`.
    std::vector<Run> cut(size_t d, uint64_t longest) const {
        std::vector<Run> runs;
        for (uint64_t i = 0; i < b_.shape[d]; i += longest)
            runs.push_back({i, std::min(longest, b_.shape[d] - i)});
        return runs;
    }

    void runPiece(uint64_t piece, const Poll &poll) const {
        poll();
        const Run stretch = stretches_[piece % stretches_.size()];
        piece /= stretches_.size();
        const Run band = bands_[piece % bands_.size()];
        uint64_t prefix = piece / bands_.size();
        std::vector<uint64_t> at = b_.origin;
        for (size_t d = inner_ - 1; inner_ > 0 && d-- > 0;) {
            at[d] += prefix % b_.shape[d];
            prefix /= b_.shape[d];
        }
        if (inner_ > 0)
            at[inner_ - 1] += band.first;
        at[inner_] += stretch.first;
        planned_.runPiece(std::move(at), band.count, stretch.first, stretch.count, poll);
    }
};

} // namespace

void evaluateFormula(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait) {
    const std::shared_ptr<const PlannedFormula> formula = formulaOf(tree, block.shape.size());
    // A tree the plan cannot take: the accurate stepping, which reports why.
    if (formula->plan->wholeRecurrence())
        return evaluateAccurate(tree, block, threads, wait);
    DirectEvaluation(*formula, block).run(threads, wait);
}

// Parts of a block for FormulaRows: runs of at most kPartRows rows along the
// dimension before the last, each cut at the tiles' edges, and of every row
// the columns of one tile; in C order of their first points.
namespace {
constexpr uint64_t kPartRows = 256;

// The run along dimension d that starts at `at`: up to `longest` long, cut
// at the block's end and the tiles' edges.
uint64_t runFrom(const Block &block, size_t d, uint64_t at, uint64_t longest) {
    const uint64_t last = block.origin[d] + block.shape[d], tile = block.tile[d];
    return std::min({longest, last - at, (at / tile + 1) * tile - at});
}
} // namespace

FormulaRows::FormulaRows(const ASTnode &tree, const Block &block)
    : block_(block), formula_(formulaOf(tree, block.shape.size())), cursor_(block.origin) {
    if (formula_->plan->wholeRecurrence())
        stepped_ = std::make_unique<AccurateRows>(tree, block);
}

FormulaRows::~FormulaRows() = default;

uint64_t FormulaRows::largestPart() const {
    const size_t n = block_.shape.size();
    uint64_t rows = 1;
    for (size_t d = 0; d + 1 < n; ++d)
        rows = std::min(kPartRows, rows * std::min(block_.shape[d], block_.tile[d]));
    const uint64_t columns = std::min(block_.shape[n - 1], block_.tile[n - 1]);
    return columns > UINT64_MAX / rows ? UINT64_MAX : rows * columns;
}

bool FormulaRows::next(size_t most, std::vector<RowPart> &parts) {
    if (stepped_)
        return stepped_->next(most, parts);
    const size_t n = block_.shape.size(), before = parts.size();
    const size_t rowDim = n >= 2 ? n - 2 : 0;
    while (!done_ && parts.size() < most) {
        RowPart part;
        part.low = cursor_;
        part.high = cursor_;
        part.points = runFrom(block_, n - 1, cursor_[n - 1], UINT64_MAX);
        part.high[n - 1] += part.points - 1;
        if (n >= 2) {
            const uint64_t rows = runFrom(block_, rowDim, cursor_[rowDim], kPartRows);
            part.high[rowDim] += rows - 1;
            part.points *= rows;
        }
        // On to the next run of columns, then of rows, then the next prefix.
        cursor_[n - 1] = part.high[n - 1] + 1;
        size_t d = n - 1;
        while (cursor_[d] == block_.origin[d] + block_.shape[d]) {
            cursor_[d] = block_.origin[d];
            if (d == 0) {
                done_ = true;
                break;
            }
            --d;
            cursor_[d] = d == rowDim ? part.high[d] + 1 : cursor_[d] + 1;
        }
        parts.push_back(std::move(part));
    }
    return parts.size() > before;
}

void FormulaRows::run(const RowPart &part, RowSink &sink, const Poll &poll) {
    if (stepped_)
        return stepped_->run(part, sink, poll);
    const size_t n = part.low.size();
    std::vector<double> values(part.points);
    Block box = block_;
    box.origin = part.low;
    box.shape.resize(n);
    for (size_t d = 0; d < n; ++d)
        box.shape[d] = part.high[d] - part.low[d] + 1;
    box.out = values.data();
    DirectEvaluation(*formula_, box).runHere(poll);
    const uint64_t width = box.shape[n - 1];
    std::vector<uint64_t> first(part.low);
    for (uint64_t r = 0; r < part.points / width; ++r) {
        uint64_t rest = r;
        for (size_t d = n - 1; d-- > 0;) {
            first[d] = part.low[d] + rest % box.shape[d];
            rest /= box.shape[d];
        }
        sink.row(first.data(), values.data() + r * width, width);
    }
}

void FormulaRows::finish() {
    if (stepped_)
        stepped_->finish();
}

} // namespace vemiral
