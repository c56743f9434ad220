// libFuzzer target: the batch walks of Interp (forward_into, inverse_into)
// against the one-query functions called in a loop, on fuzzer-built tables
// and query streams shaped after the walks' fast paths.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "../cpp/differential.hpp"
#include "../cpp/sequences.hpp"
#include "extended/fpu_scope.hpp"
#include "panic.hpp"
#include "piecewise/interp.hpp"
#include "piecewise/interp_error.hpp"
#include "piecewise/sequence.hpp"
#include "platform/vector_path.hpp"
#include "schemes/float.hpp"
#include "schemes/integer.hpp"
#include "schemes/method.hpp"
#include "shapes.hpp"

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;
using rust::InterpError;
using rust::Method;
using differential::Shape;

using fuzz_shapes::interesting_double;
using fuzz_shapes::interesting_order;
using fuzz_shapes::kHalf;
using fuzz_shapes::kTop;
using fuzz_shapes::pick;

constexpr std::size_t kMaxTable = 300;
constexpr std::size_t kMaxQueries = 1500;

// ---------------------------------------------------------------------------
// Values. Integers are built in an unsigned "order space" (u64 as is, i64 with
// its top bit inverted) so one set of shapes serves positions and int64 values.

template <class T>
T from_order(u64 u) {
    if constexpr (std::is_same_v<T, i64>) {
        return static_cast<i64>(u ^ kHalf);
    } else {
        return u;
    }
}

template <class T>
u64 to_order(T v) {
    if constexpr (std::is_same_v<T, i64>) {
        return static_cast<u64>(v) ^ kHalf;
    } else {
        return v;
    }
}

template <class T>
T interesting(FuzzedDataProvider& in) {
    if constexpr (std::is_same_v<T, double>) {
        return interesting_double(in);
    } else {
        return from_order<T>(interesting_order(in));
    }
}

// The next value up, or nothing at the top of the type.
template <class T>
std::optional<T> next_up(T v) {
    if constexpr (std::is_same_v<T, double>) {
        if (std::isnan(v) || v == std::numeric_limits<double>::infinity()) {
            return std::nullopt;
        }
        // -0.0 and +0.0 are equal: step past both.
        return v == 0 ? std::numeric_limits<double>::denorm_min()
                      : std::nextafter(v, std::numeric_limits<double>::infinity());
    } else {
        const u64 u = to_order(v);
        if (u == kTop) {
            return std::nullopt;
        }
        return from_order<T>(u + 1);
    }
}

// ---------------------------------------------------------------------------
// Tables: strictly increasing (the usual case, walked by the fast paths), or
// with one defect, or in no order at all.

template <class T>
bool order_less(T a, T b) {
    if constexpr (std::is_same_v<T, double>) {
        // A strict weak order that places NaN last, so sort() is defined.
        if (std::isnan(a) || std::isnan(b)) {
            return !std::isnan(a) && std::isnan(b);
        }
    }
    return a < b;
}

template <class T>
void make_increasing(std::vector<T>& v) {
    std::sort(v.begin(), v.end(), order_less<T>);
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (!(v[i] > v[i - 1])) {
            // Left equal (a defect) at the top of the type or next to a NaN.
            if (const std::optional<T> up = next_up(v[i - 1])) {
                v[i] = *up;
            }
        }
    }
}

// What breaks an increasing column at one place (an int64 or uint64 column
// takes anything where a float64 one takes NaN).
enum class Defect { Repeat, Swap, NaN, Anything };
constexpr Defect kDefects[] = {Defect::Repeat, Defect::Swap, Defect::NaN, Defect::Anything};

template <class T>
void add_defect(FuzzedDataProvider& in, std::vector<T>& v) {
    if (v.size() < 2) {
        return;
    }
    const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, v.size() - 1);
    switch (pick(in, kDefects)) {
        case Defect::Repeat: v[i] = v[i - 1]; break;
        case Defect::Swap: std::swap(v[i], v[i - 1]); break;
        case Defect::NaN:
            if constexpr (std::is_same_v<T, double>) {
                v[i] = std::numeric_limits<double>::quiet_NaN();
                break;
            }
            [[fallthrough]];
        case Defect::Anything: v[i] = interesting<T>(in); break;
    }
}

