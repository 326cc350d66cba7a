// Regressor names: the full-Unicode lower-case comparison with ASCII words.
#include "lib/names.hpp"

namespace tarvex {

bool lowercase_equals(const std::string& utf8, const char* target) {
    // Only one code point outside ASCII has a full lower-case mapping made of
    // ASCII letters: U+212A KELVIN SIGN → "k" (the test suite checks this over
    // all of Unicode). So folding ASCII upper case, mapping U+212A to 'k' and
    // refusing every other non-ASCII code point is the full Unicode
    // lower-casing, as far as equality with an ASCII word is concerned.
    static constexpr char kelvin_sign[] = "\xE2\x84\xAA";
    std::size_t t = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        char lowered;
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            lowered = (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a')
                                                   : static_cast<char>(byte);
            i += 1;
        } else if (utf8.compare(i, 3, kelvin_sign) == 0) {
            lowered = 'k';
            i += 3;
        } else {
            return false;
        }
        if (target[t] == '\0' || target[t] != lowered) return false;
        ++t;
    }
    return target[t] == '\0';
}

std::vector<std::size_t> find_intercepts(const std::vector<std::string>& names) {
    std::vector<std::size_t> intercept_idx;
    for (std::size_t p = 0; p < names.size(); ++p)
        if (lowercase_equals(names[p], "const") || lowercase_equals(names[p], "intercept"))
            intercept_idx.push_back(p);
    return intercept_idx;
}

}  // namespace tarvex
