// The per-segment schemes, one specialisation per (position, value) type pair.
#pragma once

#include <optional>

#include "piecewise/method.hpp"

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

// One segment set up for many queries in a row, as sorted queries ask: a scheme
// may specialise these to do its per-segment work once. A specialisation gives
// exactly the scheme's results; these primary templates just call the scheme.
// Constructed only for a query strictly inside the segment, so a failure of the
// segment's own values is still raised by the query that reaches it.
template <class X, class F>
class ForwardSegment {
public:
    ForwardSegment(X x0, X x1, F f0, F f1) : x0_(x0), x1_(x1), f0_(f0), f1_(f1) {}
    F operator()(X x) const { return Scheme<X, F>::forward(x, x0_, x1_, f0_, f1_); }

private:
    X x0_, x1_;
    F f0_, f1_;
};

template <class X, class F>
class InverseSegment {
public:
    InverseSegment(X x0, X x1, F f0, F f1) : x0_(x0), x1_(x1), f0_(f0), f1_(f1) {}
    std::optional<X> operator()(F f, Method method) const {
        return Scheme<X, F>::inverse(f, x0_, x1_, f0_, f1_, method);
    }

private:
    X x0_, x1_;
    F f0_, f1_;
};

}  // namespace rust
