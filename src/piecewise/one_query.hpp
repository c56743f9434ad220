// The answer to one query: the definition every route of the walk gives.
#pragma once

#include <cstddef>
#include <optional>

#include "piecewise/direction.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/search.hpp"

namespace rust {

// One query on a non-empty table whose searched sequence is strictly
// increasing: the halving search, then the exact hit, the fill rules outside,
// or the segment's scheme. The definition of every answer of the walk.
template <Direction Queries>
std::optional<InterpError> answer_one(const Queries& queries, typename Queries::Key key,
                                      typename Queries::Answer& out) {
    const std::size_t n = queries.keys.size();
    const SearchResult s = search(queries.keys, key);
    if (s.found) {
        out = queries.hit(s.index);
        return std::nullopt;
    }
    if (s.index == 0 || s.index == n) {
        return queries.outside(s.index, out);
    }
    if (!queries.inside(s.index, key, out)) {
        return InterpError::NotFound;
    }
    return std::nullopt;
}
}  // namespace rust
