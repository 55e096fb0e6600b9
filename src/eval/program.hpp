#pragma once

#include <cstdint>
#include <vector>

#include "cr/CRobj.hpp"

namespace vemiral {

// One instruction of a flattened shift, over the registers of a whole chain
// tree numbered in one array.
struct Step {
    enum Kind : uint8_t {
        Sum,    // registers first .. first+count-1 step as a pure-sum chain
        Prod,   // registers first .. first+count-1 step as a pure-product chain
        Rotate, // count sine/cosine levels rotate; sines from first, cosines from first+count
        Copy,   // register target <- register source (an operand's value into its parent)
        Expr,   // register target <- op(register source, register other, register third)
        Table,  // register target <- entry (step number) of table `source`
    };
    Kind kind;
    int32_t op;      // Expr: the operation code
    uint32_t first;  // Sum, Prod, Rotate: the first register; the others: the register written
    uint32_t count;  // Sum, Prod: registers; Rotate: levels
    uint32_t source; // Copy, Expr: the register read; Table: the table's number
    uint32_t other;  // Expr: the second operand's register
    uint32_t third = 0; // Expr: the third operand's register (where's)
};

// What stepping one row-invariant part along a row computes: its steps, and
// the register its value is read from (and, for block tables, the part's
// node, whose steps along either of the last two dimensions subtreeSteps
// gives).
struct TableRecipe {
    std::vector<Step> steps;
    uint32_t value;
    uint32_t node = 0;
};

// The registers a chain starts from, and the tables of its row-invariant
// parts that follow from them. `tails` extend the registers to
// double-double (zero unless the chain was lowered keeping tails).
struct Seed {
    std::vector<double> registers;
    std::vector<double> tails;
    std::vector<std::vector<double>> tables;
};

// An initialised chain flattened for a grid of given extents: every register
// of the tree in one array, and for every dimension the list of steps that
// `shift` along it performs, with the same floating-point operations in the
// same order on the same numbers, so every value is identical, bit for bit,
// to what stepping copies of the chain gives.
//
// The grid is seen as rows: the innermost dimension runs along a row, the
// outer dimensions count the rows. Row r starts from the state the outer
// odometer reaches at r and then repeats the innermost shift.
//
// The program depends on the chain's shape only; `seed` holds the registers
// of the chain it was built from. Another chain of the same shape (the same
// tree lowered from another corner of a grid) runs on the same program from
// its own seed.
class Program {
public:
    struct Options {
        // Row-invariant parts tabulated, and rows of one operation between a
        // table and a steady number computed as such.
        bool tables = true;
        // Seeds carry the registers' tails (Seed::tails); otherwise those
        // stay empty.
        bool tails = false;
        // For a grid whose last two dimensions are the blocks and the steps
        // inside a block of one row: the parts that no step along the other
        // dimensions changes are the same in every row, and the steps of the
        // last two dimensions read them from tables (one entry per point of a
        // row, which the caller computes). Implies no other tables.
        bool blockTables = false;
    };

    Program(const CRobj &root, const std::vector<uint64_t> &extents) : Program(root, extents, Options{}) {}
    Program(const CRobj &root, const std::vector<uint64_t> &extents, Options options);

    std::vector<uint64_t> extents;
    uint64_t rows = 1;
    uint64_t rowLength = 1;
    std::vector<std::vector<Step>> outer; // shift along each outer dimension
    std::vector<Step> row;                // shift along the innermost one
    std::vector<TableRecipe> tables;      // row-invariant parts, tabulated per seed
    uint32_t rootValue = 0;
    bool rootTabulated = false;           // every row is table 0

    // A row that is one operation between a table and a number that stays
    // put along the row (a separable expression such as (x + 1) / (y + 2)):
    // its points are that operation on the table's entries, computed along
    // the row without lanes.
    struct TableRow {
        bool applies = false;
        int32_t op = 0;
        uint32_t table = 0;    // the table's number
        uint32_t left = 0;     // the operands' registers; the table's is `tableAt`
        uint32_t right = 0;
        uint32_t tableAt = 0;
    } tableRow;
    int maxLanes = 32;                    // rows evaluated side by side
    Seed seed;                            // of the chain the program was built from
    Options options;

    uint32_t registerCount() const { return static_cast<uint32_t>(seed.registers.size()); }

    // The steps by which a node's subtree changes along a dimension.
    std::vector<Step> subtreeSteps(uint32_t node, int64_t dim) const;
    // The registers of a node's subtree: [first, second).
    std::pair<uint32_t, uint32_t> subtreeRegisters(uint32_t node) const {
        return {nodes_[node].first, nodes_[node].end};
    }

    // The seed of another chain: false when its shape differs from this
    // program's (then it needs a program of its own).
    bool seedFrom(const CRobj &root, Seed &seed) const;

private:
    struct Node {
        ChainKind kind;
        int64_t index;
        uint32_t first, length, value, end;
        int32_t op;
        std::vector<std::pair<uint32_t, uint32_t>> chains; // (position, node)
    };
    std::vector<Node> nodes_;

    friend class ProgramBuilder;
    void tabulate(Seed &seed) const;
    // The tails of every register, from the constants' tails: an operand's
    // register takes its chain's value tail, an expression node's value the
    // tail of its operation in double-double.
    void fillTails(const std::vector<const CRobj *> &chains, Seed &seed) const;
};

} // namespace vemiral
