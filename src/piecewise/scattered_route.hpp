// The scattered route: queries in no order, answered a batch at a time.
//
// Searched in lockstep, their tie points fetched at once, then answered in
// query order.
#pragma once

#include <cstddef>
#include <optional>

#include "piecewise/interp_error.hpp"
#include "piecewise/search_batch.hpp"
#include "platform/attributes.hpp"
#include "platform/vector_path.hpp"

namespace rust::detail {

// Scattered queries are searched kBatch at a time; the walk goes over to that
// route after kFarQueries queries in a row that each landed more than kNear
// tie points away from the one before, and back when nearly all of a batch
// (all but kBatch / 8) came in ascending order.
inline constexpr std::size_t kBatch = 32;
inline constexpr unsigned kFarQueries = 4;
inline constexpr std::size_t kNear = 16;

// Queries [k, end) by the batched search; near counts those that did not come
// below the query before them. The failures and answers, in index order, are
// those of answer_one(). Out of line, so that the answers' arithmetic has the
// registers to itself rather than sharing them with the walk's other routes.
template <VectorPath Path, class Queries, class Read>
RUST_NOINLINE std::optional<InterpError> answer_scattered(Path path, const Queries& queries, Read& read, std::size_t k,
                                                          std::size_t end, typename Queries::Answer* out,
                                                          std::size_t& hint, std::size_t& ascending) {
    using Key = typename Queries::Key;
    const std::size_t n = queries.keys.size();
    const std::size_t m = end - k;
    // Zeroed, though every key the search reads is read first: a compiler
    // cannot tell, and warns.
    Key key[kBatch] = {};
    std::size_t base[kBatch];
    for (std::size_t j = 0; j < m; ++j) {
        key[j] = read(k + j);
    }
    search_batch(path, queries.keys, key, m, base);
    // The answers' tie points are the next cache misses: all asked for at once.
    for (std::size_t j = 0; j < m; ++j) {
        queries.prefetch(base[j]);
    }
    ascending = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const SearchResult s = finish_search(queries.keys, key[j], base[j]);
        ascending += static_cast<std::size_t>(s.index >= hint);
        hint = s.index;
        if (s.found) {
            out[k + j] = queries.hit(s.index);
        } else if (s.index == 0 || s.index == n) {
            if (const std::optional<InterpError> e = queries.outside(s.index, out[k + j])) {
                return e;
            }
        } else if (!queries.inside(s.index, key[j], out[k + j])) {
            return InterpError::NotFound;
        }
    }
    return std::nullopt;
}
}  // namespace rust::detail
