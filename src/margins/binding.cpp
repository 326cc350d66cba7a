// tarvex_margins._engine: the private binding of the margins row pass.
//
// NumPy arrays come in as read-only views with their own strides (no copies);
// the accumulators are the caller's arrays, added to in place, so that the
// Python layer can feed one row block after another into the same sums. The
// interpreter lock is released while the pass runs: the pass reads only the
// arrays handed in, which the caller keeps alive for the call, and touches no
// Python object. Every shape and index is checked here, before the pass.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/margins_pass.hpp"

namespace nb = nanobind;

namespace {

using InMatrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using InVector = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
using InIndex = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutVector = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutMatrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

tarvex::MatrixView matrix_view(const InMatrix& a) {
    return {a.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.stride(0)),
            static_cast<std::ptrdiff_t>(a.stride(1))};
}

tarvex::VectorView vector_view(const InVector& a) {
    return {a.data(), a.shape(0), static_cast<std::ptrdiff_t>(a.stride(0))};
}

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument(what); }

void check_row_vector(const InVector& v, std::size_t rows, const char* name) {
    if (v.shape(0) != 0 && v.shape(0) != rows)
        refuse(std::string(name) + " has " + std::to_string(v.shape(0)) + " entries for " +
               std::to_string(rows) + " rows");
}

// Per-estimate options: a row factor column (−1: none) and the log scale
// (0 or 1); both may be empty, meaning none for every estimate.
struct EstimateOptions {
    const std::optional<InIndex>& factor_col;
    const std::optional<InIndex>& log_scale;
};

// The estimates' layouts, checked against the width of `changed` and the
// number of row factors.
std::vector<tarvex::EstimateLayout> estimate_layouts(const InIndex& kinds, const InIndex& first,
                                                     const InIndex& width, const EstimateOptions& opts,
                                                     std::size_t n_changed, std::size_t n_factors) {
    const std::size_t n = kinds.shape(0);
    if (first.shape(0) != n || width.shape(0) != n) refuse("estimate layout arrays differ in length");
    const bool factored = opts.factor_col && opts.factor_col->shape(0) != 0;
    const bool logged = opts.log_scale && opts.log_scale->shape(0) != 0;
    if ((factored && opts.factor_col->shape(0) != n) || (logged && opts.log_scale->shape(0) != n))
        refuse("factor_col and log_scale must be empty or have one entry per estimate");
    std::vector<tarvex::EstimateLayout> out(n);
    for (std::size_t e = 0; e < n; ++e) {
        const std::int64_t kind = kinds(e), f = first(e), w = width(e);
        if ((kind != 0 && kind != 1) || f < 0 || w < 0) refuse("invalid estimate layout");
        const std::size_t halves = kind == 1 ? 2 : 1;
        if (static_cast<std::size_t>(f) + halves * static_cast<std::size_t>(w) > n_changed)
            refuse("an estimate's columns lie outside the changed block");
        const std::int64_t factor = factored ? (*opts.factor_col)(e) : -1;
        const std::int64_t log_scale = logged ? (*opts.log_scale)(e) : 0;
        if (factor < -1 || factor >= static_cast<std::int64_t>(n_factors)) refuse("factor column out of range");
        if (log_scale != 0 && log_scale != 1) refuse("log_scale must be 0 or 1");
        out[e] = {kind == 0 ? tarvex::EstimateKind::Slope : tarvex::EstimateKind::Contrast,
                  static_cast<std::size_t>(f), static_cast<std::size_t>(w),
                  static_cast<std::ptrdiff_t>(factor), log_scale == 1};
    }
    return out;
}

