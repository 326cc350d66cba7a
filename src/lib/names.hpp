// Regressor names: which ones mark intercept columns.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvex {

// True when the UTF-8 text, lower-cased with the full Unicode mapping, equals
// the lower-case ASCII word `target`.
bool lowercase_equals(const std::string& utf8, const char* target);

// Positions, in increasing order, of the names that lower-case to "const" or
// "intercept". Linear in the number of names.
std::vector<std::size_t> find_intercepts(const std::vector<std::string>& names);

}  // namespace tarvex
