// Unit tests of the array access registry: which accesses conflict, and that guards release.
#include <gtest/gtest.h>

#include "access_registry.hpp"

namespace vorlane_py {
namespace {

constexpr AccessMode kShared = AccessMode::Shared;
constexpr AccessMode kExclusive = AccessMode::Exclusive;
constexpr AcquireResult kOk = AcquireResult::Acquired;
constexpr AcquireResult kConflict = AcquireResult::Conflict;

struct Case {
    AccessMode held;
    uintptr_t held_begin, held_end;
    AccessMode wanted;
    uintptr_t begin, end;
    AcquireResult expected;
};

class RegistryConflicts : public ::testing::TestWithParam<Case> {};

TEST_P(RegistryConflicts, FollowsModeAndOverlap) {
    const Case& c = GetParam();
    AccessGuard held;
    ASSERT_EQ(held.acquire(c.held_begin, c.held_end, c.held), kOk);
    AccessGuard wanted;
    EXPECT_EQ(wanted.acquire(c.begin, c.end, c.wanted), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryConflicts,
    ::testing::Values(Case{kShared, 100, 200, kShared, 150, 250, kOk},           // readers share
                      Case{kShared, 100, 200, kExclusive, 150, 250, kConflict},  // writer after reader
                      Case{kExclusive, 100, 200, kShared, 199, 300, kConflict},  // reader after writer
                      Case{kExclusive, 100, 200, kExclusive, 0, 101, kConflict},
                      Case{kExclusive, 100, 200, kExclusive, 200, 300, kOk},  // adjacent ranges are disjoint
                      Case{kExclusive, 100, 200, kShared, 0, 100, kOk},
                      Case{kExclusive, 100, 200, kExclusive, 150, 150, kOk},  // empty ranges never conflict
                      Case{kShared, 100, 200, kExclusive, 120, 130, kConflict}));

TEST(Registry, ReleaseEndsTheAccess) {
    AccessGuard writer;
    ASSERT_EQ(writer.acquire(1000, 2000, kExclusive), kOk);
    {
        AccessGuard reader;
        EXPECT_EQ(reader.acquire(1500, 1600, kShared), kConflict);
    }
    writer.release();
    AccessGuard reader;
    EXPECT_EQ(reader.acquire(1500, 1600, kShared), kOk);
    writer.release();  // releasing twice is harmless
    AccessGuard other_writer;
    EXPECT_EQ(other_writer.acquire(1000, 1100, kExclusive), kOk);
    EXPECT_EQ(other_writer.acquire(1500, 1600, kExclusive), kConflict);  // re-acquire drops the old one first
}

TEST(Registry, DestructionReleasesAndLeavesOthers) {
    AccessGuard first;
    ASSERT_EQ(first.acquire(10, 20, kShared), kOk);
    {
        AccessGuard second;
        ASSERT_EQ(second.acquire(10, 20, kShared), kOk);
    }
    AccessGuard writer;
    EXPECT_EQ(writer.acquire(15, 16, kExclusive), kConflict);  // first still holds
    first.release();
    EXPECT_EQ(writer.acquire(15, 16, kExclusive), kOk);
}

}  // namespace
}  // namespace vorlane_py
