// libFuzzer target: Divisor and div_rem against exact 128-bit division, every
// rounding rule against its own plain statement, and the two-word 128-bit
// integer and word division (which stand in for the compiler's own where it has
// none) against the compiler's. Built as is and, as divisor_wide, with
// RUST_PORTABLE_WIDE=1, so that the divisions themselves run on two words.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fuzzer/FuzzedDataProvider.h>

#include "divop/divop.hpp"
#include "panic.hpp"
#include "platform/divide.hpp"
#include "platform/wide.hpp"

namespace {

namespace dv = rust::divop;
namespace pf = rust::platform;
using u64 = std::uint64_t;
// The reference: the compiler's own 128-bit integer, whichever dv::u128 is.
__extension__ typedef unsigned __int128 u128;

constexpr u128 kU64Limit = u128{1} << 64;

dv::u128 wide_of(u128 n) { return pf::from_words(static_cast<u64>(n >> 64), static_cast<u64>(n)); }
u128 exact_of(pf::Wide w) { return (static_cast<u128>(w.high()) << 64) | w.low(); }

[[noreturn]] void mismatch(const char* what, u128 n, u64 d, u128 got, u128 want) {
    std::fprintf(stderr, "divisor mismatch: %s\n  n = 0x%016llx%016llx, d = 0x%016llx\n  got 0x%016llx%016llx, want 0x%016llx%016llx\n",
                 what, static_cast<unsigned long long>(n >> 64), static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(d), static_cast<unsigned long long>(got >> 64),
                 static_cast<unsigned long long>(got), static_cast<unsigned long long>(want >> 64),
                 static_cast<unsigned long long>(want));
    __builtin_trap();
}

void check(bool ok, const char* what, u128 n, u64 d, u128 got, u128 want) {
    if (!ok) {
        mismatch(what, n, d, got, want);
    }
}

// Runs call and returns the Panic's message, or nullptr when it returned.
template <class Call>
const char* panic_of(Call&& call) {
    try {
        call();
    } catch (const rust::Panic& p) {
        return p.what();
    }
    return nullptr;
}

void expect_panic(const char* got, const char* want, const char* what, u128 n, u64 d) {
    if (got == nullptr || std::strcmp(got, want) != 0) {
        std::fprintf(stderr, "divisor mismatch: %s: expected Panic \"%s\", got %s%s%s\n", what, want,
                     got ? "\"" : "no Panic", got ? got : "", got ? "\"" : "");
        mismatch(what, n, d, 0, 0);
    }
}

// A numerator and divisor shaped towards the cases the rules single out: exact
// multiples, remainders at and beside d/2, quotients at the top of 64 bits,
// powers of two and divisors with the top bit set or clear.
u64 shape_divisor(FuzzedDataProvider& in) {
    const u64 raw = in.ConsumeIntegral<u64>();
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
        case 0: return raw;
        case 1: return raw & 0xFF;                               // small, often even
        case 2: return u64{1} << (raw % 64);                     // a power of two: shift by its exponent
        case 3: return raw | (u64{1} << 63);                     // normalised already: no shift
        case 4: return ~u64{0} - (raw & 0xF);                    // at the top of the range
        case 5: return (raw >> (raw & 63)) | 1;                  // odd, any length
        default: return raw >> (raw & 63);                       // any length, zero included
    }
}

u128 shape_numerator(FuzzedDataProvider& in, u64 d) {
    const u64 hi = in.ConsumeIntegral<u64>();
    const u64 lo = in.ConsumeIntegral<u64>();
    const u128 raw = (static_cast<u128>(hi) << 64) | lo;
    if (d == 0) {
        return raw;
    }
    // q * d + r with q < 2^64 and r < d stays below d * 2^64: within the contract.
    const u64 q = in.ConsumeBool() ? hi : ~u64{0} - (hi & 0xF);
    u64 r;
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0: return raw;                                      // often outside the contract
        case 1: return raw % (static_cast<u128>(d) << 64);       // anywhere within it
        case 2: r = 0; break;                                    // exact multiple
        case 3: r = d / 2; break;                                // the tie when d is even
        case 4: r = d / 2 + (d & 1); break;                      // just above half for odd d
        case 5: r = (d - 1) / 2; break;                          // just below half
        case 6: r = d - 1; break;                                // the largest remainder
        case 7: r = (d > 1) ? 1 : 0; break;
        default: r = lo % d; break;
    }
    return static_cast<u128>(q) * d + r;
}

// The rules, stated directly on n and d in 128 bits (the quotient itself may
// be 2^64 after rounding up; such a result is outside what the rules promise).
struct Reference {
    u128 floor, ceil, nearest;
    bool exact;
};

Reference reference(u128 n, u64 d) {
    const u128 q = n / d;
    const u128 r = n % d;
    Reference ref{};
    ref.floor = q;
    // n + d - 1 < d * 2^64 + d <= 2^128: no wrap.
    ref.ceil = (n + (d - 1)) / d;
    // 2r < 2^65: compare in 128 bits; ties go to the even quotient.
    const u128 twice = 2 * r;
    ref.nearest = q + ((twice > d || (twice == d && (q & 1) != 0)) ? 1 : 0);
    ref.exact = r == 0;
    return ref;
}

