#include "ast/ASTnode.hpp"

#include <algorithm>
#include <iostream>

namespace vemiral {

ASTnode::~ASTnode() = default;

ASTnode::TileProgram ASTnode::lastTileProgram() const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    return tileProgram_;
}

void ASTnode::keepTileProgram(TileProgram program) const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    tileProgram_ = std::move(program);
}

std::shared_ptr<const AccurateTiles> ASTnode::lastAccurateTiles() const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    return accurateTiles_;
}

void ASTnode::keepAccurateTiles(std::shared_ptr<const AccurateTiles> tiles) const {
    std::lock_guard<std::mutex> lock(tileProgramMutex_);
    accurateTiles_ = std::move(tiles);
}

void ASTnode::setChildren(std::shared_ptr<ASTnode> l, std::shared_ptr<ASTnode> r) {
    uint64_t deepest = 0;
    if (l)
        deepest = std::max(deepest, l->depth_);
    if (r)
        deepest = std::max(deepest, r->depth_);
    if (deepest + 1 > kMaxTreeDepth)
        throw TreeTooDeep("expression tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    depth_ = deepest + 1;
    left = std::move(l);
    right = std::move(r);
}

ASTnum::ASTnum(double value_) : value(value_) {}

ASTvar::ASTvar(uint64_t index_, double start_, double step_) : index(index_), start(start_), step(step_) {}

ASTbin::ASTbin(int32_t op_, ASTptr l, ASTptr r) : op(op_) {
    if (!l || !r)
        throw std::invalid_argument("ASTbin needs two child nodes");
    setChildren(std::move(l), std::move(r));
}

ASTun::ASTun(int32_t op_, ASTptr child) : op(op_) {
    if (!child)
        throw std::invalid_argument("ASTun needs a child node");
    setChildren(std::move(child), nullptr);
}

void ASTnum::print() const { std::cout << "astnum(" << value << ")\n"; }

void ASTvar::print() const { std::cout << "astvar(" << index << ")\n"; }

void ASTbin::print() const {
    std::cout << "astbin\n";
    left->print();
    right->print();
}

void ASTun::print() const {
    std::cout << "astun\n";
    left->print();
}

std::string btName(int32_t op) {
    static const char *const names[] = {"ADD", "SUB", "MUL", "DIV", "POW"};
    if (op >= 0 && op <= POW)
        return names[op];
    return "bt(" + std::to_string(op) + ")";
}

std::string utName(int32_t op) {
    static const char *const names[] = {"NEG", "FAC", "EXP", "LN", "SIN", "COS", "TAN", "COT"};
    if (op >= 0 && op <= COT)
        return names[op];
    return "ut(" + std::to_string(op) + ")";
}

} // namespace vemiral
