// The per-segment schemes, one specialisation per (position, value) type pair.
#pragma once

#include <concepts>
#include <cstddef>
#include <type_traits>

#include "platform/vector_path.hpp"

namespace rust {

// Scheme<X, F> provides
//   static F forward(X x, X x0, X x1, F f0, F f1);
//       the value at a position strictly inside the segment, x0 < x < x1;
//       f0 and f1 may stand in any order.
//   static std::optional<X> inverse(F f, X x0, X x1, F f0, F f1, Method m);
//       a position for a value strictly inside the segment, f0 < f < f1, or
//       nothing when m is Exact and no whole position matches; x0 and x1 may
//       stand in any order, even be equal.
// The table calls them for nothing else: queries outside the table never
// reach a scheme, and exact hits only where the segment kind says its scheme
// answers them as the tie point does (kAnswersAtEnds, below). Schemes whose
// segment kinds do may also have forward_lanes() and inverse_lanes(), the
// same answers for eight queries at once on CPUs with AVX-512, each query with
// a segment of its own.
template <class X, class F>
struct Scheme;

// One segment set up for many queries in a row, as sorted queries ask: each
// scheme specialises these to do its per-segment work once.
//   ForwardSegment<X, F>(x0, x1, f0, f1)
//   InverseSegment<X, F>(x0, x1, f0, f1, method)
// Each is a SegmentKind, below. A segment is set up only for a query strictly
// inside it, so a failure of the segment's own values (a float segment's
// non-finite end) is still raised by the query that reaches it.
struct RunEnd {
    std::size_t next;  // the first query not answered
    bool failed;       // read(next) lies inside but has no answer
};

// Reads query k, as the walk hands its queries to a segment.
template <class Key>
struct KeyReader {
    Key operator()(std::size_t k) const;
};

// What the walk asks of a segment kind:
// - answer_run(path, read, k, count, lo, hi, out): the answers to read(k),
//   read(k + 1), ... written to out[k], ... for as long as the keys lie
//   strictly inside the segment's searched interval (lo, hi) and before count
//   (read(k) must); where the run ended and whether it ended at a key without
//   an answer (the inverse under Exact; the answers before it are written).
//   Results are exactly the scheme's, on either vector path.
// - set_up_now(answered, before, key, hi): asked before key, the next query
//   inside the segment, after `answered` of its queries were answered one by
//   one (before is the last of them, or key itself when none was): true when
//   setting up pays from there on, by the segment kind's costs. Either way
//   every answer is the scheme's.
// - kAnswersAtEnds: true where Scheme's one-query answers, asked at a
//   segment's right end (x = x1, f = f1), give that tie point's own answer
//   exactly: the walk then asks them there too, rather than telling such
//   queries apart.
// - few(x0, x1, f0, f1) (optional, static, forward kinds): the segment set
//   up for the few queries a large table brings each segment, more cheaply
//   than for a run; its answer(key, out) gives the scheme's answer for a key
//   inside the segment and the tie point's on its right end.
// - with_fixed_few(method, use) (optional, static, inverse kinds): the same
//   for the inverse, with the method's rounding fixed for every segment made
//   rather than asked for at each query: calls use(make), make(x0, x1, f0,
//   f1) a segment so set up, whose answer is false where the Exact method
//   finds none. The walk makes a call's segments by it (those of queries a
//   few to a segment, and those scattered queries keep).
// - kKeepsFew (optional): true where that light set-up costs more than a query
//   answered from it, so that scattered queries keep each segment's set-up
//   for the call rather than answer each by the one-query form.
// - kLanesAnswerEnds (optional): where kAnswersAtEnds is false, true where the
//   scheme's forward_lanes() or inverse_lanes() for this direction answer a
//   query on a segment's right end as the tie point does: the walk's vector
//   route may then take such queries.
template <class S, class Key, class Answer>
concept SegmentKind = requires(S& segment, KeyReader<Key>& read, std::size_t k, Key key, Answer* out) {
    typename std::bool_constant<S::kAnswersAtEnds>;
    { S::set_up_now(k, key, key, key) } -> std::same_as<bool>;
    { segment.answer_run(PortablePath{}, read, k, k, key, key, out) } -> std::same_as<RunEnd>;
};

// A segment kind's kLanesAnswerEnds, false where it has none.
template <class S>
inline constexpr bool kLanesAnswerEnds = requires { requires S::kLanesAnswerEnds; };

// A segment kind's kKeepsFew, false where it has none.
template <class S>
inline constexpr bool kKeepsFew = requires { requires S::kKeepsFew; };

template <class X, class F>
class ForwardSegment;
template <class X, class F>
class InverseSegment;

}  // namespace rust
