#include <gtest/gtest.h>

#include "runtime/memory.hpp"

#include <cstdint>

TEST(MemoryDeathTest, AllocationFailureReportsTheSizeAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Under qemu-user the emulator reports the abort on a line of its own.
    EXPECT_DEATH(kestro::allocation_failed(12345),
                 "^memory allocation of 12345 bytes failed\n(qemu: uncaught target signal 6 [^\n]*\n)?$");
}

TEST(MemoryDeathTest, SizeOverflowIsFatalToo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(kestro::checked_size(SIZE_MAX / 2, 3), "memory allocation of [0-9]+ bytes failed");
    EXPECT_DEATH(kestro::alloc_or_die(SIZE_MAX / 2 + 1), "memory allocation of [0-9]+ bytes failed");
}

TEST(Memory, CheckedSizeMultiplies) {
    EXPECT_EQ(kestro::checked_size(7, 24), 168u);
    EXPECT_EQ(kestro::checked_size(0, SIZE_MAX), 0u);
}

TEST(Memory, BlocksComeFromTheInterpreterAllocator) {
    kestro::MemBlock<uint64_t> block(kestro::alloc_records<uint64_t>(16));
    ASSERT_TRUE(block);
    for (size_t i = 0; i < 16; ++i) block[i] = i;
    EXPECT_EQ(block[15], 15u);
}
