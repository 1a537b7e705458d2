#include "decimal.hpp"

namespace tallyforge {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace tallyforge
