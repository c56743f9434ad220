// The four entry points: bind, accept, build the table, walk the queries.
#include "module/entry.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
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

// One call: its arguments bound and accepted (the queries, then xp and fp,
// then what `prepare` reads of the rest), the table built, and the queries
// walked into a new array of Answer by the walk prepare(bound) returns; a
// failure is raised as the direction's error.
template <class Query, class Answer, class F, class Prepare>
PyObject* convert(const binding::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  errors::Direction direction, const Prepare& prepare) {
    return errors::guarded([&]() -> PyObject* {
        const binding::Bound bound = binding::bind(sig, args, nargs, kwnames);
        np::load_api();
        const auto queries = arrays::accept<Query>(bound[0], sig.params[0]);
        const auto xp = arrays::accept<Position>(bound[1], "xp");
        const auto fp = arrays::accept<F>(bound[2], "fp");
        const auto walk = prepare(bound);
        const Interp<Position, F> table(xp.sequence(), fp.sequence());
        arrays::OutputBuffer out(queries.size());
        std::optional<InterpError> failure;
        {
            [[maybe_unused]] const ArithmeticScope<F> scope;
            failure = queries.visit([&](auto read) { return walk(table, queries.size(), read, out.as<Answer>()); });
        }
        if (failure) {
            errors::set_interp_error(direction, *failure);
            return nullptr;
        }
        return arrays::adopt_as_array(out, arrays::type_number<Answer>()).release();
    });
}

template <class F>
PyObject* forward(const binding::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<Position, F, F>(sig, args, nargs, kwnames, errors::Direction::Forward, [](const binding::Bound&) {
        return [](const Interp<Position, F>& table, std::size_t count, auto& read, F* out) {
            return table.forward_into(count, read, out);
        };
    });
}

template <class F>
PyObject* inverse(const binding::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<F, Position, F>(
        sig, args, nargs, kwnames, errors::Direction::Inverse, [](const binding::Bound& bound) {
            const Method method = binding::parse_method(bound[3]);
            return [method](const Interp<Position, F>& table, std::size_t count, auto& read, Position* out) {
                return table.inverse_into(count, read, method, out);
            };
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
