// An owned block of bytes that knows its size: one chip's pedestal values.
#pragma once

#include <cstddef>
#include <memory>

class DataBlock {
  public:
    // Copies `size` bytes from `source`, or zero-fills them when `source` is null. A negative
    // size holds nothing.
    DataBlock(int size, const char* source);
    ~DataBlock();
    DataBlock(const DataBlock&) = delete;
    DataBlock& operator=(const DataBlock&) = delete;

    // Becomes a copy of `other`.
    void cpy(const DataBlock& other);

    char* data() { return data_; }
    const char* data() const { return data_; }
    int size() const { return size_; }

    // Block objects come from the class's own allocator.
    static void* operator new(std::size_t size);
    static void operator delete(void* block);

    static std::allocator<char> data_allocator;
    static std::allocator<DataBlock> buffer_allocator;

  private:
    void release();

    int size_ = 0;
    char* data_ = nullptr;
};