void accumulate(int link, InVector beta, InMatrix design, InVector offset, InVector weights,
                InMatrix changed, InIndex design_col, InIndex kinds, InIndex first, InIndex width,
                OutVector weight_sum, OutVector effect_sum, OutMatrix gradient_sum,
                std::optional<InMatrix> factors, std::optional<InIndex> factor_col,
                std::optional<InIndex> log_scale, std::optional<InIndex> groups) {
    const std::size_t rows = design.shape(0), k = design.shape(1);
    if (link < 0 || link > static_cast<int>(tarvex::BinaryLink::Cauchit)) refuse("unknown link");
    if (beta.shape(0) != k) refuse("beta and the design differ in size");
    check_row_vector(offset, rows, "offset");
    check_row_vector(weights, rows, "weights");
    if (changed.shape(0) != rows) refuse("the changed columns and the design differ in rows");
    if (design_col.shape(0) != changed.shape(1)) refuse("design_col must name one column per changed column");
    for (std::size_t c = 0; c < design_col.shape(0); ++c)
        if (design_col(c) < 0 || static_cast<std::size_t>(design_col(c)) >= k) refuse("design column out of range");
    const tarvex::MatrixView factor_view = factors ? matrix_view(*factors) : tarvex::MatrixView{};
    if (factors && factor_view.cols != 0 && factor_view.rows != rows)
        refuse("the row factors and the design differ in rows");
    auto layouts = estimate_layouts(kinds, first, width, {factor_col, log_scale}, changed.shape(1),
                                    factor_view.cols);
    // One set of accumulators per group: W (groups), S (groups·estimates),
    // T (groups·estimates × k).
    const std::size_t n_groups = weight_sum.shape(0);
    if (n_groups == 0 || effect_sum.shape(0) != n_groups * layouts.size() ||
        gradient_sum.shape(0) != n_groups * layouts.size() || gradient_sum.shape(1) != k)
        refuse("accumulators of the wrong shape");
    const std::int64_t* codes = nullptr;
    if (groups) {
        if (groups->shape(0) != rows) refuse("groups must have one code per row");
        codes = groups->data();
        for (std::size_t i = 0; i < rows; ++i)
            if (codes[i] < 0 || static_cast<std::size_t>(codes[i]) >= n_groups) refuse("group code out of range");
    } else if (n_groups != 1) {
        refuse("several sets of accumulators need group codes");
    }

    tarvex::MarginsBlock block{matrix_view(design), vector_view(offset), vector_view(weights),
                               matrix_view(changed), design_col.data(), factor_view, codes};
    tarvex::MarginsSums sums{weight_sum.data(), effect_sum.data(), gradient_sum.data(), layouts.size()};
    nb::gil_scoped_release release;
    tarvex::accumulate_margins(static_cast<tarvex::BinaryLink>(link), vector_view(beta), block,
                               layouts, sums);
}

}  // namespace

NB_MODULE(_engine, m) {
    m.doc() = "Private row pass of tarvex_margins (weighted sums of effects and gradients).";
    m.def("accumulate", &accumulate, nb::arg("link"), nb::arg("beta"), nb::arg("design"),
          nb::arg("offset"), nb::arg("weights"), nb::arg("changed"), nb::arg("design_col"),
          nb::arg("kinds"), nb::arg("first"), nb::arg("width"), nb::arg("weight_sum"),
          nb::arg("effect_sum"), nb::arg("gradient_sum"), nb::arg("factors") = nb::none(),
          nb::arg("factor_col") = nb::none(), nb::arg("log_scale") = nb::none(),
          nb::arg("groups") = nb::none(),
          "Adds one row block's sums W, S, T to the accumulators (in place). Optional: "
          "row factors (rows x m) with each estimate's factor column (-1: none) and its "
          "log-scale flag (0/1); a group code per row in [0, G) with G sets of "
          "accumulators (weight_sum of length G, effect_sum G*estimates, gradient_sum "
          "(G*estimates, k)).");
    m.attr("LINKS") = nb::make_tuple("logit", "probit", "cloglog", "loglog", "cauchit");
    // A hook for the accuracy tests of the link functions: F and f of one
    // link at the points z (the values the pass uses), into the caller's arrays.
    m.def(
        "link_values",
        [](int link, nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> z,
           OutVector cdf, OutVector pdf) {
            if (link < 0 || link > static_cast<int>(tarvex::BinaryLink::Cauchit)) refuse("unknown link");
            if (cdf.shape(0) != z.shape(0) || pdf.shape(0) != z.shape(0))
                refuse("outputs of the wrong length");
            tarvex::link_cdf_pdf(static_cast<tarvex::BinaryLink>(link), z.data(), z.shape(0),
                                 cdf.data(), pdf.data());
        },
        nb::arg("link"), nb::arg("z"), nb::arg("cdf"), nb::arg("pdf"),
        "F(z) into cdf and f(z) into pdf, for one link (test hook).");
    m.def(
        "log_link_values",
        [](int link, nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> z,
           OutVector log_cdf, OutVector ratio, OutVector deriv_ratio) {
            if (link < 0 || link > static_cast<int>(tarvex::BinaryLink::Cauchit)) refuse("unknown link");
            if (log_cdf.shape(0) != z.shape(0) || ratio.shape(0) != z.shape(0) ||
                deriv_ratio.shape(0) != z.shape(0))
                refuse("outputs of the wrong length");
            tarvex::link_log_cdf_ratios(static_cast<tarvex::BinaryLink>(link), z.data(),
                                        z.shape(0), log_cdf.data(), ratio.data(),
                                        deriv_ratio.data());
        },
        nb::arg("link"), nb::arg("z"), nb::arg("log_cdf"), nb::arg("ratio"),
        nb::arg("deriv_ratio"),
        "log F(z), f/F and f'/F into the three arrays, for one link (test hook).");
}
