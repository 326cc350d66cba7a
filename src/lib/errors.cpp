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

// Writes the pending exception and its traceback to standard error and
// clears it. Unlike PyErr_Print it never ends the process: a SystemExit (or a
// class derived from it) is printed like any other exception.
void print_pending_exception() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    PyErr_Display(type, value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();  // a failure of the display itself
}

// The message a panic exception carries: its value when that is a str, or
// the one str argument the instance was made with (the value is an instance
// once the exception has passed through Python frames, and always from
// Python 3.12 on); else a fixed text.
std::string panic_message_of(PyObject* value) {
    PyObject* text = value;
    if (value != nullptr && !PyUnicode_Check(value) && PyExceptionInstance_Check(value)) {
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
        text = args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1
                   ? PyTuple_GET_ITEM(args, 0)
                   : nullptr;
    }
    if (text != nullptr && PyUnicode_Check(text)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size))
            return std::string(utf8, static_cast<std::size_t>(size));
        // Not encodable (a lone surrogate): keep what can be said.
        PyErr_Clear();
        PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
        if (escaped)
            return std::string(PyBytes_AS_STRING(escaped.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
        PyErr_Clear();
    }
    return "Unwrapped panic from Python code";
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
        PyErr_NormalizeException(&type, &value, &traceback);
        std::string message = panic_message_of(value);
        std::fputs(
            "--- tarvex is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n",
            stderr);
        PyErr_Restore(type, value, traceback);
        print_pending_exception();
        panic(std::move(message));
    }
    return CallError::fetched(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

void throw_fetched() { throw fetch_error(); }

void object_creation_failed() {
    print_pending_exception();
    panic("Python API call failed");
}

void discard_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Clear();
    else
        throw_fetched();
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
