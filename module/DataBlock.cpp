#include "module/DataBlock.h"

#include <cstring>

std::allocator<char> DataBlock::data_allocator;
std::allocator<DataBlock> DataBlock::buffer_allocator;

DataBlock::DataBlock(int size, const char* source) : size_(size > 0 ? size : 0) {
    if (size_ == 0) return;
    data_ = data_allocator.allocate(static_cast<size_t>(size_));
    if (source != nullptr) {
        std::memcpy(data_, source, static_cast<size_t>(size_));
    } else {
        std::memset(data_, 0, static_cast<size_t>(size_));
    }
}

DataBlock::~DataBlock() { release(); }

void DataBlock::release() {
    if (data_ != nullptr) data_allocator.deallocate(data_, static_cast<size_t>(size_));
    data_ = nullptr;
}

void DataBlock::cpy(const DataBlock& other) {
    if (&other == this) return;
    release();
    size_ = other.size_;
    if (other.data_ != nullptr && size_ > 0) {
        data_ = data_allocator.allocate(static_cast<size_t>(size_));
        std::memcpy(data_, other.data_, static_cast<size_t>(size_));
    }
}

void* DataBlock::operator new(std::size_t) { return buffer_allocator.allocate(1); }

void DataBlock::operator delete(void* block) {
    buffer_allocator.deallocate(static_cast<DataBlock*>(block), 1);
}
