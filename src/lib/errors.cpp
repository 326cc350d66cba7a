// Failure values, the PanicException class and the conversion of every
// failure into the one Python exception of a call.
#include "lib/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace tarvex {

namespace {

PyObject* panic_class = nullptr;  // created once per process, never released

constexpr const char panic_class_doc[] =
    "The exception raised when tarvex's native code panics (a broken internal check).\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.";

// The class, created on first need; NULL with the exception set on failure.
PyObject* panic_exception_class() {
    if (panic_class == nullptr)
        panic_class = PyErr_NewExceptionWithDoc("tarvex_runtime.PanicException", panic_class_doc,
                                                PyExc_BaseException, nullptr);
    return panic_class;
}

PyRef utf8_text(const std::string& text) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_panic(const std::string& message) noexcept {
    PyObject* cls = panic_exception_class();
    if (cls == nullptr) return;  // the failure to create it is the exception
    PyRef text = utf8_text(message);
    if (!text) return;
    PyErr_SetObject(cls, text.get());
}

void report_panic(const char* file, unsigned line, const std::string& message) {
    std::fprintf(stderr, "tarvex: native code panicked at %s:%u:\n%s\n", file, line,
                 message.c_str());
    std::fflush(stderr);
}

}  // namespace

CallError CallError::fetched(PyRef type, PyRef value, PyRef traceback) {
    auto payload = std::make_shared<Payload>();
    payload->type = std::move(type);
    payload->value = std::move(value);
    payload->traceback = std::move(traceback);
    return CallError(std::move(payload));
}

CallError CallError::own(PyObject* exc_class, std::string message) {
    auto payload = std::make_shared<Payload>();
    payload->own_class = exc_class;
    payload->message = std::move(message);
    return CallError(std::move(payload));
}

void CallError::restore() const noexcept {
    Payload& p = *payload_;
    if (p.own_class == nullptr) {
        // Each CallError is restored at most once: the wrapper catches it once.
        PyErr_Restore(p.type.release(), p.value.release(), p.traceback.release());
        return;
    }
    PyRef text = utf8_text(p.message);
    if (!text) return;
    PyErr_SetObject(p.own_class, text.get());
}

CallError fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr)
        return CallError::own(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (panic_class != nullptr && PyErr_GivenExceptionMatches(type, panic_class)) {
        // A panic of this module came back through Python code: resume it, so
        // the outer call ends with a panic too.
        std::string message = "Unwrapped panic from Python code";
        if (value != nullptr && PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(value, &size))
                message.assign(text, static_cast<std::size_t>(size));
            else
                PyErr_Clear();
        }
        std::fputs(
            "--- tarvex is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n",
            stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        panic(std::move(message));
    }
    return CallError::fetched(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

void throw_fetched() { throw fetch_error(); }

void object_creation_failed() {
    if (PyErr_Occurred()) PyErr_Print();
    panic("Python API call failed");
}

void throw_type_error(std::string message) {
    throw CallError::own(PyExc_TypeError, std::move(message));
}

std::string conversion_error_message(PyObject* obj, const char* target) {
    std::string type_name = "<failed to extract type name>";
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    Py_ssize_t size = 0;
    const char* text = qualname && PyUnicode_Check(qualname.get())
                           ? PyUnicode_AsUTF8AndSize(qualname.get(), &size)
                           : nullptr;
    if (text != nullptr)
        type_name.assign(text, static_cast<std::size_t>(size));
    else
        PyErr_Clear();
    return "'" + type_name + "' object cannot be converted to '" + target + "'";
}

PyObject* raise_current_failure() noexcept {
    try {
        try {
            throw;
        } catch (const CallError& error) {
            error.restore();
        } catch (const Panic& p) {
            report_panic(p.where().file_name(), static_cast<unsigned>(p.where().line()),
                         p.message());
            raise_panic(p.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            report_panic("<C++ library>", 0, e.what());
            raise_panic(e.what());
        } catch (...) {
            const std::string message = "panic in tarvex's native code";
            report_panic("<unknown>", 0, message);
            raise_panic(message);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
    return nullptr;
}

}  // namespace tarvex
