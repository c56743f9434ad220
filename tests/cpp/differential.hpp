// The batch walks (forward_into, inverse_into) against the one-query functions
// called in a loop, and the shapes of query streams that reach the walks'
// routes. Shared by the unit tests and the interp_walks fuzz target, so it
// needs neither GoogleTest nor libFuzzer: a comparison is a value that each
// caller reports in its own way.
#pragma once

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "piecewise/interp.hpp"
#include "piecewise/interp_error.hpp"
#include "schemes/method.hpp"

namespace differential {

using u64 = std::uint64_t;
using i64 = std::int64_t;

// ---- query shapes --------------------------------------------------------------

// The shapes of query streams, each aimed at a route of the walks. A generator
// makes the shapes it can; the unit tests draw them from a seeded engine, the
// fuzz target from its input bytes.
enum class Shape {
    EvenlySpaced,   // one stride from a start near a key (a step may change mid-run)
    Stepped,        // evenly spaced by small gaps, the stride now and then changed
                    // and a query one off (as floor(k * span / N) gives)
    UnevenSorted,   // ascending with uneven gaps, exact hits among them
    Descending,     // descending with uneven gaps
    Random,         // scattered, in no order
    Dense,          // many to a segment, inside one or across two; ascending (or, in
                    // the fuzz target, either way)
    FewToASegment,  // sorted, a few to each segment of a large table, with breaks
                    // (a step back, a jump past many segments, the last key, past it)
    Ties,           // exact hits on tie points, in order
    NearTies,       // tie points and their close neighbours, anywhere
    Outside,        // just outside either end of the table
    Repeated,       // one value again and again
    Special,        // the type's special values (its ends, NaN, infinities, zeros); the
                    // fuzz target mixes in values between two tie points
};

inline const char* name(Shape s) {
    switch (s) {
        case Shape::EvenlySpaced: return "EvenlySpaced";
        case Shape::Stepped: return "Stepped";
        case Shape::UnevenSorted: return "UnevenSorted";
        case Shape::Descending: return "Descending";
        case Shape::Random: return "Random";
        case Shape::Dense: return "Dense";
        case Shape::FewToASegment: return "FewToASegment";
        case Shape::Ties: return "Ties";
        case Shape::NearTies: return "NearTies";
        case Shape::Outside: return "Outside";
        case Shape::Repeated: return "Repeated";
        case Shape::Special: return "Special";
    }
    return "?";
}

// The order of drawn queries: ascending for UnevenSorted, descending for
// Descending, as drawn for any other shape.
template <class T>
void arrange(std::vector<T>& q, Shape order) {
    if (order == Shape::UnevenSorted) {
        std::sort(q.begin(), q.end(), [](T a, T b) { return a < b; });
    } else if (order == Shape::Descending) {
        std::sort(q.begin(), q.end(), [](T a, T b) { return a > b; });
    }
}

// Sorted queries a few to a segment of a large table, on tie points too, with
// the breaks that must end a batch of them: a step back, a jump past many
// segments, the table's last key and beyond.
template <class K>
std::vector<K> few_to_a_segment(std::mt19937_64& rng, const std::vector<K>& keys) {
    std::vector<K> q;
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const u64 x0 = static_cast<u64>(keys[i - 1]);
        const u64 span = static_cast<u64>(keys[i]) - x0;
        std::vector<u64> inside;
        for (u64 m = rng() % 32 == 0 ? 0 : 1 + rng() % 6; m > 0; --m) {
            const u64 r = rng() % 32;
            inside.push_back(r == 0 ? span : r == 1 ? span - 1 : r == 2 ? 1 : 1 + rng() % span);
        }
        std::sort(inside.begin(), inside.end());
        for (const u64 t : inside) {
            q.push_back(static_cast<K>(x0 + std::min(t, span)));
        }
        const u64 r = rng() % 200;
        if (r == 0 && !q.empty()) {
            q.push_back(static_cast<K>(static_cast<u64>(q.back()) - 1 - rng() % 3));  // a step back
        } else if (r == 1) {
            i += 16 + rng() % 20;  // past many segments
        } else if (r == 2) {
            q.push_back(keys.back());
        } else if (r == 3) {
            q.push_back(static_cast<K>(static_cast<u64>(keys.back()) + 1));
        }
    }
    return q;
}

// Integer query streams drawn around a table's increasing keys (positions, or
// int64 values) from a seeded engine, in every shape.
template <class K>
class Streams {
public:
    // The shapes aimed at the walks' routes, and those at the table's edges and
    // exact hits, each in the order the unit tests walk them.
    static constexpr Shape kShapes[] = {Shape::EvenlySpaced, Shape::Stepped, Shape::UnevenSorted,
                                        Shape::Descending,   Shape::Random,  Shape::Dense};
    static constexpr Shape kEdgeShapes[] = {Shape::Ties, Shape::NearTies, Shape::Outside, Shape::Repeated,
                                            Shape::Special};

    Streams(std::mt19937_64& rng, std::vector<K> keys) : rng_(rng), keys_(std::move(keys)) {}

