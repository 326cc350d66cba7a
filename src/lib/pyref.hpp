// Owning handle for Python references.
//
// Rules for every piece of code in this module that touches Python objects:
//  1. A C-API call that returns a new reference is wrapped at once, on the
//     line of the call: PyRef::steal(p) (through require()/created() when the
//     call can fail, see errors.hpp).
//  2. A borrowed reference that must stay valid after its source is gone is
//     taken with PyRef::borrow(p), which adds a reference.
//  3. A raw PyObject* is always borrowed: never released, never stored past
//     the lifetime of the PyRef or argument it came from.
//  4. PyRef is move-only; a moved-from handle is empty. get() lends the
//     pointer, release() hands the reference out (to a stealing API or to the
//     caller) and empties the handle.
//  5. Handles are destroyed with the interpreter lock held, which every entry
//     point of the module holds for its whole duration.
#pragma once

#include <Python.h>

#include <utility>

namespace tarvex {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace tarvex
