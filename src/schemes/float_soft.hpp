// The float segments on the soft engine.
//
// What a segment fixes is prepared once (the divisor's reciprocal, the end
// values unpacked, whether every step is exact) and each query does the rest in
// 64-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "extended/f80.hpp"
#include "extended/f80_soft_forward.hpp"
#include "extended/f80_soft_inverse.hpp"
#include "schemes/float_lanes.hpp"
#include "schemes/method.hpp"
#include "schemes/position_rule.hpp"
#include "schemes/scheme.hpp"

namespace rust {

namespace detail {

// F80::require_finite(v), the value passed on.
inline double finite(double v) {
    F80::require_finite(v);
    return v;
}

// A quotient of the soft forms (finite, by their construction) as binary64,
// by to_f64()'s truncation.
inline double f64_of(SoftEngine::Rep r) noexcept {
    return r.m == 0 ? 0.0 : F80::f64_of_nonzero(r.negative != 0, r.m, r.e);
}

// The same quotient's parts, for the conversions to positions.
inline F80::Parts parts_of(SoftEngine::Rep r) noexcept { return {r.m == 0, r.negative != 0, r.m, r.e}; }

// A quotient of the soft forms, read as a position the way F80 reads one.
struct SoftQuotient {
    SoftEngine::Rep r;

    template <F80::Rounding R>
    std::uint64_t to_position() const noexcept {
        return F80::position_of<R>(parts_of(r));
    }
    std::optional<std::uint64_t> to_whole_position() const noexcept { return F80::whole_position_of(parts_of(r)); }
};

// The rule's position for f by a soft inverse form: settled from the exact
// quotient where that lies clear of the rule's edges, else read from the
// rounded steps' quotient.
template <class Rule, bool Reciprocal>
RUST_ALWAYS_INLINE std::optional<std::uint64_t> soft_position(const Rule rule, const SoftInverse<Reciprocal>& form,
                                                              double f) {
    return settled_or(rule, form.settle(f), [&] { return SoftQuotient{form.template answer<Rule::kWhole>(f)}; });
}

// Whether the run from read(k) on is long: the query kLongRun ahead still
// below the segment's end. A long run's loop works from a copy of the
// segment's form, whose numbers the compiler then keeps apart from the
// loop's stores; a short one (segments that see a few queries each, as in
// a large table) reads the segment itself, as copying it, just after the
// set-up stored it, costs more than such a run saves.
inline constexpr std::size_t kLongRun = 16;

template <class Read, class Key>
bool long_run(Read& read, std::size_t k, std::size_t count, Key hi) {
    return count - k > kLongRun && read(k + kLongRun) < hi;
}

// What the segments' light set-ups for a few queries keep: the right end,
// whose queries are the tie point's (the steps need not give its value), and
// the form, worked out at the first query inside the segment, which is when
// the end values are checked, as one query at a time checks them: a query on
// the tie point reads neither.
template <class Form>
struct FewForm {
    std::uint64_t x1;
    double f1;
    std::uint64_t x0;
    double f0;
    std::optional<Form> formed;

    FewForm(std::uint64_t x0_, std::uint64_t x1_, double f0_, double f1_) : x1(x1_), f1(f1_), x0(x0_), f0(f0_) {}

    // Inline where the form is made already (from a segment's second query
    // on), where a call would cost a tenth of the query; made out of line.
    const Form& form() {
        if (!formed) [[unlikely]] {
            make_form();
        }
        return *formed;
    }

    RUST_NOINLINE void make_form() { formed.emplace(x0, x1, finite(f0), finite(f1)); }
};

}  // namespace detail

// On the soft engine a segment prepares what it fixes once (the divisor's
// reciprocal, the end values unpacked, whether every step is exact) and each
// query does the rest in integers; results are FloatSteps' bits.
template <>
class ForwardSegment<std::uint64_t, double> {
public:
    using Key = std::uint64_t;
    using Answer = double;

    // f0 is checked first, then f1.
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1)
        : x0_(x0), x1_(x1), f0_(detail::finite(f0)), f1_(detail::finite(f1)), form_(x0, x1, f0_, f1_) {}

