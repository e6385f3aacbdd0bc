#include "module/DataBuffer.h"

DataBuffer::~DataBuffer() { flush(); }

void DataBuffer::push_block(DataBlock* block) {
    if (full()) {
        delete block;
        return;
    }
    queue_.push_back(block);
}

DataBlock* DataBuffer::get_block() {
    if (queue_.empty()) return nullptr;
    DataBlock* block = queue_.front();
    queue_.pop_front();
    return block;
}

void DataBuffer::flush() {
    while (DataBlock* block = get_block()) delete block;
}
