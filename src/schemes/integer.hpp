// Exact interpolation on one segment of an integer table (u64 positions, i64 values).
//
// One query at a time, eight in vector lanes, and runs of queries.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "divop/divop.hpp"
#include "divop/lanes.hpp"
#include "schemes/integer_kernels.hpp"
#include "schemes/method.hpp"
#include "schemes/offset_lanes.hpp"
#include "schemes/offset_math.hpp"
#include "schemes/scheme.hpp"
#include "schemes/stepped_segment.hpp"

namespace rust {

template <>
struct Scheme<std::uint64_t, std::int64_t> {
    static std::int64_t forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, std::int64_t f0,
                                std::int64_t f1) {
        const std::uint64_t d = x1 - x0;
        const divop::u128 n =
            detail::forward_numerator(x, x0, x1, detail::offset_form(f0), detail::offset_form(f1));
        return detail::forward_result(divop::div_rem(n, d), d);
    }

    static std::optional<std::uint64_t> inverse(std::int64_t f, std::uint64_t x0, std::uint64_t x1,
                                                std::int64_t f0, std::int64_t f1, Method method) {
        const std::uint64_t f0o = detail::offset_form(f0);
        const std::uint64_t f1o = detail::offset_form(f1);
        const std::uint64_t d = f1o - f0o;
        const divop::u128 n = detail::inverse_numerator(detail::offset_form(f), x0, x1, f0o, f1o);
        return detail::inverse_result(divop::div_rem(n, d), d, method);
    }

#if defined(RUST_HAVE_LANES)
    // forward() and inverse() for eight queries at once, each with its own
    // segment, the query inside it or on its right end. Each returns the lanes
    // it answered, written to out[0..8); the others are the caller's to ask
    // one by one (lanes whose numbers are too large for the vector division,
    // and those the Exact method finds no position for).
    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static __mmask8 forward_lanes(__m512i x, __m512i x0, __m512i x1,
                                                                     __m512i f0, __m512i f1, std::int64_t* out) {
        const __m512i top = _mm512_set1_epi64(INT64_MIN);
        const detail::LineLanes line =
            detail::line_lanes(_mm512_xor_si512(f0, top), _mm512_xor_si512(f1, top), _mm512_sub_epi64(x1, x0));
        divop::Lanes part;
        const __mmask8 done = divop::div_rem_lanes(line.c, _mm512_sub_epi64(x, x0), line.d, part);
        _mm512_mask_storeu_epi64(out, done, detail::forward_result_lanes(detail::whole_lanes(line, part), line.d));
        return done;
    }

    [[RUST_LANES_TARGET("avx512f,avx512dq")]] static __mmask8 inverse_lanes(__m512i f, __m512i x0, __m512i x1,
                                                                     __m512i f0, __m512i f1, Method method,
                                                                     std::uint64_t* out) {
        const __m512i top = _mm512_set1_epi64(INT64_MIN);
        const __m512i f0o = _mm512_xor_si512(f0, top);
        const detail::LineLanes line = detail::line_lanes(x0, x1, _mm512_sub_epi64(_mm512_xor_si512(f1, top), f0o));
        divop::Lanes part;
        __mmask8 done = divop::div_rem_lanes(line.c, _mm512_sub_epi64(_mm512_xor_si512(f, top), f0o), line.d, part);
        __m512i answers = _mm512_setzero_si512();
        done &= detail::inverse_result_lanes(detail::whole_lanes(line, part), line.d, method, answers);
        _mm512_mask_storeu_epi64(out, done, answers);
        return done;
    }
#endif
};

template <>
class ForwardSegment<std::uint64_t, std::int64_t> : public detail::SteppedSegment<detail::ForwardKernel> {
public:
    ForwardSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1)
        : SteppedSegment({x0, x1, detail::offset_form(f0), detail::offset_form(f1)}) {}

    static Few few(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1) noexcept {
        return Few({x0, x1, detail::offset_form(f0), detail::offset_form(f1)});
    }
};

template <>
class InverseSegment<std::uint64_t, std::int64_t> : public detail::SteppedSegment<detail::InverseKernel> {
public:
    InverseSegment(std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1, Method method)
        : SteppedSegment({x0, x1, detail::offset_form(f0), detail::offset_form(f1), method}) {}

    // use(make), make(x0, x1, f0, f1) a segment set up for a few keys (as
    // forward's few()), with the method's rounding fixed for every segment
    // it makes rather than asked for at each key: a route that sets up a
    // segment every few keys then tests nothing per key for it.
    template <class Use>
    static decltype(auto) with_fixed_few(Method method, Use&& use) {
        return detail::InverseKernel::with_finish_of(method, [&](const auto finish) {
            return use([finish, method](std::uint64_t x0, std::uint64_t x1, std::int64_t f0, std::int64_t f1) {
                return FewWith<std::remove_cvref_t<decltype(finish)>>(
                    {x0, x1, detail::offset_form(f0), detail::offset_form(f1), method}, finish);
            });
        });
    }
};

}  // namespace rust
