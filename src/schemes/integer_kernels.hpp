// The two directions of an integer segment, as SteppedSegment's kernels.
//
// What each divides, and how each turns a quotient into its answer.
#pragma once

#include <cstdint>
#include <optional>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "schemes/method.hpp"
#include "schemes/offset_lanes.hpp"
#include "schemes/offset_math.hpp"

namespace rust::detail {

// n = f0'(x1 - x) + f1'(x - x0) = f0' d + (f1' - f0') t, t = x - x0.
struct ForwardKernel {
    using Key = std::uint64_t;
    using Answer = std::int64_t;
    std::uint64_t x0, x1, f0o, f1o;

    Line line(Line::Scale scale = Line::Scale::normalised) const noexcept {
        return Line::from_ends(f0o, f1o, x1 - x0, scale);
    }
    std::uint64_t distance(std::uint64_t x) const noexcept { return x - x0; }
    bool finish(divop::QuotRem qr, std::uint64_t norm, std::int64_t& out) const noexcept {
        return Finish{}(qr, norm, out);
    }
    template <class Use>
    decltype(auto) with_fixed_finish(Use&& use) const {
        return use(Finish{});
    }

    // A run's finish (one rounding for every segment), and its lifted form
    // for stepped keys: the answer read off a lifted quotient, where misses()
    // is 0 (forward always has one).
    struct Finish {
        bool operator()(divop::QuotRem qr, std::uint64_t norm, std::int64_t& out) const noexcept {
            out = forward_result(qr, norm);
            return true;
        }
        divop::Step lift(std::uint64_t norm) const noexcept { return forward_lift(norm); }
        std::int64_t lifted(divop::QuotRem qr, std::uint64_t norm) const noexcept {
            return forward_result_lifted(qr, norm);
        }
        std::uint64_t misses(divop::QuotRem) const noexcept { return 0; }
    };
#if defined(RUST_HAVE_LANES)
    [[RUST_LANES_TARGET("avx512f")]] bool finish_lanes(divop::Lanes qr, __m512i norm, __m512i& out) const noexcept {
        out = forward_result_lanes(qr, norm);
        return true;
    }
#endif
};

// n = x0(f1' - f') + x1(f' - f0') = x0 d + (x1 - x0) t, t = f' - f0'.
struct InverseKernel {
    using Key = std::int64_t;
    using Answer = std::uint64_t;
    std::uint64_t x0, x1, f0o, f1o;
    Method method;

    Line line(Line::Scale scale = Line::Scale::normalised) const noexcept {
        return Line::from_ends(x0, x1, f1o - f0o, scale);
    }
    std::uint64_t distance(std::int64_t f) const noexcept { return offset_form(f) - f0o; }
    bool finish(divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) const noexcept {
        return finish_by(method, qr, norm, out);
    }

    // use(finish) with finish(qr, norm, out) the method's own, fixed for a
    // whole run rather than chosen per key.
    template <class Use>
    decltype(auto) with_fixed_finish(Use&& use) const {
        return with_finish_of(method, use);
    }

    // The same for a method given, whichever the segment.
    template <class Use>
    static decltype(auto) with_finish_of(Method method, Use&& use) {
        switch (method) {
            case Method::Exact:
                return use(FixedFinish<Method::Exact>{});
            case Method::Nearest:
                return use(FixedFinish<Method::Nearest>{});
            case Method::Ffill:
                return use(FixedFinish<Method::Ffill>{});
            case Method::Bfill:
                break;
        }
        return use(FixedFinish<Method::Bfill>{});
    }

    // The method's finish, for a step run or (taking the kernel it leaves
    // unasked) for a segment's few keys.
    template <Method M>
    struct FixedFinish {
        bool operator()(divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) const noexcept {
            return finish_by(M, qr, norm, out);
        }
        bool operator()(const InverseKernel&, divop::QuotRem qr, std::uint64_t norm,
                        std::uint64_t& out) const noexcept {
            return finish_by(M, qr, norm, out);
        }
        divop::Step lift(std::uint64_t norm) const noexcept { return inverse_lift(M, norm); }
        std::uint64_t lifted(divop::QuotRem qr, std::uint64_t norm) const noexcept {
            return inverse_result_lifted(qr, norm, M);
        }
        std::uint64_t misses(divop::QuotRem qr) const noexcept { return inverse_lifted_misses(qr, M); }
    };

    static bool finish_by(Method method, divop::QuotRem qr, std::uint64_t norm, std::uint64_t& out) noexcept {
        const std::optional<std::uint64_t> x = inverse_result(qr, norm, method);
        out = x.value_or(0);
        return x.has_value();
    }

#if defined(RUST_HAVE_LANES)
    // inverse_result() in every lane; false when a lane has none (Exact).
    [[RUST_LANES_TARGET("avx512f")]] bool finish_lanes(divop::Lanes qr, __m512i norm, __m512i& out) const noexcept {
        return inverse_result_lanes(qr, norm, method, out) == 0xFF;
    }
#endif
};

}  // namespace rust::detail