    // At a segment's first query: setting up costs about what one query by
    // the one-query form does.
    static bool set_up_now(std::size_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept { return true; }
    static constexpr bool kAnswersAtEnds = false;
    static constexpr bool kLanesAnswerEnds = true;  // as on the x87 engine

    // The segment for the few queries a large table brings it
    // (detail::FewForm), without the reciprocal, whose own division would
    // cost what theirs do.
    class Few {
    public:
        Few(std::uint64_t x0, std::uint64_t x1, double f0, double f1) : segment_(x0, x1, f0, f1) {}

        bool answer(std::uint64_t x, double& out) {
            out = x == segment_.x1 ? segment_.f1 : detail::f64_of(segment_.form().answer(x));
            return true;
        }

    private:
        detail::FewForm<detail::SoftForward<false>> segment_;
    };

    static Few few(std::uint64_t x0, std::uint64_t x1, double f0, double f1) noexcept { return {x0, x1, f0, f1}; }

    // Working the form out costs more than a query answered from it.
    static constexpr bool kKeepsFew = true;

    template <VectorPath Path, class Read>
    RunEnd answer_run(Path, Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                      double* out) const {
#if defined(RUST_HAVE_LANES)
        if constexpr (Path::kLanes) {
            k = detail::forward_float_run_lanes(x0_, x1_, f0_, f1_, read, k, count, lo, hi, out,
                                                [this](std::uint64_t x) { return detail::f64_of(form_.answer(x)); });
        }
#endif
        if (detail::long_run(read, k, count, hi)) {
            return run_long(read, k, count, lo, hi, out);
        }
        return run(form_, read, k, count, lo, hi, out);
    }

private:
    // A long run out of line, with the segment's form copied
    // (detail::long_run), so that its loop has the registers to itself.
    template <class Read>
    RUST_NOINLINE RunEnd run_long(Read& read, std::size_t k, std::size_t count, std::uint64_t lo, std::uint64_t hi,
                                  double* out) const {
        const detail::SoftForward<true> form = form_;
        return run(form, read, k, count, lo, hi, out);
    }

    template <class Read>
    RUST_ALWAYS_INLINE static RunEnd run(const detail::SoftForward<true>& form, Read& read, std::size_t k,
                                         std::size_t count, std::uint64_t lo, std::uint64_t hi, double* out) {
        for (std::size_t j = k; j < count; ++j) {
            const std::uint64_t x = read(j);
            if (x <= lo || x >= hi) {
                return {j, false};
            }
            out[j] = detail::f64_of(form.answer(x));
        }
        return {count, false};
    }

    std::uint64_t x0_, x1_;  // for the lanes
    double f0_, f1_;
    detail::SoftForward<true> form_;
};

template <>
class InverseSegment<std::uint64_t, double> {
public:
    using Key = double;
    using Answer = std::uint64_t;

    InverseSegment(std::uint64_t x0, std::uint64_t x1, double f0, double f1, Method method)
        : x0_(x0),
          x1_(x1),
          f0_(detail::finite(f0)),
          f1_(detail::finite(f1)),
          method_(method),
          form_(x0, x1, f0_, f1_) {}

    // From a segment's second query on: setting up (two scales and a
    // division for the reciprocal) costs more than a query by the one-query
    // form, so segments that see one query each (a large table) are cheaper
    // without it, and those that see a few already pay for it.
    static bool set_up_now(std::size_t answered, double, double, double) noexcept { return answered >= 1; }
    static constexpr bool kAnswersAtEnds = false;
    static constexpr bool kLanesAnswerEnds = true;  // as on the x87 engine

    // As forward's Few, with the method's rule fixed for every segment made
    // (with_fixed_few).
    template <class Rule>
    class FewBy {
    public:
        FewBy(std::uint64_t x0, std::uint64_t x1, double f0, double f1) : segment_(x0, x1, f0, f1) {}

        RUST_ALWAYS_INLINE bool answer(double f, std::uint64_t& out) { return answer_by(Rule{}, segment_, f, out); }

    private:
        detail::FewForm<detail::SoftInverse<false>> segment_;
    };

    // use(make), make(x0, x1, f0, f1) a segment set up for a few queries
    // (as forward's few()), with the method's rule fixed for every segment
    // it makes.
    template <class Use>
    static decltype(auto) with_fixed_few(Method method, Use&& use) {
        return detail::with_position_rule(method, [&](const auto rule) {
            return use([](std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
                return FewBy<std::remove_cvref_t<decltype(rule)>>(x0, x1, f0, f1);
            });
        });
    }

