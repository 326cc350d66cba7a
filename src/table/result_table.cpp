// Assembly of the result table through pandas' public constructor.
#include "table/result_table.hpp"

#include <string_view>

#include "lib/errors.hpp"

namespace tarvex {

namespace {

PyRef text(std::string_view s) {
    return created(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef float_list(const std::vector<double>& values) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        created(PyFloat_FromDouble(values[i])).release());
    return list;
}

template <class Text>
PyRef text_list(const std::vector<Text>& values) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text(values[i]).release());
    return list;
}

void set_item(PyObject* dict, std::string_view key, const PyRef& value) {
    PyRef key_text = text(key);
    require_ok(PyDict_SetItem(dict, key_text.get(), value.get()));
}

}  // namespace

PyRef build_result_table(const EffectRows& rows) {
    PyRef pandas_name = text("pandas");
    PyRef pandas = require(PyImport_Import(pandas_name.get()));

    // Insertion order is the column order of the table.
    PyRef data = created(PyDict_New());
    set_item(data.get(), "dy/dx", float_list(rows.dydx));
    set_item(data.get(), "Std. Err", float_list(rows.std_err));
    set_item(data.get(), "z", float_list(rows.z));
    set_item(data.get(), "Pr(>|z|)", float_list(rows.p_value));
    set_item(data.get(), "Conf. Int. Low", float_list(rows.conf_low));
    set_item(data.get(), "Conf. Int. Hi", float_list(rows.conf_high));
    set_item(data.get(), "Significance", text_list(rows.significance));

    PyRef kwargs = created(PyDict_New());
    set_item(kwargs.get(), "data", data);
    set_item(kwargs.get(), "index", text_list(rows.names));

    PyRef data_frame = require(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    PyRef no_args = created(PyTuple_New(0));
    return require(PyObject_Call(data_frame.get(), no_args.get(), kwargs.get()));
}

}  // namespace tarvex
