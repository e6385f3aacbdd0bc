// A first-in first-out queue of owned blocks with a capacity. The buffer counts as full above
// its capacity, so a buffer of capacity 500 holds at most 501 blocks.
#pragma once

#include <deque>

#include "module/DataBlock.h"

class DataBuffer {
  public:
    explicit DataBuffer(int capacity) : capacity_(capacity) {}
    ~DataBuffer();
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;

    int items_left() const { return static_cast<int>(queue_.size()); }
    bool full() const { return queue_.size() > static_cast<unsigned>(capacity_); }
    int capacity() const { return capacity_; }
    // The most blocks the buffer ever holds.
    int max_items() const { return capacity_ + 1; }

    // Appends the block, or frees it at once when the buffer is full.
    void push_block(DataBlock* block);
    // The oldest block, now the caller's; null when empty.
    DataBlock* get_block();
    void flush();

  private:
    std::deque<DataBlock*> queue_;
    int capacity_;
};
