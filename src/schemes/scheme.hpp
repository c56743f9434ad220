// The per-segment schemes, one specialisation per (position, value) type pair.
#pragma once

namespace rust {

// Scheme<X, F> provides
//   static F forward(X x, X x0, X x1, F f0, F f1);
//       the value at a position strictly inside the segment, x0 < x < x1;
//       f0 and f1 may stand in any order.
//   static std::optional<X> inverse(F f, X x0, X x1, F f0, F f1, Method m);
//       a position for a value strictly inside the segment, f0 < f < f1, or
//       nothing when m is Exact and no whole position matches; x0 and x1 may
//       stand in any order, even be equal.
// The table calls them for nothing else: exact hits and queries outside the
// table never reach a scheme.
template <class X, class F>
struct Scheme;

// One segment set up for many queries in a row, as sorted queries ask: each
// scheme specialises these to do its per-segment work once.
//   ForwardSegment<X, F>(x0, x1, f0, f1), then segment(x) == forward(x, x0, x1, f0, f1)
//   InverseSegment<X, F>(x0, x1, f0, f1), then segment(f, m) == inverse(f, x0, x1, f0, f1, m)
// Results are exactly the scheme's. A segment is set up only for a query
// strictly inside it, so a failure of the segment's own values (a float
// segment's non-finite end) is still raised by the query that reaches it.
template <class X, class F>
class ForwardSegment;
template <class X, class F>
class InverseSegment;

}  // namespace rust
