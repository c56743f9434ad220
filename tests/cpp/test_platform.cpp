// The platform layer: large blocks on a huge-page boundary, writable to both ends, refused when impossible;
// the vector path a call runs on; the walk's step free of branches.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/pages.hpp"
#include "platform/select.hpp"
#include "platform/vector_path.hpp"

namespace {

using rust::platform::kHugePage;

TEST(HugeAligned, BlocksStartOnAHugePageAndHoldTheirWholeSize) {
    for (const std::size_t pages : {1, 2, 17}) {
        const std::size_t size = pages * kHugePage;
        void* block = rust::platform::allocate_huge_aligned(size);
        ASSERT_NE(block, nullptr) << pages << " huge pages";
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHugePage, 0U) << pages << " huge pages";
        // Every page written: a block cut short of its size, or a tail given
        // back with it, would fault here.
        auto* bytes = static_cast<unsigned char*>(block);
        std::memset(bytes, 0xA5, size);
        rust::platform::advise_huge_pages(block, size);
        EXPECT_EQ(bytes[0], 0xA5);
        EXPECT_EQ(bytes[size - 1], 0xA5);
        rust::platform::free_huge_aligned(block, size);
    }
}

// A size whose alignment slack would wrap around is refused, not wrapped.
TEST(HugeAligned, ImpossibleSizesAreRefused) {
    const std::size_t largest = std::numeric_limits<std::size_t>::max() & ~(kHugePage - 1);
    EXPECT_EQ(rust::platform::allocate_huge_aligned(largest), nullptr);
}

// The path a call runs on follows the test switch, and the CPU where the
// switch is on: a dispatch that ignored either would leave one path untested.
TEST(VectorPath, FollowsTheSwitchAndTheCpu) {
    const auto lanes = [] { return rust::with_vector_path([](auto path) { return decltype(path)::kLanes; }); };
    rust::enable_lanes(false);
    EXPECT_FALSE(lanes());
    rust::enable_lanes(true);
    EXPECT_EQ(lanes(), rust::detail::cpu_has_lanes());
}

// A step moves all three or none, on the unsigned order (keys with the top bit
// set are the largest; a signed compare would take them for the smallest), and
// not on a key equal to hi.
TEST(StepIfBelow, MovesHiNextAndIndexTogetherOnlyPastHi) {
    constexpr std::uint64_t top = std::uint64_t{1} << 63;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t key, hi, next, ahead;
        bool steps;
    };
    for (const Case c : {Case{5, 4, 9, 12, true}, Case{4, 4, 9, 12, false}, Case{3, 4, 9, 12, false},
                         Case{top, top - 1, top + 7, max, true}, Case{top - 1, top, top + 7, max, false},
                         Case{max, max - 1, max, max, true}, Case{0, max, max, max, false}}) {
        std::uint64_t hi = c.hi;
        std::uint64_t next = c.next;
        std::size_t i = 41;
        rust::platform::step_if_below(c.key, hi, next, c.ahead, i);
        EXPECT_EQ(hi, c.steps ? c.next : c.hi) << c.key << " against " << c.hi;
        EXPECT_EQ(next, c.steps ? c.ahead : c.next) << c.key << " against " << c.hi;
        EXPECT_EQ(i, c.steps ? 42U : 41U) << c.key << " against " << c.hi;
    }
}

}  // namespace
