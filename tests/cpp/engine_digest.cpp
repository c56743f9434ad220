// Hashes the results of a fixed stream of F80 operations; builds on the three engines must print the same digest.
//
// Only one engine is compiled into a binary, so the engines are compared by
// building this program once with each and comparing the "digest" lines:
//   g++ -std=c++20 -O2 -Isrc tests/cpp/engine_digest.cpp -o digest_x87
//   g++ -std=c++20 -O2 -Isrc -DRUST_ENGINE_MPFR=1 tests/cpp/engine_digest.cpp -o digest_mpfr -lmpfr -lgmp
//   g++ -std=c++20 -O2 -Isrc -DRUST_ENGINE_SOFT=1 tests/cpp/engine_digest.cpp -o digest_soft
// The first line names the engine ("engine: soft").
// An optional argument sets the number of rounds (default 2000000).
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "extended/f80.hpp"

namespace {

using rust::F80;

// splitmix64: a fixed, portable stream (the standard distributions are not).
class Stream {
public:
    explicit Stream(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t state_;
};

struct Tally {
    std::uint64_t hash = 0x6A09E667F3BCC908;
    std::uint64_t results = 0;
    std::uint64_t zeros = 0;
    std::uint64_t beyond_f64 = 0;  // exponent outside binary64's normal range
    std::uint64_t clamped = 0;     // to_u64 at 2^64 - 1 from 2^64 or more

    void mix(std::uint64_t v) {
        hash ^= v;
        hash *= 0x100000001B3;
        hash ^= hash >> 29;
    }

    // Everything a result shows: its parts and both conversions out.
    void add(const F80& x) {
        const F80::Parts p = x.parts();
        mix(p.zero);
        mix(p.negative);
        mix(p.m);
        mix(static_cast<std::uint32_t>(p.e));
        mix(std::bit_cast<std::uint64_t>(x.to_f64()));
        const std::uint64_t u = x.to_u64();
        mix(u);
        ++results;
        zeros += p.zero;
        beyond_f64 += !p.zero && (p.e > 1024 || p.e < -1021);
        clamped += !p.zero && !p.negative && p.e > 64;
    }
};

// Operands from four families: any finite binary64 (every exponent), binary64
// values near a shared exponent (so that sums and differences overlap and round
// at every alignment), positions of every width, and small multiples of 1/4
// (halfway cases for round, floor and ceil).
F80 operand(Stream& s, int base_exponent) {
    switch (s.below(4)) {
        case 0: {
            std::uint64_t b;
            do {
                b = s.next();
            } while (((b >> 52) & 0x7FF) == 0x7FF);
            return F80::from_value(std::bit_cast<double>(b));
        }
        case 1: {
            int biased = base_exponent + s.below(141) - 70;
            biased = biased < 0 ? 0 : (biased > 2046 ? 2046 : biased);
            const std::uint64_t b = (s.next() & 0x800FFFFFFFFFFFFF) | (static_cast<std::uint64_t>(biased) << 52);
            return F80::from_value(std::bit_cast<double>(b));
        }
        case 2:
            return F80::from_position(s.next() >> s.below(64));
        default:
            return F80::from_value(static_cast<double>(s.below(257) - 128) / 4.0);
    }
}

F80 apply(int op, const F80& a, const F80& b) {
    switch (op) {
        case 0:
            return a + b;
        case 1:
            return a - b;
        case 2:
            return a * b;
        default:
            return a / b;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000000;
    const rust::FpuScope scope;
    Stream s(0x5EED0F80);
    Tally t;
    for (long i = 0; i < rounds; ++i) {
        const int base = s.below(2047);
        const F80 a = operand(s, base);
        const F80 b = operand(s, base);
        const F80 c = operand(s, base);
        t.add(a);
        for (int op = 0; op < 4; ++op) {
            if (op == 3 && b.parts().zero) {
                continue;  // division by zero is never asked of F80
            }
            const F80 r = apply(op, a, b);
            t.add(r);
            // A second step reaches exponents that no single step from binary64 does.
            const int op2 = s.below(4);
            if (!(op2 == 3 && c.parts().zero)) {
                t.add(apply(op2, r, c));
            }
        }
        t.add(a.round());
        t.add(a.floor());
        t.add(a.ceil());
        const F80 q = a / F80::from_value(4.0);
        t.add(q.round());
        t.add(q.floor());
        t.add(q.ceil());
    }
    std::printf("engine: %s\n", F80::kEngineName);
    std::printf("digest: rounds=%ld results=%llu zeros=%llu beyond_f64=%llu clamped=%llu hash=%016llx\n", rounds,
                static_cast<unsigned long long>(t.results), static_cast<unsigned long long>(t.zeros),
                static_cast<unsigned long long>(t.beyond_f64), static_cast<unsigned long long>(t.clamped),
                static_cast<unsigned long long>(t.hash));
    return 0;
}
