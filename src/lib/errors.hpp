// The error boundary between the module and the interpreter.
//
// A call leaves the module in exactly one of two ways: a new reference with no
// exception set, or NULL with exactly one exception set. Inside, a failure
// travels to the entry wrapper in one of two forms:
//  - CallError: a Python exception, either fetched from the interpreter right
//    after a C-API call reported failure (held as fetched, type/value/traceback)
//    or made by the module itself (class + message, instantiated by the
//    interpreter at the boundary). Thrown, caught only by the wrapper.
//  - Panic (engine/panic.hpp): a broken internal check; becomes the
//    PanicException, a BaseException subclass.
// std::bad_alloc becomes MemoryError. Nothing else crosses the wrapper: any
// other C++ exception is reported as a panic.
//
// At a call site every C-API failure is turned into one of these in one line:
//   require(p)        new reference or throw the fetched error
//   require_ok(rc)    rc == -1 → throw the fetched error
//   created(p)        object creation: NULL → print the pending error, panic
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "engine/panic.hpp"
#include "lib/pyref.hpp"

namespace tarvex {

class CallError {
public:
    // The pending exception, taken out of the interpreter exactly as it is.
    static CallError fetched(PyRef type, PyRef value, PyRef traceback);
    // An exception the module makes: exc_class(message). exc_class is a
    // built-in or process-lived class (borrowed).
    static CallError own(PyObject* exc_class, std::string message);

    // Hands the exception to the interpreter (PyErr_Restore / PyErr_SetObject).
    void restore() const noexcept;

private:
    struct Payload {
        PyRef type, value, traceback;  // fetched
        PyObject* own_class = nullptr;  // own
        std::string message;
    };
    explicit CallError(std::shared_ptr<Payload> payload) : payload_(std::move(payload)) {}
    // Shared so that the thrown object is copyable; only ever touched under
    // the interpreter lock.
    std::shared_ptr<Payload> payload_;
};

// The pending exception as a CallError; SystemError "attempted to fetch
// exception but none was set" when there is none. A PanicException coming
// back from Python is resumed as a panic instead.
CallError fetch_error();
[[noreturn, gnu::cold]] void throw_fetched();

inline PyRef require(PyObject* p) {
    if (p == nullptr) throw_fetched();
    return PyRef::steal(p);
}
inline void require_ok(int rc) {
    if (rc == -1) throw_fetched();
}
[[noreturn, gnu::cold]] void object_creation_failed();
inline PyRef created(PyObject* p) {
    if (p == nullptr) object_creation_failed();
    return PyRef::steal(p);
}

[[noreturn, gnu::cold]] void throw_type_error(std::string message);

// After a failed lookup whose failure the reading may ignore: clears the
// pending exception if it is an ordinary error (an instance of Exception);
// anything else (KeyboardInterrupt, SystemExit, another BaseException) is
// not the caller's to swallow and is thrown on as fetched.
void discard_ordinary_error();

// Thrown by the check between tiles of the pass when SIGINT has arrived; the
// call abandons the pass and lets the signal's handler run (module.cpp).
struct PassInterrupted {};

// "'<type qualname>' object cannot be converted to '<target>'"
std::string conversion_error_message(PyObject* obj, const char* target);

// Runs the body; converts whatever it throws into the Python exception of the
// call and returns NULL, else returns the body's reference.
PyObject* raise_current_failure() noexcept;

template <class Body>
PyObject* run_at_boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        return raise_current_failure();
    }
}

}  // namespace tarvex
