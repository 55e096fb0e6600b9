// Blocks of a grid evaluated tile by tile: the seeds, the tasks, where each
// tile's points land in the block.
#include "eval/tiles.hpp"

#include <algorithm>
#include <memory>

#include "ast/ASTnode.hpp"
#include "eval/pool.hpp"
#include "eval/program.hpp"
#include "eval/rows.hpp"

namespace vemiral {

namespace {

// Below this many points a block runs on the calling thread alone: starting
// work elsewhere would cost more than it saves.
constexpr uint64_t kParallelPoints = uint64_t{1} << 16;

uint64_t ceilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// A tile's chain from its corner, on the shared program when it has the
// program's shape, else on a program of its own. The shared program was
// built from the block's first tile, whose seed it already holds.
struct TileSeed {
    std::unique_ptr<Program> own;
    Seed ownSeed;
    const Program *program = nullptr;
    const Seed *seed = nullptr;

    TileSeed(const ASTnode &tree, const Program &shared, const std::vector<uint64_t> &corner, bool first) {
        if (first) {
            program = &shared;
            seed = &shared.seed;
            return;
        }
        CRptr chain = tree.lowerWith({corner, shared.extents});
        chain->valueof();
        if (shared.seedFrom(*chain, ownSeed)) {
            program = &shared;
            seed = &ownSeed;
        } else {
            own = std::make_unique<Program>(*chain, shared.extents);
            program = own.get();
            seed = &own->seed;
        }
    }
    TileSeed(const TileSeed &) = delete;
    TileSeed &operator=(const TileSeed &) = delete;
};

class TiledEvaluation : private TileLayout {
public:
    TiledEvaluation(const ASTnode &tree, const Block &block)
        : TileLayout(block), tree_(tree), b_(block), n_(block.shape.size()) {
        // Enough of a tile for every tile of the block: the first one needs
        // up to o % t + s, the others at most min(t, s).
        extents_.resize(n_);
        for (size_t d = 0; d < n_; ++d)
            extents_[d] = std::min(b_.tile[d], b_.origin[d] % b_.tile[d] + b_.shape[d]);
        const std::vector<uint64_t> first = corner(0);
        ASTnode::TileProgram kept = tree_.lastTileProgram();
        if (kept.program && kept.corner == first && kept.extents == extents_) {
            program_ = std::move(kept.program);
        } else {
            CRptr chain = tree_.lowerWith({first, extents_});
            chain->valueof();
            program_ = std::make_shared<const Program>(*chain, extents_);
            tree_.keepTileProgram({first, extents_, program_});
        }
    }

    void run(unsigned threads, const Poll &wait) {
        uint64_t points = 1;
        for (uint64_t s : b_.shape)
            points *= s;
        if (points < kParallelPoints)
            threads = 1;
        if (program_->rows == 1)
            planRowsOfTiles(threads);
        else
            planTiles(threads);
        runTasks(tasks_.size(), threads, [this](uint64_t i, const Poll &poll) { runTask(tasks_[i], poll); },
                 wait);
    }

private:
    // Rows [first, last) of a tile's part of the block (its rows in C order),
    // or, when every tile is one row, tiles first..last-1 along the innermost
    // dimension of one row of tiles.
    struct Task {
        uint64_t tile; // linear tile number within the block; for rows of tiles, of the first
        uint64_t first, last;
    };

    const ASTnode &tree_;
    const Block &b_;
    size_t n_;
    std::vector<uint64_t> extents_;
    std::shared_ptr<const Program> program_;
    std::vector<Task> tasks_;

    // Where tile point p (tile coordinates, innermost taken as `column`) lands.
    double *at(const std::vector<uint64_t> &c, const std::vector<uint64_t> &p, uint64_t column) const {
        uint64_t offset = c[n_ - 1] + column - b_.origin[n_ - 1];
        for (size_t d = 0; d + 1 < n_; ++d)
            offset += (c[d] + p[d] - b_.origin[d]) * strides[d];
        return b_.out + offset;
    }

    // Tiles of several rows: tasks of whole rows, enough of them to keep
    // every thread busy; each task seeds its tile once.
    void planTiles(unsigned threads) {
        uint64_t rowsInAll = tileCount[n_ - 1];
        for (size_t d = 0; d + 1 < n_; ++d)
            rowsInAll *= b_.shape[d];
        const auto lanes = static_cast<uint64_t>(program_->maxLanes);
        const uint64_t perTask =
            threads == 1 ? UINT64_MAX : ceilDiv(ceilDiv(rowsInAll, 2 * uint64_t{threads}), lanes) * lanes;
        for (uint64_t t = 0, count = tiles(); t < count; ++t) {
            const std::vector<uint64_t> c = corner(t);
            uint64_t rows = 1;
            for (size_t d = 0; d + 1 < n_; ++d)
                rows *= high(c, d) - low(c, d);
            for (uint64_t first = 0; first < rows; first += std::min(perTask, rows - first))
                tasks_.push_back({t, first, first + std::min(perTask, rows - first)});
        }
    }

