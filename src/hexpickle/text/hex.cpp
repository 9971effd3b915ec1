// hexpickle.text.hex: any object that dill can pickle, as lower-case hex text, and back.
//
// Every call runs with the interpreter lock held and keeps all its data in the call: dill is
// imported afresh at each call, so whatever the import machinery hands out for "dill" right
// then is the module used.

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "hex_kernels.h"

namespace py = pybind11;

namespace {

// Interned names that every call needs; only the strings are kept, never the module.
struct Names {
    py::object dill, dumps, loads;
};

const Names &names() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Names> storage;
    return storage
        .call_once_and_store_result([] {
            auto intern = [](const char *text) {
                PyObject *name = PyUnicode_InternFromString(text);
                if (name == nullptr) {
                    throw py::error_already_set();
                }
                return py::reinterpret_steal<py::object>(name);
            };
            return Names{intern("dill"), intern("dumps"), intern("loads")};
        })
        .get_stored();
}

// dill.<name>, importing dill through builtins.__import__ as a Python import statement would.
py::object dill_function(py::handle name) {
    auto dill = py::reinterpret_steal<py::object>(PyImport_Import(names().dill.ptr()));
    if (!dill) {
        throw py::error_already_set();
    }
    return dill.attr(name);
}

py::object call_with(const py::object &function, py::handle argument) {
    auto result = py::reinterpret_steal<py::object>(
        PyObject_CallOneArg(function.ptr(), argument.ptr()));
    if (!result) {
        throw py::error_already_set();
    }
    return result;
}

py::str encode(const py::object &value) {
    const py::object pickle = call_with(dill_function(names().dumps), value);
    if (!PyBytes_Check(pickle.ptr())) {
        throw py::type_error(std::string("Object of type '") + Py_TYPE(pickle.ptr())->tp_name
                             + "' is not an instance of 'bytes'");
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(pickle.ptr());
    if (size > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    // A compact ASCII str owns its characters inline: the digits go straight into it.
    auto text = py::reinterpret_steal<py::str>(PyUnicode_New(2 * size, 127));
    if (!text) {
        throw py::error_already_set();
    }
    hexkernels::encode(reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(pickle.ptr())),
                       static_cast<std::size_t>(size),
                       reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

// value views the UTF-8 form of a str, or the buffer of a bytes or bytearray, in place.
py::object decode(std::string_view value) {
    if (value.size() % 2 != 0) {
        throw std::invalid_argument("Hex string must have an even length");
    }
    // The whole text is checked before any Python object exists or any Python code runs.
    if (!hexkernels::all_hex_digits(value.data(), value.size())) {
        throw std::invalid_argument("String contains invalid hexadecimal characters");
    }
    const auto size = static_cast<Py_ssize_t>(value.size() / 2);
    auto pickle = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
    if (!pickle) {
        py::pybind11_fail("Could not allocate bytes object!");
    }
    hexkernels::decode(value.data(), value.size(),
                       reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pickle.ptr())));
    return call_with(dill_function(names().loads), pickle);
}

bool valid(std::string_view string) {
    return !string.empty() && string.size() % 2 == 0
           && hexkernels::all_hex_digits(string.data(), string.size());
}

} // namespace

PYBIND11_MODULE(hex, m) {
    m.def("encode", &encode, py::arg("value"), "Convert any pickleable object into a string");
    m.def("decode", &decode, py::arg("value"),
          "Convert hexadecimal string back into original value");
    m.def("valid", &valid, py::arg("string"), "Check if string is a valid hexadecimal dump layout");

    // One except clause around decode catches its own ValueError and what unpickling raises.
    const py::object unpickling_error = py::module_::import("pickle").attr("UnpicklingError");
    py::tuple pickle_errors(7);
    pickle_errors[0] = py::handle(PyExc_ValueError);
    pickle_errors[1] = py::handle(PyExc_TypeError);
    pickle_errors[2] = py::handle(PyExc_AttributeError);
    pickle_errors[3] = py::handle(PyExc_EOFError);
    pickle_errors[4] = py::handle(PyExc_IndexError);
    pickle_errors[5] = py::handle(PyExc_KeyError);
    pickle_errors[6] = unpickling_error;
    m.attr("PickleErrors") = pickle_errors;
}
