// One batch call of the float kernels, repeated: the program that
// bench/instructions.sh counts the instructions of, under qemu-user.
//
//   walk FUNCTION VALUES ORDER N_TIE_POINTS CALLS
//     FUNCTION  forward | inverse (method "nearest")
//     VALUES    half (every step of the arithmetic exact) | real
//     ORDER     even | random
//
// The table, the queries and the set-up are the same whatever CALLS is, so the
// count of two calls less the count of one is one call's: kQueries queries.
// The tables follow the benchmark's: random gaps between positions, and values
// rising by half-integers or by real steps of 3.25 x uniform(0.5, 1.5).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../../tests/cpp/sequences.hpp"
#include "extended/fpu_scope.hpp"
#include "piecewise/interp.hpp"
#include "schemes/float.hpp"

namespace {

using u64 = std::uint64_t;

constexpr std::size_t kQueries = 5000;

// splitmix64: the same stream on every CPU and compiler.
class Stream {
public:
    u64 next() {
        u64 z = (state_ += 0x9E3779B97F4A7C15);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }

private:
    u64 state_ = 20261208;
};

int usage() {
    std::fprintf(stderr, "usage: walk forward|inverse half|real even|random N_TIE_POINTS CALLS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        return usage();
    }
    const bool forward = std::strcmp(argv[1], "forward") == 0;
    const bool real = std::strcmp(argv[2], "real") == 0;
    const bool even = std::strcmp(argv[3], "even") == 0;
    const std::size_t n = std::strtoul(argv[4], nullptr, 10);
    const std::size_t calls = std::strtoul(argv[5], nullptr, 10);
    if (n < 2) {
        return usage();
    }

    Stream stream;
    std::vector<u64> xp(n);
    std::vector<double> fp(n);
    u64 x = 1000;
    double value = 12.5;
    for (std::size_t i = 0; i < n; ++i) {
        xp[i] = x;
        fp[i] = value;
        x += 1 + stream.next() % 200000;
        value += real ? (0.5 + stream.unit()) * 3.25 : 0.5 * static_cast<double>(1 + stream.next() % 10);
    }
    const u64 width = xp[n - 1] - xp[0];
    std::vector<u64> xq(kQueries);
    for (std::size_t k = 0; k < kQueries; ++k) {
        xq[k] = xp[0] + (even ? width / kQueries * k : stream.next() % width);
    }

    const rust::Interp<u64, double> table(to_sequence(xp), to_sequence(fp));
    const rust::FpuScope scope;
    // The inverse queries are the values at the forward ones.
    std::vector<double> fq(kQueries);
    if (table.forward_into(kQueries, [&](std::size_t k) { return xq[k]; }, fq.data())) {
        return 1;
    }
    std::vector<double> values(kQueries);
    std::vector<u64> positions(kQueries);
    u64 sum = 0;
    for (std::size_t c = 0; c < calls; ++c) {
        const bool failed =
            forward ? table.forward_into(kQueries, [&](std::size_t k) { return xq[k]; }, values.data()).has_value()
                    : table.inverse_into(kQueries, [&](std::size_t k) { return fq[k]; }, rust::Method::Nearest,
                                         positions.data()).has_value();
        if (failed) {
            return 1;
        }
        sum += forward ? static_cast<u64>(values[c % kQueries]) : positions[c % kQueries];
    }
    // Printed, so that no call can be left out as unused.
    std::printf("%llu\n", static_cast<unsigned long long>(sum));
    return 0;
}
