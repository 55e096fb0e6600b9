#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "cr/CRobj.hpp"

namespace vemiral {

// One instruction of a flattened shift, over registers numbered in one array.
struct Step {
    enum Kind : uint8_t {
        Sum,   // registers a .. a+b-1 step as a pure-sum chain
        Prod,  // registers a .. a+b-1 step as a pure-product chain
        Trig,  // b sine/cosine levels from register a rotate
        Copy,  // register a <- register b (an operand's value into its parent)
        Expr,  // register a <- the operation `op` on registers b and c
        Table, // register a <- entry (step number) of table b
    };
    Kind kind;
    int32_t op;
    uint32_t a, b, c;
};

// The initialised root chain of a grid, flattened once: every register of
// the tree in one array, and for every dimension the list of steps that
// `shift` along that dimension performs, with the same floating-point
// operations in the same order on the same numbers, so every value is
// identical, bit for bit, to what stepping copies of the chain gives.
//
// The grid is seen as rows: the innermost dimension runs along a row, the
// outer dimensions count the rows. Row r of the grid starts from the state
// the outer odometer reaches at r and then repeats the innermost shift.
class Evaluator {
public:
    using Poll = std::function<void()>;

    Evaluator(const CRobj &root, const std::vector<uint64_t> &extents);

    uint64_t rows() const { return rows_; }
    uint64_t rowLength() const { return rowLength_; }

    // Writes rows [first, last) to out, which receives the first point of row
    // `first`; both ends are multiples of 32 or the end of the grid. `poll` runs after every group of rows and every 2^20 points
    // within long rows; it may throw to abandon the work. When copyingMs is
    // given it accumulates the time spent re-seeding working state.
    void evaluate(uint64_t first, uint64_t last, double *out, const Poll &poll,
                  double *copyingMs) const;

private:
    struct Node;

    std::vector<uint64_t> extents_;
    uint64_t rows_ = 1;
    uint64_t rowLength_ = 1;
    std::vector<double> init_;               // every register after valueof
    std::vector<std::vector<Step>> outer_;   // shift along each outer dimension
    std::vector<Step> row_;                  // shift along the innermost one
    std::vector<std::vector<double>> tables_; // values of row-invariant parts
    uint32_t rootValue_ = 0;
    bool rootTabulated_ = false;             // every row is tables_[0]
    int maxLanes_ = 32;                      // rows evaluated side by side

    void runGroup(int k, double *lanes, double *out, const Poll &poll) const;
    void runGroupWith(int k, double *lanes, double *out, const Poll &poll) const;
    void runGroupPortable(int k, double *lanes, double *out, const Poll &poll) const;
    void runGroupAvx2(int k, double *lanes, double *out, const Poll &poll) const;
    template <int K>
    void runRows(double *lanes, double *out, const Poll &poll) const;
    template <int K>
    bool runLoneRecurrence(const double *lanes, double *out, const Poll &poll) const;
    int groupSize(uint64_t row, uint64_t last) const;
    void advance(std::vector<double> &work, std::vector<uint64_t> &counter,
                 double *copyingMs) const;

    friend class EvaluatorBuilder;
};

// Fills out (rows() * rowLength() doubles, row-major) with the rows shared
// among the machine's cores. `poll` runs on the calling thread now and then
// while the others work; when it throws, the workers stop and it propagates.
void evaluateInParallel(const Evaluator &evaluator, double *out, const Evaluator::Poll &poll);

} // namespace vemiral
