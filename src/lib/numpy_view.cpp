// NumPy's C API table, the array test and the in-place views.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarvex_numpy_api
#define NO_IMPORT_ARRAY
#include "lib/numpy_view.hpp"

#include <numpy/arrayobject.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "lib/errors.hpp"

// NumPy's API table, looked up at the first array test of the process and
// kept for its life (the table lives as long as NumPy, which is never unloaded).
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace tarvex {

namespace {

// True when `table` is the C API table of the NumPy that is loaded: it lies in
// NumPy's own extension library (_multiarray_umath), as does the function in
// its first slot, and that function reports a C ABI this build can use. A
// capsule of another module put in NumPy's place (a mocked or poisoned
// sys.modules entry) would otherwise send every NumPy call to arbitrary code.
bool is_numpy_api_table(void** table) {
    Dl_info table_home{};
    if (dladdr(table, &table_home) == 0 || table_home.dli_fname == nullptr) return false;
    if (std::strstr(table_home.dli_fname, "_multiarray_umath") == nullptr) return false;
    // The table lies inside that library's mapped data, so its first slot
    // can be read; it must point into the same library.
    Dl_info function_home{};
    if (dladdr(table[0], &function_home) == 0 || function_home.dli_fbase != table_home.dli_fbase)
        return false;
    using VersionFunction = unsigned int (*)();
    const unsigned int abi = reinterpret_cast<VersionFunction>(table[0])();
    // NumPy 1.x tables have ABI 0x01000009, NumPy 2.x 0x02000000; the
    // feature version (slot 211) tells how many slots the table has, and the
    // build needs those of NPY_FEATURE_VERSION.
    if (abi != 0x01000009u && abi != 0x02000000u) return false;
    const unsigned int features = reinterpret_cast<VersionFunction>(table[211])();
    return features >= NPY_FEATURE_VERSION;
}

void ensure_numpy_api() {
    if (PyArray_API != nullptr) return;
    PyObject* multiarray = PyImport_ImportModule("numpy.core.multiarray");  // kept for life
    if (multiarray == nullptr) {
        PyErr_Clear();
        panic("Failed to import NumPy module");
    }
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");  // kept for life
    if (capsule == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (table == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    if (!is_numpy_api_table(static_cast<void**>(table)))
        throw CallError::own(PyExc_ImportError,
                             "numpy.core.multiarray._ARRAY_API is not the C API table of "
                             "the NumPy that is loaded");
    PyArray_API = static_cast<void**>(table);
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

bool is_float64(PyArrayObject* array) {
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (float64 == nullptr) object_creation_failed();
    PyArray_Descr* descr = PyArray_DESCR(array);
    const bool same = descr == float64 || PyArray_EquivTypes(descr, float64);
    Py_DECREF(float64);
    return same;
}

PyArrayObject* checked_array(PyObject* obj, int ndim) {
    check_array(obj, ndim);
    return reinterpret_cast<PyArrayObject*>(obj);
}

// A view reads element (i, j) at data + i·s0 + j·s1 bytes with the array's
// own byte strides; as a view of doubles that needs 8-aligned data and byte
// strides that are multiples of 8. Arrays that miss this (possible only for
// unusual views, e.g. a field of a packed record array) are copied densely,
// element by element with memcpy, so nothing is ever read misaligned.
bool addressable_as_doubles(PyArrayObject* array) {
    if (reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)) % alignof(double) != 0) return false;
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis)
        if (PyArray_STRIDE(array, axis) % static_cast<npy_intp>(sizeof(double)) != 0) return false;
    return true;
}

double read_double(const char* at) {
    double v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

}  // namespace

bool is_float64_array(PyObject* obj, int ndim) {
    ensure_numpy_api();
    return PyType_IsSubtype(Py_TYPE(obj), &PyArray_Type) &&
           PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim &&
           is_float64(reinterpret_cast<PyArrayObject*>(obj));
}

void check_array(PyObject* obj, int ndim) {
    if (!is_float64_array(obj, ndim))
        throw_type_error(conversion_error_message(obj, "PyArray<T, D>"));
}

namespace {

// The copy keeps a stride of 0 where the array has one: only the distinct
// elements are copied, so a broadcast view stays as cheap as it is in NumPy
// (a misaligned one-element array broadcast to k × k copies one double).
double* copy_buffer(ViewCopies& copies, std::size_t elements) {
    std::unique_ptr<double[]> buffer(new double[elements]);
    copies.push_back(std::move(buffer));  // (buffer is freed if this throws)
    return copies.back().get();
}

}  // namespace

VectorView vector_view(PyObject* obj, ViewCopies& copies) {
    PyArrayObject* array = checked_array(obj, 1);
    const auto len = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp stride = PyArray_STRIDE(array, 0);
    if (addressable_as_doubles(array))
        return {reinterpret_cast<const double*>(data), len,
                static_cast<std::ptrdiff_t>(stride / static_cast<npy_intp>(sizeof(double)))};
    const std::size_t distinct = stride == 0 ? std::min<std::size_t>(len, 1) : len;
    double* copy = copy_buffer(copies, distinct);
    for (std::size_t i = 0; i < distinct; ++i)
        copy[i] = read_double(data + static_cast<npy_intp>(i) * stride);
    return {copy, len, stride == 0 ? 0 : 1};
}

MatrixView matrix_view(PyObject* obj, ViewCopies& copies) {
    PyArrayObject* array = checked_array(obj, 2);
    const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp s0 = PyArray_STRIDE(array, 0);
    const npy_intp s1 = PyArray_STRIDE(array, 1);
    if (addressable_as_doubles(array)) {
        constexpr auto size = static_cast<npy_intp>(sizeof(double));
        return {reinterpret_cast<const double*>(data), rows, cols,
                static_cast<std::ptrdiff_t>(s0 / size), static_cast<std::ptrdiff_t>(s1 / size)};
    }
    const std::size_t distinct_rows = s0 == 0 ? std::min<std::size_t>(rows, 1) : rows;
    const std::size_t distinct_cols = s1 == 0 ? std::min<std::size_t>(cols, 1) : cols;
    double* copy = copy_buffer(copies, checked_product(distinct_rows, distinct_cols));
    for (std::size_t i = 0; i < distinct_rows; ++i)
        for (std::size_t j = 0; j < distinct_cols; ++j)
            copy[i * distinct_cols + j] = read_double(data + static_cast<npy_intp>(i) * s0 +
                                                      static_cast<npy_intp>(j) * s1);
    return {copy, rows, cols, s0 == 0 ? 0 : static_cast<std::ptrdiff_t>(distinct_cols),
            s1 == 0 ? 0 : 1};
}

}  // namespace tarvex
