// One engine's side of the float_engines target and of the engine_sides unit
// test. Compiled once per engine: as is for the x87 engine (ENGINE_SIDE=x87),
// with -DRUST_ENGINE_MPFR=1 -Drust=rust_mpfr -DENGINE_SIDE=mpfr, and with
// -DRUST_ENGINE_SOFT=1 -Drust=rust_soft -DENGINE_SIDE=soft, the core's
// namespace renamed so that the copies link together.
#include "engine_side.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "extended/fpu_scope.hpp"
#include "panic.hpp"
#include "piecewise/interp.hpp"
#include "piecewise/interp_error.hpp"
#include "schemes/method.hpp"
#include "piecewise/sequence.hpp"
#include "schemes/float.hpp"
#include "../cpp/sequences.hpp"

#ifndef ENGINE_SIDE
#error "ENGINE_SIDE names the engine: x87, mpfr or soft"
#endif

namespace {

using u64 = std::uint64_t;
using engine_side::Result;

Result panicked(const rust::Panic& p) {
    Result r;
    r.panicked = true;
    r.message = p.what();
    return r;
}

// The arithmetic runs inside the scope; the result leaves it through memory.
Result forward(u64 x, u64 x0, u64 x1, double f0, double f1) {
    Result r;
    try {
        const rust::FpuScope scope;
        r.bits = std::bit_cast<u64>(rust::Scheme<u64, double>::forward(x, x0, x1, f0, f1));
    } catch (const rust::Panic& p) {
        return panicked(p);
    }
    return r;
}

Result inverse(double f, u64 x0, u64 x1, double f0, double f1, int method) {
    Result r;
    try {
        const rust::FpuScope scope;
        const std::optional<u64> x =
            rust::Scheme<u64, double>::inverse(f, x0, x1, f0, f1, static_cast<rust::Method>(method));
        if (x) {
            r.bits = *x;
        } else {
            r.error = 0;
        }
    } catch (const rust::Panic& p) {
        return panicked(p);
    }
    return r;
}

Result walk(const std::vector<u64>& xp, const std::vector<double>& fp, const std::vector<u64>& xq,
            const std::vector<double>& fq, int method) {
    Result r;
    try {
        const rust::Interp<u64, double> table(to_sequence(xp), to_sequence(fp));
        std::optional<rust::InterpError> error;
        const rust::FpuScope scope;
        if (method < 0) {
            std::vector<double> out(xq.size());
            error = table.forward_into(xq.size(), [&](std::size_t k) { return xq[k]; }, out.data());
            for (const double v : out) {
                r.out.push_back(std::bit_cast<u64>(v));
            }
        } else {
            r.out.resize(fq.size());
            error = table.inverse_into(fq.size(), [&](std::size_t k) { return fq[k]; },
                                       static_cast<rust::Method>(method), r.out.data());
        }
        if (error) {
            // Outputs past a failure are unspecified, so only its kind is kept.
            r.error = static_cast<int>(*error);
            r.out.clear();
        }
    } catch (const rust::Panic& p) {
        return panicked(p);
    }
    return r;
}

}  // namespace

namespace engine_side {
#define ENGINE_SIDE_NAME_(side) #side
#define ENGINE_SIDE_NAME(side) ENGINE_SIDE_NAME_(side)
extern const Side ENGINE_SIDE = {ENGINE_SIDE_NAME(ENGINE_SIDE), forward, inverse, walk};
}  // namespace engine_side
