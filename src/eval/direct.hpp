#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "eval/accurate.hpp"
#include "eval/tiles.hpp"

namespace vemiral {

class PlannedFormula;

// Evaluates a block by the default method: the formula's plan (plan.hpp)
// run over the block, the parts that step as recurrences by the accurate
// stepping (accurate.hpp), the rest directly. A point's value depends on the
// formula, the tile and the point alone, so every block is the same slice of
// the whole grid, on any number of threads.
void evaluateFormula(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait);

// Where a formula's values go: the value of the block's point i (in C
// order) at values[i * stride], or at singles[i * stride] rounded once to
// float (the real and imaginary slots of a complex array have stride 2).
struct Output {
    double *values = nullptr;
    float *singles = nullptr;
    size_t stride = 1;

    Output at(uint64_t point) const {
        return {values ? values + point * stride : nullptr, singles ? singles + point * stride : nullptr, stride};
    }
    void store(const double *from, uint64_t n) const {
        if (values && stride == 1)
            std::memcpy(values, from, sizeof(double) * n);
        else if (values)
            for (uint64_t i = 0; i < n; ++i)
                values[i * stride] = from[i];
        else
            for (uint64_t i = 0; i < n; ++i)
                singles[i * stride] = static_cast<float>(from[i]);
    }
    void fill(double value, uint64_t n) const {
        for (uint64_t i = 0; i < n; ++i) {
            if (values)
                values[i * stride] = value;
            else
                singles[i * stride] = static_cast<float>(value);
        }
    }
};

// Several formulas over one block in one pass of a joint plan (plan.hpp):
// outs[k] gets the values evaluateFormula computes for trees[k] (block.out
// is not used), an operation they share computed once; a formula that steps
// as recurrences as a whole is evaluated alone.
void evaluateFormulas(const std::vector<const ASTnode *> &trees, const Block &block, const std::vector<Output> &outs,
                      unsigned threads, const Poll &wait);

// The values evaluateFormula writes for a block, handed out part by part
// (block.out is not used), as AccurateRows does: parts cut by the block and
// its tiles alone, a part's rows in C order, handed out in order a batch at
// a time from a cursor, memory of a part per thread.
class FormulaRows {
public:
    FormulaRows(const ASTnode &tree, const Block &block);
    ~FormulaRows();
    FormulaRows(const FormulaRows &) = delete;
    FormulaRows &operator=(const FormulaRows &) = delete;

    bool next(size_t most, std::vector<RowPart> &parts);
    void run(const RowPart &part, RowSink &sink, const Poll &poll);
    void finish();
    // The most points a part holds.
    uint64_t largestPart() const;

private:
    const Block &block_;
    std::shared_ptr<const PlannedFormula> formula_;
    std::unique_ptr<AccurateRows> stepped_; // the whole formula steps as recurrences
    // The next part: its first point; done once past the block.
    std::vector<uint64_t> cursor_;
    bool done_ = false;
};

} // namespace vemiral
