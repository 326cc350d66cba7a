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
// buffers of the objects held in `owners`, which stay referenced (and, with
// the interpreter lock held for the whole call, unchanged) until the record
// is destroyed at the end of the call.
struct MfxInputs {
    ModelKind kind = ModelKind::Logit;
    VectorView beta;
    MatrixView sigma;
    MatrixView x;
    std::vector<std::string> names;
    std::uint64_t block_len = 0;
    SeMethod se_method = SeMethod::Rust;

    std::vector<PyRef> owners;
    ViewCopies copies;
};

// Binds (args, nargs, kwnames) of the fast call and reads the model.
MfxInputs bind_mfx_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvex
