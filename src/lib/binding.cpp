// mfx(model, chunk_size=None, se_method=None): argument binding, conversion
// and reading of a statsmodels Logit/Probit results object.
#include "lib/binding.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "lib/errors.hpp"
#include "lib/names.hpp"

namespace tarvex {

namespace {

constexpr std::array<const char*, 3> parameter_names = {"model", "chunk_size", "se_method"};

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw_fetched();
    return {data, static_cast<std::size_t>(size)};
}

// A value that must be a str, as an owned UTF-8 copy.
std::string str_value(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_type_error(conversion_error_message(obj, "PyString"));
    return std::string(utf8_of(obj));
}

struct BoundArguments {
    PyObject* model = nullptr;  // borrowed from the call
    PyObject* chunk_size = nullptr;
    PyObject* se_method = nullptr;
};

BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> slots = {nullptr, nullptr, nullptr};
    if (nargs > 3)
        throw_type_error("mfx() takes from 1 to 3 positional arguments but " +
                         std::to_string(nargs) + " were given");
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        // Compared as text, without encoding it: a keyword that is not valid
        // UTF-8 (a lone surrogate) is simply one that matches no parameter.
        std::size_t slot = 0;
        while (slot < parameter_names.size() &&
               PyUnicode_CompareWithASCIIString(name, parameter_names[slot]) != 0)
            ++slot;
        if (slot == parameter_names.size()) {
            PyErr_Format(PyExc_TypeError, "mfx() got an unexpected keyword argument '%U'", name);
            throw_fetched();
        }
        if (slots[slot] != nullptr)
            throw_type_error(std::string("mfx() got multiple values for argument '") +
                             parameter_names[slot] + "'");
        slots[slot] = args[nargs + i];
    }
    if (slots[0] == nullptr)
        throw_type_error("mfx() missing 1 required positional argument: 'model'");
    return {slots[0], slots[1], slots[2]};
}

// A conversion that failed with exactly TypeError is reported as
// TypeError("argument 'NAME': " + str(original)), keeping the original's
// __cause__; any other failure passes unchanged.
[[noreturn]] void throw_argument_error(const char* parameter, CallError error) {
    error.restore();
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        throw_fetched();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef original_type = PyRef::steal(type), original = PyRef::steal(value),
          original_traceback = PyRef::steal(traceback);
    // %S formats str() of the original as text: nothing is encoded, so any
    // message (a lone surrogate included) survives.
    PyRef message = require(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    PyRef replacement = require(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (PyObject* cause = PyException_GetCause(original.get()))  // new reference
        PyException_SetCause(replacement.get(), cause);           // steals it
    PyRef replacement_type = PyRef::borrow(PyExc_TypeError);
    throw CallError::fetched(std::move(replacement_type), std::move(replacement), PyRef());
}

std::uint64_t convert_chunk_size(PyObject* obj) {
    try {
        PyRef index = require(PyNumber_Index(obj));
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched();
        return value;
    } catch (CallError& error) {
        throw_argument_error("chunk_size", std::move(error));
    }
}

SeMethod convert_se_method(PyObject* obj) {
    if (!PyUnicode_Check(obj))
        throw_type_error("argument 'se_method': " + conversion_error_message(obj, "PyString"));
    const std::string_view text = utf8_of(obj);  // encoding errors pass unchanged
    if (text == "rust") return SeMethod::Rust;
    if (text == "sm") return SeMethod::Sm;
    // Any other string would leave the continuous regressors without effects.
    throw CallError::own(PyExc_ValueError,
                         "se_method must be 'rust' or 'sm', got '" + std::string(text) + "'");
}

[[noreturn, gnu::cold, gnu::noinline]] void refuse_offset(PyObject* offset) {
    // An array-like is described by its dtype and shape, anything else by
    // its type.
    PyObject* dtype = PyObject_GetAttrString(offset, "dtype");
    PyObject* shape = dtype != nullptr ? PyObject_GetAttrString(offset, "shape") : nullptr;
    PyRef dtype_ref = PyRef::steal(dtype), shape_ref = PyRef::steal(shape);
    if (shape == nullptr) discard_ordinary_error();
    PyRef got = shape != nullptr
                    ? require(PyUnicode_FromFormat("'%s' of dtype %S and shape %S",
                                                   Py_TYPE(offset)->tp_name, dtype, shape))
                    : require(PyUnicode_FromFormat("'%s' object", Py_TYPE(offset)->tp_name));
    PyErr_Format(PyExc_TypeError,
                 "mfx: the model's offset (model.model.offset) must be None or a "
                 "one-dimensional float64 NumPy array (or pandas Series) with one value per "
                 "row of exog, got %U",
                 got.get());
    throw_fetched();
}

PyRef get_attr(PyObject* obj, const char* name) {
    return require(PyObject_GetAttrString(obj, name));
}

// obj.name when the lookup succeeds, else obj itself when the lookup raised
// an ordinary error; an interrupt or exit request raised by the lookup goes on.
PyRef attr_or_self(PyObject* obj, const char* name) {
    if (PyObject* attr = PyObject_GetAttrString(obj, name)) return PyRef::steal(attr);
    discard_ordinary_error();
    return PyRef::borrow(obj);
}

ModelKind read_model_kind(PyObject* inner, std::vector<PyRef>& owners) {
    PyRef cls = get_attr(inner, "__class__");
    PyRef name = get_attr(cls.get(), "__name__");
    const std::string class_name = str_value(name.get());
    owners.push_back(std::move(cls));
    owners.push_back(std::move(name));
    if (lowercase_equals(class_name, "probit")) return ModelKind::Probit;
    if (lowercase_equals(class_name, "logit")) return ModelKind::Logit;
    throw CallError::own(PyExc_ValueError,
                         "ame: only Logit or Probit supported, got " + class_name);
}

std::vector<std::string> read_names(PyObject* source) {
    const int is_str = PyObject_IsInstance(source, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    require_ok(is_str);
    if (is_str == 1) throw_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(source)) throw_type_error(conversion_error_message(source, "Sequence"));
    Py_ssize_t capacity = PySequence_Size(source);
    if (capacity < 0) {
        discard_ordinary_error();
        capacity = 0;
    }
    // The length is only a hint: a source's __len__ may claim any size up to
    // 2^63 - 1, which must not turn into a huge (or impossible) reservation.
    // Iteration decides how many names there are.
    constexpr Py_ssize_t max_reserved_names = 1 << 16;
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(std::min(capacity, max_reserved_names)));
    PyRef iterator = require(PyObject_GetIter(source));
    while (PyObject* raw_item = PyIter_Next(iterator.get())) {
        PyRef item = PyRef::steal(raw_item);
        names.push_back(str_value(item.get()));
    }
    if (PyErr_Occurred()) throw_fetched();
    return names;
}

// The inner model's offset o_i, one per row (statsmodels keeps the `offset=`
// of the fit there as it was given — a float64 array or Series, say — and has
// no attribute without one): the pass
// evaluates everything at x_i·β + o_i. A model without the attribute, or
// with None, has no offset (null); any other failure of the lookup
// propagates. The offset passes the array test (one-dimensional float64,
// never converted) where it is read; its length is checked against X's rows
// with the views (form_views).
PyObject* read_offset(PyObject* inner, std::vector<PyRef>& owners) {
    PyObject* offset = PyObject_GetAttrString(inner, "offset");
    if (offset == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        return nullptr;
    }
    owners.push_back(PyRef::steal(offset));
    if (offset == Py_None) return nullptr;
    // A pandas Series (what statsmodels keeps for `offset=series`) is read
    // through its `values`, as params is.
    PyRef values = attr_or_self(offset, "values");
    PyObject* array = values.get();
    owners.push_back(std::move(values));
    if (!is_float64_array(array, 1)) refuse_offset(offset);
    return array;
}

}  // namespace

