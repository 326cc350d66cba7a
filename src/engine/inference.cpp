// Inference statistics of the effects under the normal approximation.
#include "engine/inference.hpp"

#include <cmath>

#include "engine/link.hpp"
#include "engine/panic.hpp"

namespace tarvex {

namespace {

// Statistics are computed only for a standard error strictly above this floor;
// at or below it (and for NaN) the effect is reported with z = 0 and p = 1.
constexpr double se_floor = 1e-15;
// Half-width of the 95% interval in standard errors.
constexpr double z_critical = 1.96;

const char* significance_mark(double p) {
    if (p < 0.01) return "***";
    if (p < 0.05) return "**";
    if (p < 0.1) return "*";
    return "";  // also for NaN
}

template <class T>
const T& at(const std::vector<T>& values, std::size_t j) {
    if (j >= values.size()) panic_index_out_of_bounds(values.size(), j);
    return values[j];
}

}  // namespace

EffectRows build_effect_rows(std::size_t k, const Vector& ame, const Vector& se,
                             const std::vector<std::size_t>& intercept_idx,
                             const std::vector<std::string>& names) {
    EffectRows rows;
    // intercept_idx is increasing: one walk along it skips the intercepts.
    std::size_t next_intercept = 0;
    for (std::size_t j = 0; j < k; ++j) {
        while (next_intercept < intercept_idx.size() && intercept_idx[next_intercept] < j)
            ++next_intercept;
        if (next_intercept < intercept_idx.size() && intercept_idx[next_intercept] == j)
            continue;
        const double a = at(ame, j);
        const double s = at(se, j);
        double z = 0.0, p = 1.0, low = a, high = a;
        const char* mark = "";
        if (s > se_floor) {
            z = a / s;
            // Two-sided p-value 2·(1 - Φ(|z|)), the subtraction from one
            // included: p is a multiple of 2^-52 near 0 and exactly 0 for
            // |z| ≥ 8.2924.
            const double c = probit_cdf(std::fabs(z));
            p = 2.0 * (1.0 - c);
            mark = significance_mark(p);
            const double h = z_critical * s;
            low = a - h;
            high = a + h;
        }
        rows.dydx.push_back(a);
        rows.std_err.push_back(s);
        rows.z.push_back(z);
        rows.p_value.push_back(p);
        rows.conf_low.push_back(low);
        rows.conf_high.push_back(high);
        rows.significance.push_back(mark);
        rows.names.push_back(at(names, j));
    }
    return rows;
}

}  // namespace tarvex
