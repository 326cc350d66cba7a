// Checks divide_by_constant against the division instruction, bit for bit:
// prints the number of arguments checked and the first mismatch, if any.
//   constant_division_check <count> <seed>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/constant_division.hpp"

namespace {

double from_bits(std::uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);

    // The divisors the link functions use, and random ones in [1, 4).
    std::vector<double> divisors = {1.4142135623730951, 2.5066282746310002, 1.0, 3.0};
    std::uniform_real_distribution<double> in_range(1.0, 4.0);
    for (int i = 0; i < 8; ++i) divisors.push_back(in_range(rng));

    // Arguments: random bit patterns (every exponent, both signs, NaNs and
    // infinities included), random mantissas at the edges of the range where
    // the multiply-adds are used, and the special values.
    std::vector<double> x;
    const double edges[] = {tarvex::constant_division_lowest, tarvex::constant_division_highest};
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t bits = rng();
        x.push_back(from_bits(bits));
        // Same mantissa, exponent within a few binades of either edge.
        const double edge = edges[i % 2];
        const int shift = static_cast<int>(rng() % 9) - 4;
        const double m = from_bits((bits & 0x800FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
        x.push_back(std::ldexp(m, shift) * edge);
        // Ordinary magnitudes, where the link functions work.
        x.push_back(std::ldexp(m, static_cast<int>(rng() % 64) - 32));
    }
    const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               tarvex::constant_division_lowest,
                               std::nextafter(tarvex::constant_division_lowest, 0.0),
                               tarvex::constant_division_highest,
                               std::nextafter(tarvex::constant_division_highest, INFINITY)};
    for (double v : specials) x.push_back(v);

    std::vector<double> out(x.size());
    std::size_t checked = 0;
    for (double c : divisors) {
        const tarvex::ConstantDivisor d(c);
        // Offsets 0..2 give every alignment of the vectorised loop and its tail.
        for (std::size_t offset = 0; offset < 3; ++offset) {
            const double* in = x.data() + offset;
            const std::size_t len = x.size() - offset;
            tarvex::divide_by_constant(len, [in](std::size_t i) { return in[i]; }, d, out.data());
            for (std::size_t i = 0; i < len; ++i) {
                const double want = in[i] / c;
                const bool equal = std::isnan(want) ? std::isnan(out[i]) : same_bits(out[i], want);
                if (!equal) {
                    std::printf("MISMATCH x=%a c=%a got=%a want=%a\n", in[i], c, out[i], want);
                    return 1;
                }
                ++checked;
            }
        }
    }
    std::printf("checked %zu\n", checked);
    return 0;
}
