// Read-only views of float64 NumPy arrays, without copying.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "engine/matrix.hpp"

namespace tarvex {

// Storage for the rare array that cannot be addressed in place (a data
// pointer that is not 8-byte aligned, or byte strides that are not multiples
// of 8): its elements are copied into a dense row-major buffer.
using ViewCopies = std::vector<std::unique_ptr<double[]>>;

// The array test: obj is an ndarray (or subclass) with `ndim` dimensions and
// a float64 (or equivalent) dtype; else TypeError "'T' object cannot be
// converted to 'PyArray<T, D>'". Runs no Python code once NumPy's C API table
// is known (the first test of the process imports NumPy).
void check_array(PyObject* obj, int ndim);
// Whether obj passes the array test (check_array without the error).
bool is_float64_array(PyObject* obj, int ndim);

// The array test, then a view of obj's buffer as it is now. The view borrows
// the buffer: it is valid only while obj is referenced and no Python code has
// run since it was formed (Python code can free or reallocate the buffer of
// any array, through NumPy's public methods).
VectorView vector_view(PyObject* obj, ViewCopies& copies);
MatrixView matrix_view(PyObject* obj, ViewCopies& copies);

}  // namespace tarvex