void check_rules(u128 n, u64 d, dv::QuotRem qr) {
    const Reference ref = reference(n, d);
    check(dv::round_floor(qr) == ref.floor, "round_floor", n, d, dv::round_floor(qr), ref.floor);
    check(dv::div_floor(wide_of(n), d) == ref.floor, "div_floor", n, d, dv::div_floor(wide_of(n), d), ref.floor);
    if (ref.ceil < kU64Limit) {
        check(dv::round_ceil(qr) == ref.ceil, "round_ceil", n, d, dv::round_ceil(qr), ref.ceil);
        check(dv::div_ceil(wide_of(n), d) == ref.ceil, "div_ceil", n, d, dv::div_ceil(wide_of(n), d), ref.ceil);
    }
    if (ref.nearest < kU64Limit) {
        check(dv::round_nearest(qr, d) == ref.nearest, "round_nearest", n, d, dv::round_nearest(qr, d), ref.nearest);
        check(dv::div_nearest(wide_of(n), d) == ref.nearest, "div_nearest", n, d, dv::div_nearest(wide_of(n), d), ref.nearest);
    }
    const std::optional<u64> exact = dv::round_exact(qr);
    const std::optional<u64> div_exact = dv::div_exact(wide_of(n), d);
    check(exact.has_value() == ref.exact, "round_exact found", n, d, exact.has_value(), ref.exact);
    check(div_exact.has_value() == ref.exact, "div_exact found", n, d, div_exact.has_value(), ref.exact);
    if (ref.exact) {
        check(*exact == ref.floor, "round_exact", n, d, *exact, ref.floor);
        check(*div_exact == ref.floor, "div_exact", n, d, *div_exact, ref.floor);
    }
}

// The two-word integer's operators on n and d, and the word division in
// 64-bit arithmetic where its contract holds, against the compiler's.
void check_portable(u128 n, u64 d) {
    const pf::Wide w = pf::Wide::from_words(static_cast<u64>(n >> 64), static_cast<u64>(n));
    const unsigned s = static_cast<unsigned>(d % 128);
    check(exact_of(w * d) == n * d, "Wide *", n, d, exact_of(w * d), n * d);
    check(exact_of(w + d) == n + d, "Wide +", n, d, exact_of(w + d), n + d);
    check(exact_of(w - d) == n - d, "Wide -", n, d, exact_of(w - d), n - d);
    check(exact_of(w << s) == n << s, "Wide <<", n, d, exact_of(w << s), n << s);
    check(exact_of(w >> s) == n >> s, "Wide >>", n, d, exact_of(w >> s), n >> s);
    check(exact_of(w & ~pf::Wide(d)) == (n & ~static_cast<u128>(d)), "Wide & ~", n, d, exact_of(w & ~pf::Wide(d)),
          n & ~static_cast<u128>(d));
    check(exact_of(w | d) == (n | d), "Wide |", n, d, exact_of(w | d), n | d);
    check((w < d) == (n < d) && (w == d) == (n == d), "Wide comparison", n, d, w < d, n < d);
    const u64 lo = static_cast<u64>(n);
    check(exact_of(pf::Wide::product(lo, d)) == static_cast<u128>(lo) * d, "Wide::product", n, d,
          exact_of(pf::Wide::product(lo, d)), static_cast<u128>(lo) * d);
    if (d != 0 && static_cast<u64>(n >> 64) < d) {
        const pf::WordDivision qr = pf::divide_words_portable(static_cast<u64>(n >> 64), lo, d);
        check(qr.q == n / d, "divide_words_portable quotient", n, d, qr.q, n / d);
        check(qr.r == n % d, "divide_words_portable remainder", n, d, qr.r, n % d);
    }
}

void check_one(const dv::Divisor& divisor, u128 n) {
    const u64 d = divisor.value();
    check_portable(n, d);
    const bool overflow = static_cast<u64>(n >> 64) >= d;
    if (overflow) {
        const char* want = "attempt to divide with overflow";
        expect_panic(panic_of([&] { divisor.div_rem(wide_of(n)); }), want, "Divisor::div_rem overflow", n, d);
        expect_panic(panic_of([&] { dv::div_rem(wide_of(n), d); }), want, "div_rem overflow", n, d);
        expect_panic(panic_of([&] { dv::div_nearest(wide_of(n), d); }), want, "div_nearest overflow", n, d);
        expect_panic(panic_of([&] { dv::div_floor(wide_of(n), d); }), want, "div_floor overflow", n, d);
        expect_panic(panic_of([&] { dv::div_ceil(wide_of(n), d); }), want, "div_ceil overflow", n, d);
        expect_panic(panic_of([&] { dv::div_exact(wide_of(n), d); }), want, "div_exact overflow", n, d);
        return;
    }
    const u128 q = n / d;
    const u128 r = n % d;
    const dv::QuotRem fast = divisor.div_rem(wide_of(n));
    const dv::QuotRem plain = dv::div_rem(wide_of(n), d);
    check(fast.q == q, "Divisor quotient", n, d, fast.q, q);
    check(fast.r == r, "Divisor remainder", n, d, fast.r, r);
    check(plain.q == q, "div_rem quotient", n, d, plain.q, q);
    check(plain.r == r, "div_rem remainder", n, d, plain.r, r);
    check_rules(n, d, fast);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const u64 d = shape_divisor(in);
    if (d == 0) {
        const u128 n = shape_numerator(in, d);
        const char* want = "attempt to divide by zero";
        expect_panic(panic_of([&] { dv::Divisor zero(0); }), want, "Divisor(0)", n, d);
        expect_panic(panic_of([&] { dv::div_rem(wide_of(n), 0); }), want, "div_rem by zero", n, d);
        return 0;
    }
    // One divisor prepared for several numerators, as a segment uses it.
    const dv::Divisor divisor(d);
    check(divisor.value() == d, "Divisor::value", 0, d, divisor.value(), d);
    do {
        check_one(divisor, shape_numerator(in, d));
    } while (in.remaining_bytes() >= 16);
    return 0;
}