    void runTask(const Task &task, const Poll &poll) {
        if (program_->rows == 1)
            return runRowOfTiles(task, poll);
        const std::vector<uint64_t> c = corner(task.tile);
        const TileSeed tile(tree_, *program_, c, task.tile == 0);
        // The part's rows in C order over the outer dimensions; a run of
        // consecutive rows along the last outer dimension is one range of
        // the tile's rows.
        std::vector<uint64_t> size(n_ - 1), p(n_ - 1);
        for (size_t d = 0; d + 1 < n_; ++d)
            size[d] = high(c, d) - low(c, d);
        const uint64_t runLength = size[n_ - 2];
        const RowsOut columns{nullptr, strides[n_ - 2], low(c, n_ - 1), high(c, n_ - 1)};
        for (uint64_t r = task.first; r < task.last;) {
            const uint64_t count = std::min(task.last, (r / runLength + 1) * runLength) - r;
            uint64_t rest = r, row = 0;
            for (size_t d = n_ - 1; d-- > 0;) {
                p[d] = low(c, d) + rest % size[d];
                rest /= size[d];
            }
            for (size_t d = 0; d + 1 < n_; ++d)
                row = row * extents_[d] + p[d];
            RowsOut out = columns;
            out.out = at(c, p, columns.begin);
            evaluateRows(*tile.program, *tile.seed, row, row + count, out, poll);
            r += count;
        }
    }

    // Tiles of one row each (a one-dimensional grid, for instance) are
    // independent rows: consecutive tiles along the innermost dimension run
    // side by side as the lanes of one group, each from its own seed.
    void planRowsOfTiles(unsigned threads) {
        const uint64_t along = tileCount[n_ - 1], rowsOfTiles = tiles() / along;
        const auto lanes = static_cast<uint64_t>(program_->maxLanes);
        uint64_t perTask = lanes;
        if (threads > 1 && along * rowsOfTiles < 2 * lanes * threads)
            perTask = std::max<uint64_t>(1, ceilDiv(along * rowsOfTiles, 2 * uint64_t{threads}));
        for (uint64_t r = 0; r < rowsOfTiles; ++r) {
            // The first and last tiles may be partial: tasks of their own.
            const uint64_t base = r * along;
            tasks_.push_back({base, 0, 1});
            for (uint64_t first = 1; first + 1 < along; first += std::min(perTask, along - 1 - first))
                tasks_.push_back({base, first, first + std::min(perTask, along - 1 - first)});
            if (along > 1)
                tasks_.push_back({base, along - 1, along});
        }
    }

    void runRowOfTiles(const Task &task, const Poll &poll) {
        const Program &program = *program_;
        const size_t regs = program.registerCount();
        std::vector<double> lanes(regs * static_cast<size_t>(program.maxLanes));
        std::vector<std::unique_ptr<TileSeed>> seeds;
        for (uint64_t first = task.first; first < task.last;) {
            int k = program.maxLanes;
            while (static_cast<uint64_t>(k) > task.last - first)
                k /= 2;
            seeds.clear();
            bool shared = true;
            for (int l = 0; l < k; ++l) {
                const uint64_t t = task.tile + first + static_cast<uint64_t>(l);
                seeds.push_back(std::make_unique<TileSeed>(tree_, program, corner(t), t == 0));
                shared = shared && seeds.back()->program == &program;
            }
            const std::vector<uint64_t> c = corner(task.tile + first);
            const std::vector<uint64_t> origin(n_ - 1, 0);
            const RowsOut out{at(c, origin, low(c, n_ - 1)), b_.tile[n_ - 1], low(c, n_ - 1), high(c, n_ - 1)};
            if (shared) {
                for (size_t r = 0; r < regs; ++r)
                    for (int l = 0; l < k; ++l)
                        lanes[r * static_cast<size_t>(k) + static_cast<size_t>(l)] = seeds[static_cast<size_t>(l)]->seed->registers[r];
                runGroup(program, *seeds[0]->seed, k, lanes.data(), out, poll);
            } else {
                // A tile whose chain took another shape runs alone, on its own program.
                for (int l = 0; l < k; ++l) {
                    RowsOut one = out;
                    one.out += static_cast<uint64_t>(l) * out.stride;
                    evaluateRows(*seeds[static_cast<size_t>(l)]->program, *seeds[static_cast<size_t>(l)]->seed, 0, 1, one, poll);
                }
            }
            first += static_cast<uint64_t>(k);
            poll();
        }
    }
};

} // namespace

void evaluateTiled(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait) {
    TiledEvaluation evaluation(tree, block);
    evaluation.run(threads, wait);
}

} // namespace vemiral
