// Argument binding of the entry points and the messages of a refused argument.
#include "module/binding.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "module/errors.hpp"

namespace rust::binding {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    errors::set_error(PyExc_TypeError, message);
    throw py::ErrorAlreadySet{};
}

std::string call_name(const Signature& sig) { return std::string(sig.name) + "()"; }

std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out.append(1, '\'').append(name).append(1, '\'');
    return out;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': a comma after every name but the last
// once there are three or more, " and " before the last.
std::string name_list(const std::string* names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            out += n > 2 ? ", " : " ";
            if (i == n - 1) {
                out += "and ";
            }
        }
        out += quoted(names[i]);
    }
    return out;
}

[[noreturn]] void raise_too_many(const Signature& sig, Py_ssize_t given) {
    std::string takes = sig.required == sig.count
                            ? std::to_string(sig.count)
                            : "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    raise_type_error(call_name(sig) + " takes " + takes + " positional argument" +
                     (sig.count == 1 ? "" : "s") + " but " + std::to_string(given) +
                     (given == 1 ? " was" : " were") + " given");
}

// "forward_int() got an unexpected keyword argument 'name'", built as text so
// that any name can be shown.
[[noreturn]] void raise_keyword_error(const Signature& sig, const char* what, PyObject* key) {
    py::Ref message = py::check(PyUnicode_FromFormat("%s() %s '%U'", sig.name, what, key));
    errors::set_error(PyExc_TypeError, message.get());
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void raise_missing(const Signature& sig, const Bound& bound) {
    std::string names[max_params];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (bound[i] == nullptr) {
            names[n++] = sig.params[i];
        }
    }
    raise_type_error(call_name(sig) + " missing " + std::to_string(n) + " required positional argument" +
                     (n == 1 ? "" : "s") + ": " + name_list(names, n));
}

std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        throw py::ErrorAlreadySet{};
    }
    return {data, static_cast<std::size_t>(size)};
}

std::string type_name(PyObject* obj) {
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                         "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return {data, static_cast<std::size_t>(size)};
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 0 || static_cast<std::size_t>(nargs) > sig.count) {
        raise_too_many(sig, nargs);
    }
    Bound bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = sig.count;
        for (std::size_t i = 0; i < sig.count; ++i) {
            // Compared as text, not encoded: a name that has no UTF-8 form (a
            // lone surrogate) is still just a name that matches no parameter.
            if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == sig.count) {
            raise_keyword_error(sig, "got an unexpected keyword argument", key);
        }
        if (bound[slot] != nullptr) {
            raise_keyword_error(sig, "got multiple values for argument", key);
        }
        bound[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(sig, bound);
        }
    }
    return bound;
}

void raise_conversion_error(const char* param, PyObject* obj, const char* target) {
    raise_type_error("argument " + quoted(param) + ": " + quoted(type_name(obj)) +
                     " object cannot be converted to " + quoted(target));
}

}  // namespace rust::binding

namespace rust::binding {

Method parse_method(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return Method::Exact;
    }
    if (!PyUnicode_Check(obj)) {
        raise_conversion_error("method", obj, "PyString");
    }
    const std::string_view name = utf8(obj);
    if (name == "nearest") {
        return Method::Nearest;
    }
    if (name == "ffill") {
        return Method::Ffill;
    }
    if (name == "bfill") {
        return Method::Bfill;
    }
    errors::set_error(PyExc_ValueError, "method must be either None, 'nearest', 'ffill' or 'bfill'");
    throw py::ErrorAlreadySet{};
}

}  // namespace rust::binding