MfxInputs bind_mfx_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArguments bound = bind_arguments(args, nargs, kwnames);

    MfxInputs in;
    in.block_len_given = bound.chunk_size != nullptr && bound.chunk_size != Py_None;
    if (in.block_len_given) {
        in.block_len = convert_chunk_size(bound.chunk_size);
        // A block of no rows would never advance through X.
        if (in.block_len == 0)
            throw CallError::own(PyExc_ValueError, "chunk_size must be at least 1");
    }
    if (bound.se_method != nullptr && bound.se_method != Py_None)
        in.se_method = convert_se_method(bound.se_method);

    PyObject* model = bound.model;
    auto keep = [&in](PyRef ref) -> PyObject* {
        in.owners.push_back(std::move(ref));
        return in.owners.back().get();
    };

    // Each array passes the array test where it is read, so the first bad
    // one is reported in reading order; its view is formed at the end.
    PyObject* inner = keep(attr_or_self(model, "model"));
    in.kind = read_model_kind(inner, in.owners);

    PyObject* params = keep(get_attr(model, "params"));
    in.beta_array = keep(attr_or_self(params, "values"));
    check_array(in.beta_array, 1);

    PyRef cov_params_name = created(PyUnicode_InternFromString("cov_params"));
    // A free slot before `self`, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the
    // callee borrow for a bound-method call.
    PyObject* call_args[] = {nullptr, model};
    PyObject* cov = keep(require(PyObject_VectorcallMethod(
        cov_params_name.get(), call_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    in.sigma_array = keep(attr_or_self(cov, "values"));
    check_array(in.sigma_array, 2);

    inner = keep(attr_or_self(model, "model"));
    PyObject* exog = keep(get_attr(inner, "exog"));
    PyObject* names_source = nullptr;
    if (PyObject* values = PyObject_GetAttrString(exog, "values")) {
        in.x_array = keep(PyRef::steal(values));
        check_array(in.x_array, 2);
        names_source = keep(get_attr(exog, "columns"));
    } else {
        discard_ordinary_error();
        in.x_array = exog;
        check_array(in.x_array, 2);
        names_source = keep(get_attr(inner, "exog_names"));
    }
    in.names = read_names(names_source);
    in.offset_array = read_offset(inner, in.owners);
    // No Python code runs in the call from here until the pass has ended.
    form_views(in);
    return in;
}

void form_views(MfxInputs& in) {
    in.copies.clear();
    in.beta = vector_view(in.beta_array, in.copies);
    in.sigma = matrix_view(in.sigma_array, in.copies);
    in.x = matrix_view(in.x_array, in.copies);
    in.offset = in.offset_array == nullptr ? VectorView{} : vector_view(in.offset_array, in.copies);
    if (in.offset_array != nullptr && in.offset.len != in.x.rows)
        throw CallError::own(PyExc_ValueError,
                             "mfx: the model's offset (model.model.offset) has " +
                                 std::to_string(in.offset.len) + " values, but exog has " +
                                 std::to_string(in.x.rows) + " rows: one value per row is needed");
    // One block of all n rows (with no rows, no block runs).
    if (!in.block_len_given) in.block_len = in.x.rows;
}

}  // namespace tarvex