    // n queries of the shape (FewToASegment: as many as the keys give).
    std::vector<K> make(Shape shape, std::size_t n) {
        std::vector<K> q;
        switch (shape) {
            case Shape::EvenlySpaced:
            case Shape::Stepped: {
                K at = near_key();
                u64 stride = small() ? 1 + rng_() % 7 : 1 + rng_() % (u64{1} << (rng_() % 64));
                for (std::size_t i = 0; i < n; ++i) {
                    q.push_back(at);
                    if (shape == Shape::Stepped && rng_() % 16 == 0) {
                        stride = 1 + rng_() % 50;
                    }
                    if (shape == Shape::Stepped && rng_() % 4 == 0) {
                        at = static_cast<K>(static_cast<u64>(at) + (rng_() % 3) - 1);
                    }
                    at = static_cast<K>(static_cast<u64>(at) + stride);
                }
                break;
            }
            case Shape::UnevenSorted:
                for (std::size_t i = 0; i < n; ++i) {
                    q.push_back(rng_() % 4 == 0 && !keys_.empty() ? keys_[rng_() % keys_.size()] : near_key());
                }
                arrange(q, shape);
                break;
            case Shape::Dense: {  // across the two segments from a random key
                const std::size_t i = keys_.empty() ? 0 : rng_() % keys_.size();
                const u64 from = keys_.empty() ? rng_() : static_cast<u64>(keys_[i]);
                const u64 width = i + 2 < keys_.size() ? static_cast<u64>(keys_[i + 2]) - from : rng_() % 1000;
                for (std::size_t j = 0; j < n; ++j) {
                    q.push_back(static_cast<K>(from + (width == ~u64{0} ? rng_() : rng_() % (width + 1))));
                }
                arrange(q, Shape::UnevenSorted);
                break;
            }
            case Shape::FewToASegment:
                return few_to_a_segment(rng_, keys_);
            case Shape::Descending:
            case Shape::Random:
                for (std::size_t i = 0; i < n; ++i) {
                    q.push_back(near_key());
                }
                arrange(q, shape);
                break;
            case Shape::Ties:  // in order from a key, by a stride of one to three
                if (!keys_.empty()) {
                    std::size_t i = rng_() % keys_.size();
                    const std::size_t stride = 1 + rng_() % 3;
                    for (; q.size() < n && i < keys_.size(); i += stride) {
                        q.push_back(keys_[i]);
                    }
                }
                break;
            case Shape::NearTies:  // within two of a key
                for (std::size_t i = 0; i < n && !keys_.empty(); ++i) {
                    q.push_back(offset(keys_[rng_() % keys_.size()], rng_() % 5 - 2));
                }
                break;
            case Shape::Outside:  // one to three past either end (past the type's end, wrapped)
                for (std::size_t i = 0; i < n && !keys_.empty(); ++i) {
                    const u64 by = 1 + rng_() % 3;
                    q.push_back(rng_() % 2 == 0 ? offset(keys_.front(), 0 - by) : offset(keys_.back(), by));
                }
                break;
            case Shape::Repeated:
                q.assign(n, near_key());
                break;
            case Shape::Special: {  // the type's ends and the middle, as uint64 or int64
                constexpr u64 kSpecial[] = {0, 1, (u64{1} << 63) - 1, u64{1} << 63, ~u64{0} - 1, ~u64{0}};
                for (std::size_t i = 0; i < n; ++i) {
                    q.push_back(static_cast<K>(kSpecial[rng_() % std::size(kSpecial)]));
                }
                break;
            }
        }
        return q;
    }

private:
    bool small() { return rng_() % 2 == 0; }

    // k moved by d (modulo 2^64, so that int64 keys wrap as their bits do).
    static K offset(K k, u64 d) { return static_cast<K>(static_cast<u64>(k) + d); }

    // A tie point, a neighbour of one, a point inside a segment, or anything.
    K near_key() {
        const u64 r = rng_() % 8;
        if (keys_.empty() || r == 0) {
            return static_cast<K>(rng_());
        }
        const std::size_t i = rng_() % keys_.size();
        const u64 k = static_cast<u64>(keys_[i]);
        if (r < 3) {
            return static_cast<K>(k + (rng_() % 3) - 1);
        }
        if (i + 1 < keys_.size()) {
            const u64 span = static_cast<u64>(keys_[i + 1]) - k;
            if (span > 0) {
                return static_cast<K>(k + rng_() % span);
            }
        }
        return keys_[i];
    }

    std::mt19937_64& rng_;
    std::vector<K> keys_;
};

// ---- the batch against one query at a time -------------------------------------

// How a pass over the queries ended: how many outputs it wrote before it
// stopped (all of them when it did not), and why it stopped.
struct Ending {
    std::size_t done = 0;
    std::optional<rust::InterpError> error;  // a query's failure
    std::string panic;                       // an internal failure's message

    bool stopped() const { return error.has_value() || !panic.empty(); }
    // Same stop: the same Panic message, or else the same failure (or none).
    bool same_stop(const Ending& other) const {
        return panic == other.panic && (!panic.empty() || error == other.error);
    }
};

