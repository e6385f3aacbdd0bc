// The pedestal block buffer: capacity rule, first-in first-out order and ownership.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "module/DataBuffer.h"

namespace {

DataBlock* numbered_block(int n) {
    return new DataBlock(static_cast<int>(sizeof(n)), reinterpret_cast<const char*>(&n));
}

int number_of(const DataBlock& block) {
    int n = 0;
    std::memcpy(&n, block.data(), sizeof(n));
    return n;
}

TEST(DataBlock, zero_size_without_source_holds_nothing) {
    DataBlock block(0, nullptr);
    EXPECT_EQ(block.size(), 0);
}

TEST(DataBlock, without_source_the_bytes_are_zero) {
    DataBlock block(256, nullptr);
    ASSERT_EQ(block.size(), 256);
    ASSERT_NE(block.data(), nullptr);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(block.data()[i], 0) << "byte " << i;
}

TEST(DataBlock, with_source_the_bytes_are_a_copy) {
    char source[5] = {1, 2, 3, 4, 5};
    DataBlock block(5, source);
    source[0] = 99;
    ASSERT_EQ(block.size(), 5);
    EXPECT_EQ(block.data()[0], 1) << "the block must own a copy, not the caller's bytes";
    EXPECT_EQ(block.data()[4], 5);
}

TEST(DataBlock, cpy_takes_over_size_and_a_copy_of_the_bytes) {
    const char source[3] = {7, 8, 9};
    DataBlock original(3, source);
    DataBlock copy(10, nullptr);
    copy.cpy(original);
    ASSERT_EQ(copy.size(), 3);
    EXPECT_NE(copy.data(), original.data());
    EXPECT_EQ(std::memcmp(copy.data(), source, 3), 0);
}

TEST(DataBuffer, capacity_500_accepts_501_blocks_and_frees_the_502nd) {
    DataBuffer buffer(500);
    for (int n = 1; n <= 501; ++n) {
        ASSERT_FALSE(buffer.full()) << "full too early, holding " << buffer.items_left();
        buffer.push_block(numbered_block(n));
        ASSERT_EQ(buffer.items_left(), n);
    }
    EXPECT_TRUE(buffer.full());
    buffer.push_block(numbered_block(502));
    EXPECT_EQ(buffer.items_left(), 501);

    for (int n = 1; n <= 501; ++n) {
        std::unique_ptr<DataBlock> block(buffer.get_block());
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(number_of(*block), n) << "blocks must come out in the order they went in";
    }
    EXPECT_EQ(buffer.get_block(), nullptr) << "the refused block must not have been queued";
}

TEST(DataBuffer, full_only_above_the_capacity) {
    DataBuffer buffer(2);
    buffer.push_block(numbered_block(1));
    buffer.push_block(numbered_block(2));
    EXPECT_FALSE(buffer.full());
    buffer.push_block(numbered_block(3));
    EXPECT_TRUE(buffer.full());
    EXPECT_EQ(buffer.items_left(), 3);
}

TEST(DataBuffer, taking_a_block_makes_room_again) {
    DataBuffer buffer(1);
    buffer.push_block(numbered_block(1));
    buffer.push_block(numbered_block(2));
    ASSERT_TRUE(buffer.full());
    delete buffer.get_block();
    EXPECT_FALSE(buffer.full());
    buffer.push_block(numbered_block(3));
    std::unique_ptr<DataBlock> second(buffer.get_block());
    std::unique_ptr<DataBlock> third(buffer.get_block());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(number_of(*second), 2);
    EXPECT_EQ(number_of(*third), 3);
}

TEST(DataBuffer, get_block_on_empty_buffer_gives_null) {
    DataBuffer buffer(500);
    EXPECT_EQ(buffer.get_block(), nullptr);
    EXPECT_EQ(buffer.items_left(), 0);
}

TEST(DataBuffer, flush_on_empty_buffer_does_nothing) {
    DataBuffer buffer(500);
    buffer.flush();
    EXPECT_EQ(buffer.items_left(), 0);
    EXPECT_FALSE(buffer.full());
}

TEST(DataBuffer, flush_empties_the_buffer) {
    DataBuffer buffer(500);
    for (int n = 0; n < 10; ++n) buffer.push_block(numbered_block(n));
    buffer.flush();
    EXPECT_EQ(buffer.items_left(), 0);
    EXPECT_EQ(buffer.get_block(), nullptr);
}

TEST(DataBuffer, destruction_frees_the_blocks_still_held) {
    // Leaks would show under the address sanitizer build.
    DataBuffer buffer(500);
    for (int n = 0; n < 20; ++n) buffer.push_block(new DataBlock(128, nullptr));
    EXPECT_EQ(buffer.items_left(), 20);
}

}  // namespace
