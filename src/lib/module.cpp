// The extension module `tarvex`: registration and the `mfx` entry point.
#include <Python.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "engine/delta_method.hpp"
#include "engine/effects.hpp"
#include "engine/inference.hpp"
#include "lib/binding.hpp"
#include "lib/errors.hpp"
#include "lib/names.hpp"
#include "table/result_table.hpp"

namespace tarvex {

namespace {

// The first three lines are CPython's signature header: the interpreter shows
// them as __text_signature__ and the rest as __doc__.
constexpr const char mfx_doc[] =
    "mfx(model, chunk_size=..., se_method=...)\n"
    "--\n"
    "\n"
    "Computes the average marginal effects (AMEs) for Logit/Probit models.\n"
    "\n"
    "This function mimics the style of the original Probit code, but with a twist:  \n"
    "you can choose between two methods for calculating the standard errors (SEs):\n"
    "\n"
    "- \"rust\": Uses the original gradient (Jacobian) calculation based on per-observation "
    "effects.\n"
    "- \"sm\": Uses a statsmodels-style gradient for continuous variables.\n"
    "\n"
    "The function accepts a model (Logit or Probit), an optional chunk size (to process data "
    "in parts),\n"
    "and an optional `se_method` string which defaults to \"rust\".";

// The call's k×k state at its peak: the delta method holds the pass's
// Jacobian sums, J, J·Σ and V. Memory is overcommitted, so an
// allocation the machine cannot hold may still succeed and the process be
// killed once the matrices are filled; a design whose columns need more than
// the machine's physical memory is refused with MemoryError before anything is
// allocated. (A zero-stride view of shape (1, k) costs nothing itself but
// asks for 32·k² bytes.)
constexpr double square_matrices_at_peak = 4.0;
// Below this the check is skipped (no system call on ordinary calls).
constexpr double always_fits_bytes = 1024.0 * 1024.0 * 1024.0;

[[noreturn, gnu::cold, gnu::noinline]] void refuse_square_state(std::size_t k, double needed,
                                                                 double physical) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "mfx: %zu columns need %.0f bytes for their k x k matrices, more than the "
                  "%.0f bytes of physical memory",
                  k, needed, physical);
    throw CallError::own(PyExc_MemoryError, message);
}

void check_square_state_fits(std::size_t k) {
    const double kd = static_cast<double>(k);
    const double needed = square_matrices_at_peak * kd * kd * static_cast<double>(sizeof(double));
    if (needed <= always_fits_bytes) return;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return;  // unknown: let the allocation decide
    const double physical = static_cast<double>(pages) * static_cast<double>(page_size);
    if (needed > physical) refuse_square_state(k, needed, physical);
}

// Every size the numeric steps rely on, checked before anything of those
// sizes is allocated, with the panic each step would raise, in the order the
// steps would meet them: names past the last column that are not intercepts
// (the column classification), a β whose length is not k (the pass, which
// needs a row to multiply), a Σ that is not k×k (the delta method), a
// non-intercept column without a name (the table's rows).
void check_sizes_fit(const MfxInputs& in, const std::vector<char>& name_is_intercept) {
    const std::size_t k = in.x.cols;
    const std::size_t names = in.names.size();
    for (std::size_t p = k; p < names; ++p)
        if (!name_is_intercept[p]) panic("assertion failed: index < dim");
    if (in.x.rows > 0 && in.beta.len != k) {
        const std::uint64_t first_block = std::min<std::uint64_t>(in.block_len, in.x.rows);
        panic_shape_mismatch(static_cast<std::size_t>(first_block), k, in.beta.len, 1);
    }
    if (in.sigma.rows != k) panic_shape_mismatch(k, k, in.sigma.rows, in.sigma.cols);
    if (in.sigma.cols != k) panic_shape_mismatch(k, in.sigma.cols, k, k);
    if (names < k) panic_index_out_of_bounds(names, names);
}

