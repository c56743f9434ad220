// The four entry points: bind, accept, build the table, walk the queries.
#include "module/entry.hpp"

#include <cstdint>
#include <type_traits>

#include "extended/f80.hpp"
#include "module/arrays.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/numpy.hpp"
#include "piecewise/interp.hpp"
#include "schemes/float.hpp"
#include "schemes/integer.hpp"

namespace rust::entry {

namespace {

using Position = std::uint64_t;

constexpr binding::Signature forward_int_sig{"forward_int", {"x", "xp", "fp"}, 3, 3};
constexpr binding::Signature forward_float_sig{"forward_float", {"x", "xp", "fp"}, 3, 3};
constexpr binding::Signature inverse_int_sig{"inverse_int", {"f", "xp", "fp", "method"}, 4, 3};
constexpr binding::Signature inverse_float_sig{"inverse_float", {"f", "xp", "fp", "method"}, 4, 3};

struct NoScope {};

// Float tables compute on the x87 unit (with that engine), whose control word
// the caller may have changed: it is set for the call and restored after.
template <class F>
using ArithmeticScope = std::conditional_t<std::is_floating_point_v<F>, FpuScope, NoScope>;

template <class F>
PyObject* forward(const binding::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    return errors::guarded([&]() -> PyObject* {
        const binding::Bound bound = binding::bind(sig, args, nargs, kwnames);
        np::load_api();
        const auto x = arrays::accept<Position>(bound[0], "x");
        const auto xp = arrays::accept<Position>(bound[1], "xp");
        const auto fp = arrays::accept<F>(bound[2], "fp");
        const Interp<Position, F> table(xp.sequence(), fp.sequence());
        arrays::OutputBuffer out(x.size());
        std::optional<InterpError> failure;
        {
            [[maybe_unused]] const ArithmeticScope<F> scope;
            failure = x.visit([&](auto read) { return table.forward_into(x.size(), read, out.as<F>()); });
        }
        if (failure) {
            errors::set_interp_error(errors::Direction::Forward, *failure);
            return nullptr;
        }
        return arrays::adopt_as_array(out, arrays::type_number<F>()).release();
    });
}

template <class F>
PyObject* inverse(const binding::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    return errors::guarded([&]() -> PyObject* {
        const binding::Bound bound = binding::bind(sig, args, nargs, kwnames);
        np::load_api();
        const auto f = arrays::accept<F>(bound[0], "f");
        const auto xp = arrays::accept<Position>(bound[1], "xp");
        const auto fp = arrays::accept<F>(bound[2], "fp");
        const Method method = binding::parse_method(bound[3]);
        const Interp<Position, F> table(xp.sequence(), fp.sequence());
        arrays::OutputBuffer out(f.size());
        std::optional<InterpError> failure;
        {
            [[maybe_unused]] const ArithmeticScope<F> scope;
            failure = f.visit(
                [&](auto read) { return table.inverse_into(f.size(), read, method, out.as<Position>()); });
        }
        if (failure) {
            errors::set_interp_error(errors::Direction::Inverse, *failure);
            return nullptr;
        }
        return arrays::adopt_as_array(out, arrays::type_number<Position>()).release();
    });
}

}  // namespace

PyObject* forward_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward<std::int64_t>(forward_int_sig, args, nargs, kwnames);
}

PyObject* forward_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward<double>(forward_float_sig, args, nargs, kwnames);
}

PyObject* inverse_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return inverse<std::int64_t>(inverse_int_sig, args, nargs, kwnames);
}

PyObject* inverse_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return inverse<double>(inverse_float_sig, args, nargs, kwnames);
}

}  // namespace rust::entry
