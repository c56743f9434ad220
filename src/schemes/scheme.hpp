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

}  // namespace rust
