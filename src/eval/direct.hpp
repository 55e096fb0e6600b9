#pragma once

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

// Several formulas over one block in one pass of a joint plan (plan.hpp):
// outs[k] gets the values evaluateFormula writes for trees[k] (block.out is
// not used), an operation they share computed once; a formula that steps as
// recurrences as a whole is evaluated alone.
void evaluateFormulas(const std::vector<const ASTnode *> &trees, const Block &block, const std::vector<double *> &outs,
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
