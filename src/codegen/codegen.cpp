#include "ast/ASTnode.hpp"

#include <stdexcept>

namespace vemiral {

std::string CRobj::genInit(CRobj &) { return {}; }

std::string ASTnode::crgen() {
    if (!cr)
        throw std::runtime_error("crgen: crinit must come first");
    throw std::logic_error("crgen is not implemented yet");
}

} // namespace vemiral
