// libFuzzer target: Divisor and div_rem against exact 128-bit division, and
// every rounding rule against its own plain statement.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fuzzer/FuzzedDataProvider.h>

#include "divop/divop.hpp"
#include "panic.hpp"

namespace {

namespace dv = rust::divop;
using u64 = std::uint64_t;
using dv::u128;

constexpr u128 kU64Limit = u128{1} << 64;

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
    check(dv::div_floor(n, d) == ref.floor, "div_floor", n, d, dv::div_floor(n, d), ref.floor);
    if (ref.ceil < kU64Limit) {
        check(dv::round_ceil(qr) == ref.ceil, "round_ceil", n, d, dv::round_ceil(qr), ref.ceil);
        check(dv::div_ceil(n, d) == ref.ceil, "div_ceil", n, d, dv::div_ceil(n, d), ref.ceil);
    }
    if (ref.nearest < kU64Limit) {
        check(dv::round_nearest(qr, d) == ref.nearest, "round_nearest", n, d, dv::round_nearest(qr, d), ref.nearest);
        check(dv::div_nearest(n, d) == ref.nearest, "div_nearest", n, d, dv::div_nearest(n, d), ref.nearest);
    }
    const std::optional<u64> exact = dv::round_exact(qr);
    const std::optional<u64> div_exact = dv::div_exact(n, d);
    check(exact.has_value() == ref.exact, "round_exact found", n, d, exact.has_value(), ref.exact);
    check(div_exact.has_value() == ref.exact, "div_exact found", n, d, div_exact.has_value(), ref.exact);
    if (ref.exact) {
        check(*exact == ref.floor, "round_exact", n, d, *exact, ref.floor);
        check(*div_exact == ref.floor, "div_exact", n, d, *div_exact, ref.floor);
    }
}

void check_one(const dv::Divisor& divisor, u128 n) {
    const u64 d = divisor.value();
    const bool overflow = static_cast<u64>(n >> 64) >= d;
    if (overflow) {
        const char* want = "attempt to divide with overflow";
        expect_panic(panic_of([&] { divisor.div_rem(n); }), want, "Divisor::div_rem overflow", n, d);
        expect_panic(panic_of([&] { dv::div_rem(n, d); }), want, "div_rem overflow", n, d);
        expect_panic(panic_of([&] { dv::div_nearest(n, d); }), want, "div_nearest overflow", n, d);
        expect_panic(panic_of([&] { dv::div_floor(n, d); }), want, "div_floor overflow", n, d);
        expect_panic(panic_of([&] { dv::div_ceil(n, d); }), want, "div_ceil overflow", n, d);
        expect_panic(panic_of([&] { dv::div_exact(n, d); }), want, "div_exact overflow", n, d);
        return;
    }
    const u128 q = n / d;
    const u128 r = n % d;
    const dv::QuotRem fast = divisor.div_rem(n);
    const dv::QuotRem plain = dv::div_rem(n, d);
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
        expect_panic(panic_of([&] { dv::div_rem(n, 0); }), want, "div_rem by zero", n, d);
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
