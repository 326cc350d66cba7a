// Binding of mfx's arguments and reading of the fitted model.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/effects.hpp"
#include "lib/numpy_view.hpp"
#include "lib/pyref.hpp"

namespace tarvex {

// Everything one call reads, bound to typed values. The views borrow the
// buffers of the arrays below, which `owners` keeps referenced until the
// record is destroyed at the end of the call. Python code can free or move
// an array's buffer (NumPy's resize and __setstate__ do), so the views are
// formed only after the last Python code of the reading has run, and formed
// again if any runs later in the call (a signal handler).
struct MfxInputs {
    ModelKind kind = ModelKind::Logit;
    VectorView beta;
    MatrixView sigma;
    MatrixView x;
    VectorView offset;  // one o_i per row of X, or len 0: the model has no offset
    std::vector<std::string> names;
    std::uint64_t block_len = 0;
    bool block_len_given = false;
    SeMethod se_method = SeMethod::Rust;

    // The arrays behind beta, sigma and x (borrowed from owners).
    PyObject* beta_array = nullptr;
    PyObject* sigma_array = nullptr;
    PyObject* x_array = nullptr;
    PyObject* offset_array = nullptr;  // null: no offset
    std::vector<PyRef> owners;
    ViewCopies copies;
};

// Binds (args, nargs, kwnames) of the fast call, reads the model and forms
// the views.
MfxInputs bind_mfx_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// (Re)forms the views of β, Σ, X and the offset from their arrays as they are
// now, with the array test first (and the offset's length against X's rows),
// and the block length that follows from X when none was given. Runs no
// Python code.
void form_views(MfxInputs& in);

}  // namespace tarvex