// The shapes of a table's column; plain increasing ones twice as often.
enum class Column {
    EvenlySpaced,          // a regular grid from a start (integers wrap past the top: out of order)
    Increasing,            // sorted interesting values, float64 ones finite
    IncreasingNonFinite,   // the same with infinities and NaN kept (NaN sorted last)
    IncreasingWithDefect,  // finite and increasing but at one place
    AnyOrder,              // interesting values as drawn
};
constexpr Column kColumns[] = {Column::EvenlySpaced,        Column::Increasing,           Column::Increasing,
                               Column::IncreasingNonFinite, Column::IncreasingWithDefect, Column::AnyOrder};

template <class T>
std::vector<T> make_column(FuzzedDataProvider& in, std::size_t n) {
    std::vector<T> v(n);
    const Column shape = pick(in, kColumns);
    if (shape == Column::EvenlySpaced && n > 0) {
        // Evenly spaced from a start: a regular grid.
        if constexpr (std::is_same_v<T, double>) {
            const double start = interesting_double(in);
            const double step = std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(1, 9)),
                                            in.ConsumeIntegralInRange<int>(-60, 60));
            for (std::size_t i = 0; i < n; ++i) {
                v[i] = start + static_cast<double>(i) * step;
            }
        } else {
            const u64 start = interesting_order(in);
            const u64 step = in.ConsumeBool() ? in.ConsumeIntegralInRange<u64>(1, 1000)
                                              : in.ConsumeIntegral<u64>() / (n + 1) + 1;
            for (std::size_t i = 0; i < n; ++i) {
                v[i] = from_order<T>(start + i * step);  // wraps past the top: out of order
            }
        }
        return v;
    }
    for (T& x : v) {
        x = interesting<T>(in);
        if constexpr (std::is_same_v<T, double>) {
            // Most tables keep to finite values: in a long column a NaN or a
            // repeated infinity would otherwise leave nearly every one unordered.
            if (shape != Column::IncreasingNonFinite && shape != Column::AnyOrder && !std::isfinite(x)) {
                // At most 2^31 * 2^990: finite.
                x = std::ldexp(static_cast<double>(in.ConsumeIntegral<std::int32_t>()),
                               in.ConsumeIntegralInRange<int>(-1100, 990));
            }
        }
    }
    if (shape == Column::AnyOrder) {
        return v;
    }
    make_increasing(v);
    if (shape == Column::IncreasingWithDefect) {
        add_defect(in, v);
    }
    return v;
}

// Tie point counts: tiny, one vector block or so, a few blocks, large.
struct SizeBand {
    std::size_t least, most;
};
constexpr SizeBand kSizeBands[] = {{0, 2}, {3, 8}, {9, 40}, {41, kMaxTable}};

std::size_t table_size(FuzzedDataProvider& in) {
    const SizeBand band = pick(in, kSizeBands);
    return in.ConsumeIntegralInRange<std::size_t>(band.least, band.most);
}

// ---------------------------------------------------------------------------
// Query streams: runs of different shapes, one after another.

// A value strictly between lo and hi when there is one, else lo.
template <class T>
T between(FuzzedDataProvider& in, T lo, T hi) {
    if constexpr (std::is_same_v<T, double>) {
        if (!(lo < hi)) {
            return lo;
        }
        if (in.ConsumeBool()) {
            // A few representable steps from either end.
            const int k = in.ConsumeIntegralInRange<int>(1, 3);
            double v = in.ConsumeBool() ? lo : hi;
            const double towards = v == lo ? hi : lo;
            for (int i = 0; i < k; ++i) {
                v = std::nextafter(v, towards);
            }
            return (v > lo && v < hi) ? v : lo;
        }
        const double t = in.ConsumeProbability<double>();
        // Written as a mean, since hi - lo may overflow to infinity.
        const double v = lo * (1 - t) + hi * t;
        return (v > lo && v < hi) ? v : lo;
    } else {
        const u64 a = to_order(lo);
        const u64 b = to_order(hi);
        if (b <= a + 1 || a >= b) {
            return lo;
        }
        return from_order<T>(a + 1 + in.ConsumeIntegralInRange<u64>(0, b - a - 2));
    }
}

// v moved by k steps of the type (ulps for doubles), wrapping for integers.
template <class T>
T nudge(T v, i64 k) {
    if constexpr (std::is_same_v<T, double>) {
        const double towards = k < 0 ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
        for (i64 i = 0; i < (k < 0 ? -k : k); ++i) {
            v = std::nextafter(v, towards);
        }
        return v;
    } else {
        return from_order<T>(to_order(v) + static_cast<u64>(k));
    }
}

template <class T>
T table_point(FuzzedDataProvider& in, const std::vector<T>& s) {
    if (s.empty()) {
        return interesting<T>(in);
    }
    return s[in.ConsumeIntegralInRange<std::size_t>(0, s.size() - 1)];
}

