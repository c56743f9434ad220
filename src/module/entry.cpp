// The four entry points: bind, accept, build the table, walk the queries.
#include "module/entry.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "extended/f80.hpp"
#include "module/arrays.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/numpy.hpp"
#include "panic.hpp"
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

// Descending queries (a time axis read backwards) go a block at a time, each
// block walked from its last query, so in ascending order, which the walk's
// sorted routes take, and its answers turned round: a large table's queries,
// a few to a segment, took several times as long walked in descending order.
// The blocks are views of the array, read by the strided reader; each is
// answered in place and turned round while it is in the second-level cache,
// and is long enough that the walk's set-ups (a segment's divisor, its
// learnt steps) are a small part of it.
constexpr std::size_t kBackwardBlock = 1 << 15;

// The queries walked into answers, as walk(table, count, read, answers) walks
// them in query order: blocks that look descending backwards, as above, up
// to the first that does not, and the rest in query order. A block whose
// backward walk failed or threw is walked again in query order, so that the
// failure returned (or thrown) is the first in query order.
template <class Query, class Answer, class Walk, class Table>
std::optional<InterpError> walk_all(const Walk& walk, const Table& table, const arrays::View<Query>& queries,
                                    Answer* answers) {
    const auto walk_part = [&](const arrays::View<Query>& part, Answer* into) {
        return part.visit([&](auto read) { return walk(table, part.size(), read, into); });
    };
    const std::size_t count = queries.size();
    std::size_t first = 0;  // queries before first are answered
    for (; count - first >= 2; first += kBackwardBlock) {
        const std::size_t end = count - first > kBackwardBlock ? first + kBackwardBlock : count;
        if (!queries.looks_descending(first, end)) {
            break;
        }
        bool failed = true;
        try {
            failed = walk_part(queries.part(first, end, true), answers + first).has_value();
        } catch (const Panic&) {
        }
        if (!failed) {
            std::reverse(answers + first, answers + end);
        } else if (const std::optional<InterpError> e = walk_part(queries.part(first, end, false), answers + first)) {
            return e;
        }
        if (end == count) {
            return std::nullopt;
        }
    }
    if (first == 0) {
        return walk_part(queries, answers);
    }
    return walk_part(queries.part(first, count, false), answers + first);
}

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
            failure = walk_all(walk, table, queries, out.as<Answer>());
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
