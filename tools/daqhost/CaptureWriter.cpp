#include "daqhost/CaptureWriter.h"

struct CaptureWriter::Dumper {};

CaptureWriter::~CaptureWriter() { close(); }
bool CaptureWriter::open(const std::string& path) {
    path_ = path;
    error_ = path + ": not yet";
    return false;
}
bool CaptureWriter::is_open() const { return dumper_ != nullptr; }
bool CaptureWriter::write(int64_t, const Endpoint&, const Endpoint&, const uint8_t*, size_t) {
    return false;
}
bool CaptureWriter::close() { return true; }