// Bit patterns, so that NaN payloads and the sign of zero compare too.
template <class T>
bool same_bits(T a, T b) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::bit_cast<u64>(a) == std::bit_cast<u64>(b);
    } else {
        return a == b;
    }
}

template <class T>
std::string show(T v) {
    char text[40];
    if constexpr (std::is_floating_point_v<T>) {
        std::snprintf(text, sizeof text, "%a", v);
    } else if constexpr (std::is_signed_v<T>) {
        std::snprintf(text, sizeof text, "%" PRId64, static_cast<i64>(v));
    } else {
        std::snprintf(text, sizeof text, "%" PRIu64, static_cast<u64>(v));
    }
    return text;
}

inline std::string show(const Ending& e) {
    if (!e.panic.empty()) {
        return "Panic \"" + e.panic + "\" at query " + std::to_string(e.done);
    }
    if (e.error) {
        return "failure " + std::to_string(static_cast<int>(*e.error)) + " at query " + std::to_string(e.done);
    }
    return "success";
}

// The outcome of one comparison: both endings and both sets of outputs.
template <class Q, class R>
struct Comparison {
    const std::vector<Q>* queries = nullptr;
    Ending one;    // the one-query function in a loop: what the batch must give
    Ending batch;  // the batch walk; its `done` is the loop's when it stopped
    // Exactly as long as the queries, so that a write past the end is the
    // sanitizer's to find.
    std::unique_ptr<R[]> one_out;
    std::unique_ptr<R[]> batch_out;
    std::size_t first_difference = 0;       // the first output that differs, or `valid`
    std::size_t valid = 0;                  // outputs the caller owns: those before the stop
    std::optional<std::size_t> read_past;   // a query the batch read beyond the count

    bool ok() const { return one.same_stop(batch) && first_difference == valid && !read_past; }

    std::string describe() const {
        std::string s = "one-query loop: " + show(one) + "; batch walk: " + show(batch);
        if (read_past) {
            s += "; the batch read query " + std::to_string(*read_past) + " of " + std::to_string(queries->size());
        }
        if (first_difference < valid) {
            const std::size_t k = first_difference;
            s += "; first difference at query " + std::to_string(k) + " (" + show((*queries)[k]) +
                 "): loop " + show(one_out[k]) + ", batch " + show(batch_out[k]);
        }
        return s;
    }
};

// Runs `one(query)` over the queries and `batch(count, read, out)` once, and
// compares them: the same outputs up to the first failure, the same failure
// kind or Panic message there, and no read past the queries. Outputs after a
// failure are unspecified.
template <class R, class Q, class One, class Batch>
Comparison<Q, R> compare(const std::vector<Q>& queries, One&& one, Batch&& batch) {
    const std::size_t count = queries.size();
    Comparison<Q, R> c;
    c.queries = &queries;
    c.one_out.reset(new R[count]());
    c.batch_out.reset(new R[count]());
    try {
        for (; c.one.done < count; ++c.one.done) {
            const rust::Outcome<R> o = one(queries[c.one.done]);
            if (!o.has_value()) {
                c.one.error = o.error;
                break;
            }
            c.one_out[c.one.done] = o.value;
        }
    } catch (const rust::Panic& p) {
        c.one.panic = p.what();
    }
    const auto read = [&](std::size_t k) {
        if (k >= count) {
            if (!c.read_past) {
                c.read_past = k;
            }
            k = 0;
        }
        return count == 0 ? Q{} : queries[k];
    };
    try {
        c.batch.error = batch(count, read, c.batch_out.get());
    } catch (const rust::Panic& p) {
        c.batch.panic = p.what();
    }
    c.batch.done = c.batch.stopped() ? c.one.done : count;
    c.valid = c.one.stopped() ? c.one.done : count;
    c.first_difference = 0;
    while (c.first_difference < c.valid && same_bits(c.one_out[c.first_difference], c.batch_out[c.first_difference])) {
        ++c.first_difference;
    }
    return c;
}

// forward_into() of `many` against forward() of `one` (two tables of the same
// tie points, so that neither sees flags the other computed; or one table twice).
template <class X, class F>
Comparison<X, F> forward(const rust::Interp<X, F>& one, const rust::Interp<X, F>& many, const std::vector<X>& x) {
    return compare<F>(
        x, [&](X q) { return one.forward(q); },
        [&](std::size_t count, auto read, F* out) { return many.forward_into(count, read, out); });
}

// inverse_into() of `many` against inverse() of `one` under one method.
template <class X, class F>
Comparison<F, X> inverse(const rust::Interp<X, F>& one, const rust::Interp<X, F>& many, const std::vector<F>& f,
                         rust::Method method) {
    return compare<X>(
        f, [&](F q) { return one.inverse(q, method); },
        [&](std::size_t count, auto read, X* out) { return many.inverse_into(count, read, method, out); });
}

inline constexpr rust::Method kMethods[] = {rust::Method::Exact, rust::Method::Nearest, rust::Method::Ffill,
                                            rust::Method::Bfill};

}  // namespace differential
