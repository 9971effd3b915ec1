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

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace py = pybind11;

// The text argument of decode and valid: the UTF-8 form of a str (CPython keeps it inside the
// str, so ASCII text is not copied), or the bytes of a bytes or bytearray, viewed in place.
struct TextView {
    std::string_view bytes;
};

namespace pybind11::detail {
// Accepts what pybind11's own std::string_view caster accepts, but registers no keep-alive for
// the argument: the caller holds it for the whole call, and the registration costs a hash-set
// allocation per call.
template <> struct type_caster<TextView> {
    PYBIND11_TYPE_CASTER(TextView, const_name("str"));

    bool load(handle source, bool /*convert*/) {
        PyObject *object = source.ptr();
        const char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyUnicode_Check(object)) {
            data = PyUnicode_AsUTF8AndSize(object, &size);
            if (data == nullptr) {
                PyErr_Clear(); // no UTF-8 form (a lone surrogate): not a match
                return false;
            }
        } else if (PyBytes_Check(object)) {
            data = PyBytes_AS_STRING(object);
            size = PyBytes_GET_SIZE(object);
        } else if (PyByteArray_Check(object)) {
            data = PyByteArray_AS_STRING(object);
            size = PyByteArray_GET_SIZE(object);
        } else {
            return false;
        }
        value.bytes = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }
};
} // namespace pybind11::detail

namespace {

py::object steal_or_throw(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

// Interned names that every call needs; only the strings are kept, never the module dill.
struct Names {
    py::object dill, dumps, loads, builtins, import;
};

const Names &names() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Names> storage;
    return storage
        .call_once_and_store_result([] {
            auto intern = [](const char *text) {
                return steal_or_throw(PyUnicode_InternFromString(text));
            };
            return Names{intern("dill"), intern("dumps"), intern("loads"), intern("__builtins__"),
                         intern("__import__")};
        })
        .get_stored();
}

// Large results are written once into fresh memory, where the kernel would otherwise wait on a
// page fault every 4 KiB. Transparent huge pages, where the system offers them on request, cut
// that to one fault per 2 MiB. Only whole 2 MiB ranges inside the buffer are advised, and the
// advice is a hint: when it is refused nothing changes.
void prefer_huge_pages(void *buffer, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (size < 16 * kHugePage) {
        return;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
    madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}

// What PyImport_Import(name) does, without the argument tuple it builds and parses at each call:
// call __import__ from the caller's builtins (so a replaced builtins.__import__ sees every
// import) for an absolute import, then take the module that sys.modules holds under the name.
py::object import_module(py::handle name) {
    PyObject *globals = PyEval_GetGlobals();
    if (globals == nullptr) {
        return steal_or_throw(PyImport_Import(name.ptr()));
    }
    const py::object builtins = steal_or_throw(PyObject_GetItem(globals, names().builtins.ptr()));
    py::object import;
    if (PyDict_Check(builtins.ptr())) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(builtins.ptr(), names().import.ptr(), &found) == 0) {
            PyErr_SetObject(PyExc_KeyError, names().import.ptr());
        }
        import = steal_or_throw(found);
    } else {
        import = steal_or_throw(PyObject_GetAttr(builtins.ptr(), names().import.ptr()));
    }
    const py::object from_list = steal_or_throw(PyList_New(0));
    const py::object level = steal_or_throw(PyLong_FromLong(0));
    PyObject *args[] = {name.ptr(), globals, globals, from_list.ptr(), level.ptr()};
    steal_or_throw(PyObject_Vectorcall(import.ptr(), args, 5, nullptr));

    PyObject *module = nullptr;
    if (PyMapping_GetOptionalItem(PyImport_GetModuleDict(), name.ptr(), &module) == 0) {
        PyErr_SetObject(PyExc_KeyError, name.ptr());
    }
    return steal_or_throw(module);
}

// dill.<name>, with dill imported afresh.
py::object dill_function(py::handle name) {
    return import_module(names().dill).attr(name);
}

py::object call_with(const py::object &function, py::handle argument) {
    return steal_or_throw(PyObject_CallOneArg(function.ptr(), argument.ptr()));
}

py::str encode(const py::object &value) {
    const py::object pickle = call_with(dill_function(names().dumps), value);
    if (!PyBytes_Check(pickle.ptr())) {
        throw py::type_error(std::string("Object of type '") + Py_TYPE(pickle.ptr())->tp_name +
                             "' is not an instance of 'bytes'");
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(pickle.ptr());
    if (size > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    // A compact ASCII str owns its characters inline: the digits go straight into it.
    const py::object text = steal_or_throw(PyUnicode_New(2 * size, 127));
    auto *digits = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text.ptr()));
    prefer_huge_pages(digits, 2 * static_cast<std::size_t>(size));
    hexkernels::encode(reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(pickle.ptr())),
                       static_cast<std::size_t>(size), digits);
    return py::reinterpret_borrow<py::str>(text);
}

py::object decode(TextView text) {
    const std::string_view value = text.bytes;
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
    auto *pickled = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pickle.ptr()));
    prefer_huge_pages(pickled, value.size() / 2);
    hexkernels::decode(value.data(), value.size(), pickled);
    return call_with(dill_function(names().loads), pickle);
}

bool valid(TextView text) {
    const std::string_view string = text.bytes;
    return !string.empty() && string.size() % 2 == 0 &&
           hexkernels::all_hex_digits(string.data(), string.size());
}

} // namespace

PYBIND11_MODULE(hex, m) {
    m.def("encode", &encode, py::arg("value"), "Convert any pickleable object into a string");
    m.def("decode", &decode, py::arg("value"),
          "Convert hexadecimal string back into original value");
    m.def("valid", &valid, py::arg("string"),
          "Check if string is a valid hexadecimal dump layout");

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