    static constexpr bool kKeepsFew = true;

    template <VectorPath Path, class Read>
    RunEnd answer_run(Path, Read& read, std::size_t k, std::size_t count, double lo, double hi,
                      std::uint64_t* out) const {
#if defined(RUST_HAVE_LANES)
        if constexpr (Path::kLanes) {
            const RunEnd lanes = detail::inverse_float_run_lanes(
                x0_, x1_, f0_, f1_, method_, read, k, count, lo, hi, out, [this](double f) {
                    // The lanes leave only queries near a rounding edge,
                    // which settling would not place: straight to the steps.
                    return detail::with_position_rule(method_, [&](const auto rule) {
                        return rule(detail::SoftQuotient{form_.template answer<decltype(rule)::kWhole>(f)});
                    });
                });
            if (lanes.failed) {
                return lanes;
            }
            k = lanes.next;
        }
#endif
        const bool long_run = detail::long_run(read, k, count, hi);
        return detail::with_position_rule(method_, [&](const auto rule) {
            return long_run ? run_long(rule, read, k, count, lo, hi, out)
                            : run(form_, rule, read, k, count, lo, hi, out);
        });
    }

private:
    // A FewBy answer under the rule: the tie point's position on the right
    // end, which the steps need not give. The position is written where it
    // is found, so that no optional comes back from the method's case
    // (should the compiler leave it a call) through memory: a Zen 3 reads it
    // back slowly.
    template <class Rule>
    RUST_ALWAYS_INLINE static bool answer_by(const Rule rule, detail::FewForm<detail::SoftInverse<false>>& segment,
                                             double f, std::uint64_t& out) {
        if (f == segment.f1) {
            out = segment.x1;
            return true;
        }
        const std::optional<std::uint64_t> position = detail::soft_position(rule, segment.form(), f);
        out = position.value_or(0);
        return position.has_value();
    }

    // As forward's.
    template <class Rule, class Read>
    RUST_NOINLINE RunEnd run_long(const Rule rule, Read& read, std::size_t k, std::size_t count, double lo, double hi,
                                  std::uint64_t* out) const {
        const detail::SoftInverse<true> form = form_;
        return run(form, rule, read, k, count, lo, hi, out);
    }

    // The run with the method's rule fixed. A NaN fails both comparisons of a
    // run's bounds and goes back to the table.
    template <class Rule, class Read>
    RUST_ALWAYS_INLINE static RunEnd run(const detail::SoftInverse<true>& form, const Rule rule, Read& read,
                                         std::size_t k, std::size_t count, double lo, double hi,
                                         std::uint64_t* out) {
        for (std::size_t j = k; j < count; ++j) {
            const double f = read(j);
            if (!(lo < f && f < hi)) {
                return {j, false};
            }
            const std::optional<std::uint64_t> position = detail::soft_position(rule, form, f);
            if (!position) {
                return {j, true};
            }
            out[j] = *position;
        }
        return {count, false};
    }

    std::uint64_t x0_, x1_;  // for the lanes
    double f0_, f1_;
    Method method_;
    detail::SoftInverse<true> form_;
};

// One query: the same integer forms without the reciprocal, which would
// cost more to set up than the one division it saves.
template <>
struct Scheme<std::uint64_t, double> : detail::FloatSchemeLanes {
    static double forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
        const double ff0 = detail::finite(f0);
        const double ff1 = detail::finite(f1);
        return detail::f64_of(detail::SoftForward<false>(x0, x1, ff0, ff1).answer(x));
    }

    RUST_ALWAYS_INLINE static std::optional<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1,
                                                                   double f0, double f1, Method method) {
        const double ff = detail::finite(f);
        const double ff0 = detail::finite(f0);
        const double ff1 = detail::finite(f1);
        // Settling asks nothing of the method: one copy of it for the four.
        const std::optional<detail::Settled> settled = detail::SoftInverse<false>::settle_once(x0, x1, ff0, ff1, ff);
        return detail::with_position_rule(method, [&](const auto rule) {
            constexpr bool kWhole = decltype(rule)::kWhole;
            return detail::settled_or(rule, settled, [&] {
                return detail::SoftQuotient{detail::SoftInverse<false>::answer_once<kWhole>(x0, x1, ff0, ff1, ff)};
            });
        });
    }
};

}  // namespace rust