// Between tiles of the pass: stops it when SIGINT has arrived. Only the flag
// is read here, no Python code runs, so the views stay valid; the handler
// runs once the pass has been abandoned (resume_after_interrupt).
void stop_on_interrupt() {
    if (PyOS_InterruptOccurred()) {
        PyErr_SetInterrupt();  // trips SIGINT again for PyErr_CheckSignals
        throw PassInterrupted{};
    }
}

// Runs the signal handlers: the default one raises KeyboardInterrupt, which
// ends the call. A handler that returns lets the call go on, from the start,
// with views of the arrays as the handler left them.
void resume_after_interrupt(MfxInputs& in) {
    if (PyErr_CheckSignals() == -1) throw_fetched();
    form_views(in);
}

PyRef effects_table(const MfxInputs& in, const std::vector<std::size_t>& intercept_idx,
                    const std::vector<char>& name_is_intercept) {
    check_sizes_fit(in, name_is_intercept);
    const std::size_t k = in.x.cols;
    // Every column an intercept (or none at all): nothing to compute, and X,
    // however long, is not read.
    const std::size_t intercept_columns = static_cast<std::size_t>(
        std::lower_bound(intercept_idx.begin(), intercept_idx.end(), k) - intercept_idx.begin());
    if (intercept_columns == k) return build_result_table(EffectRows{});

    check_square_state_fits(k);
    std::vector<std::size_t> column_intercepts(intercept_idx.begin(),
                                               intercept_idx.begin() + intercept_columns);
    const MarginalEffects effects =
        average_marginal_effects(in.kind, in.beta, in.x, in.offset, column_intercepts,
                                 in.block_len, in.se_method, stop_on_interrupt);
    const Vector se = delta_method_se(effects.jac_sum, effects.n, k, in.sigma);
    const EffectRows rows = build_effect_rows(k, effects.ame, se, column_intercepts, in.names);
    return build_result_table(rows);
}

PyRef mfx_impl(MfxInputs in) {
    const std::vector<std::size_t> intercept_idx = find_intercepts(in.names);
    std::vector<char> name_is_intercept(in.names.size(), 0);
    for (std::size_t p : intercept_idx) name_is_intercept[p] = 1;
    for (;;) {
        try {
            return effects_table(in, intercept_idx, name_is_intercept);
        } catch (const PassInterrupted&) {
            resume_after_interrupt(in);
        }
    }
}

PyObject* mfx_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return run_at_boundary([&] { return mfx_impl(bind_mfx_call(args, nargs, kwnames)); });
}

PyMethodDef mfx_def = {
    "mfx",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mfx_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    mfx_doc,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvex",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set by the first initialisation in the process, successful or not.
std::atomic<bool> initialized{false};

// Adds `mfx` to the module and its name to __all__.
void module_body(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_fetched();
    PyRef name_text = created(PyUnicode_FromString(module_name));
    PyRef function = require(PyCMethod_New(&mfx_def, module, name_text.get(), nullptr));
    PyRef function_name = require(PyObject_GetAttrString(function.get(), "__name__"));

    PyRef all_list;
    if (PyObject* existing = PyObject_GetAttrString(module, "__all__")) {
        all_list = PyRef::steal(existing);
        if (!PyList_Check(all_list.get()))
            throw_type_error(conversion_error_message(all_list.get(), "PyList"));
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all_list = created(PyList_New(0));
        require_ok(PyObject_SetAttrString(module, "__all__", all_list.get()));
    }
    if (PyList_Append(all_list.get(), function_name.get()) == -1) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    require_ok(PyObject_SetAttr(module, function_name.get(), function.get()));
}

PyObject* init_module() noexcept {
    return run_at_boundary([] {
        PyRef module = require(PyModule_Create2(&module_def, 1013));
        if (initialized.exchange(true))
            throw CallError::own(PyExc_ImportError,
                                 "tarvex may only be initialized once per interpreter process");
        module_body(module.get());
        return module;
    });
}

}  // namespace

}  // namespace tarvex

PyMODINIT_FUNC PyInit_tarvex(void) {
    return tarvex::init_module();
}
