#include "daqhost/CaptureReader.h"

struct CaptureReader::Handle {};

CaptureReader::~CaptureReader() = default;
bool CaptureReader::open(const std::string& path) {
    path_ = path;
    error_ = path + ": not yet";
    return false;
}
bool CaptureReader::next(CaptureRecord&) { return false; }
