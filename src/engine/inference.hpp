// z statistics, p-values, confidence bounds and significance marks.
#pragma once

#include <string>
#include <vector>

#include "engine/matrix.hpp"

namespace tarvex {

// The reported rows, column by column: one entry per non-intercept regressor,
// in the column order of X.
struct EffectRows {
    std::vector<double> dydx, std_err, z, p_value, conf_low, conf_high;
    std::vector<const char*> significance;  // "***", "**", "*" or ""
    std::vector<std::string> names;

    std::size_t size() const { return dydx.size(); }
};

// One row per column j < k that is not in intercept_idx (increasing
// positions), named names[j].
EffectRows build_effect_rows(std::size_t k, const Vector& ame, const Vector& se,
                             const std::vector<std::size_t>& intercept_idx,
                             const std::vector<std::string>& names);

}  // namespace tarvex