// A constant step for evenly spaced queries, often a fraction of the table's
// spacing; negative steps walk down. Integer steps are differences in order
// space, added modulo 2^64.
template <class T>
using Step = std::conditional_t<std::is_same_v<T, double>, double, u64>;

template <class T>
Step<T> make_step(FuzzedDataProvider& in, const std::vector<T>& s) {
    const bool down = in.ConsumeBool();
    Step<T> step;
    if constexpr (std::is_same_v<T, double>) {
        if (s.size() >= 2 && in.ConsumeBool()) {
            const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, s.size() - 1);
            step = (s[i] - s[i - 1]) / static_cast<double>(in.ConsumeIntegralInRange<int>(1, 16));
        } else {
            step = std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(0, 17)),
                              in.ConsumeIntegralInRange<int>(-70, 70));
        }
    } else {
        if (s.size() >= 2 && in.ConsumeBool()) {
            const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, s.size() - 1);
            step = (to_order(s[i]) - to_order(s[i - 1])) / in.ConsumeIntegralInRange<u64>(1, 16);
        } else {
            step = in.ConsumeBool() ? in.ConsumeIntegralInRange<u64>(0, 17) : in.ConsumeIntegral<u64>() >> 8;
        }
    }
    return down ? -step : step;
}

template <class T>
T step_from(T start, Step<T> step, std::size_t k) {
    if constexpr (std::is_same_v<T, double>) {
        return start + static_cast<double>(k) * step;
    } else {
        return from_order<T>(to_order(start) + step * k);
    }
}

// The shapes a run of queries takes here, as the input picks them.
constexpr Shape kRunShapes[] = {Shape::Dense,        Shape::EvenlySpaced, Shape::Ties,
                                Shape::NearTies,     Shape::Outside,      Shape::Random,
                                Shape::UnevenSorted, Shape::Repeated,     Shape::Special,
                                Shape::Stepped};

template <class T>
std::vector<T> make_queries(FuzzedDataProvider& in, const std::vector<T>& s) {
    std::vector<T> q;
    const std::size_t n = s.size();
    while (in.remaining_bytes() > 0 && q.size() < kMaxQueries) {
        const Shape shape = pick(in, kRunShapes);
        const std::size_t m = std::min<std::size_t>(in.ConsumeIntegralInRange<std::size_t>(1, 64),
                                                    kMaxQueries - q.size());
        switch (shape) {
            case Shape::Dense: {  // sorted either way, inside one segment
                if (n < 2) {
                    break;
                }
                const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, n - 1);
                std::vector<T> run;
                for (std::size_t k = 0; k < m; ++k) {
                    run.push_back(between(in, s[i - 1], s[i]));
                }
                std::sort(run.begin(), run.end(), order_less<T>);
                if (in.ConsumeBool()) {
                    std::reverse(run.begin(), run.end());
                }
                q.insert(q.end(), run.begin(), run.end());
                break;
            }
            case Shape::EvenlySpaced: {  // the step maybe changing once mid-run
                T start = in.ConsumeBool() ? table_point(in, s) : interesting<T>(in);
                Step<T> step = make_step(in, s);
                const std::size_t change = in.ConsumeIntegralInRange<std::size_t>(0, m);
                std::size_t base = 0;
                for (std::size_t k = 0; k < m; ++k) {
                    if (k == change && k > 0) {
                        start = q.back();
                        step = make_step(in, s);
                        base = k - 1;
                    }
                    q.push_back(step_from(start, step, k - base));
                }
                break;
            }
            case Shape::Ties: {  // in order from one of them, by a stride of one to three
                if (n == 0) {
                    break;
                }
                std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, n - 1);
                const std::size_t stride = in.ConsumeIntegralInRange<std::size_t>(1, 3);
                for (std::size_t k = 0; k < m && i < n; ++k, i += stride) {
                    q.push_back(s[i]);
                }
                break;
            }
            case Shape::NearTies:
                for (std::size_t k = 0; k < m; ++k) {
                    q.push_back(nudge(table_point(in, s), in.ConsumeIntegralInRange<i64>(-2, 2)));
                }
                break;
            case Shape::Outside:
                for (std::size_t k = 0; k < m && n > 0; ++k) {
                    const i64 by = in.ConsumeIntegralInRange<i64>(1, 3);
                    q.push_back(in.ConsumeBool() ? nudge(s[0], -by) : nudge(s[n - 1], by));
                }
                break;
            case Shape::Random:
                for (std::size_t k = 0; k < m; ++k) {
                    q.push_back(interesting<T>(in));
                }
                break;
            case Shape::UnevenSorted: {  // a sorted run across the table
                std::vector<T> run;
                for (std::size_t k = 0; k < m; ++k) {
                    run.push_back(in.ConsumeBool() ? interesting<T>(in) : table_point(in, s));
                }
                std::sort(run.begin(), run.end(), order_less<T>);
                q.insert(q.end(), run.begin(), run.end());
                break;
            }
            case Shape::Stepped: {  // long, through one segment by a fraction of it, one query maybe nudged
                if (n < 2) {
                    break;
                }
                // Hundreds of queries: a run of whole positions goes by blocks
                // of a few hundred once its first queries were whole.
                const std::size_t length = std::min<std::size_t>(in.ConsumeIntegralInRange<std::size_t>(1, 700),
                                                                 kMaxQueries - q.size());
                const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, n - 1);
                const int parts = in.ConsumeIntegralInRange<int>(2, 1024);
                Step<T> step;
                if constexpr (std::is_same_v<T, double>) {
                    step = (s[i] - s[i - 1]) / parts;
                } else {
                    step = (to_order(s[i]) - to_order(s[i - 1])) / static_cast<u64>(parts);
                }
                const std::size_t odd = in.ConsumeIntegralInRange<std::size_t>(0, length);
                for (std::size_t k = 0; k < length; ++k) {
                    // Inside the segment: past its start, short of its end.
                    const T v = step_from(s[i - 1], step, 1 + k % static_cast<std::size_t>(parts - 1));
                    q.push_back(k == odd ? nudge(v, 1) : v);
                }
                break;
            }
            case Shape::Repeated: {
                const T v = table_point(in, s);
                q.insert(q.end(), m, v);
                break;
            }
            default:  // Special
                for (std::size_t k = 0; k < m; ++k) {
                    q.push_back(in.ConsumeBool() ? interesting<T>(in) : between(in, table_point(in, s),
                                                                                  table_point(in, s)));
                }
                break;
        }
    }
    return q;
}

// ---------------------------------------------------------------------------
// The comparison: on a mismatch, the table and queries, then a trap.

template <class T>
void print_values(const char* name, const std::vector<T>& v) {
    std::fprintf(stderr, "  %s (%zu):", name, v.size());
    for (std::size_t i = 0; i < v.size() && i < 64; ++i) {
        std::fprintf(stderr, " %s", differential::show(v[i]).c_str());
    }
    std::fputs(v.size() > 64 ? " ...\n" : "\n", stderr);
}

template <class F, class Q, class R>
void expect_agree(const char* walk, int method, const std::vector<u64>& xp, const std::vector<F>& fp,
                  const differential::Comparison<Q, R>& c) {
    if (c.ok()) {
        return;
    }
    std::fprintf(stderr, "interp_walks mismatch: %s (method %d), %s table\n  %s\n", walk, method,
                 std::is_same_v<F, double> ? "float64" : "int64", c.describe().c_str());
    print_values("xp", xp);
    print_values("fp", fp);
    print_values("queries", *c.queries);
    __builtin_trap();
}

template <class F>
void run(FuzzedDataProvider& in) {
    const std::size_t n = table_size(in);
    const std::vector<u64> xp = make_column<u64>(in, n);
    const std::vector<F> fp = make_column<F>(in, n);
    const std::vector<u64> xq = make_queries(in, xp);
    // The inverse queries take what the forward ones left.
    const std::vector<F> fq = make_queries(in, fp);

    // Separate tables for the two sides, so neither sees flags the other computed.
    const rust::Interp<u64, F> one(to_sequence(xp), to_sequence(fp));
    const rust::Interp<u64, F> many(to_sequence(xp), to_sequence(fp));
    // The x87 engine rounds by the control word this scope sets; held around
    // both sides' whole loops.
    std::optional<rust::FpuScope> scope;
    if constexpr (std::is_same_v<F, double>) {
        scope.emplace();
    }
    expect_agree("forward_into", -1, xp, fp, differential::forward(one, many, xq));
    for (const Method method : differential::kMethods) {
        expect_agree("inverse_into", static_cast<int>(method), xp, fp, differential::inverse(one, many, fq, method));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    // The vector path (where the CPU has it) and the portable one, by input.
    rust::enable_lanes(in.ConsumeBool());
    if (in.ConsumeBool()) {
        run<double>(in);
    } else {
        run<i64>(in);
    }
    return 0;
}
