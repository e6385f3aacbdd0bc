#include "daqhost/RecordedRun.h"

#include "daqhost/CaptureReader.h"

namespace daq {

bool RecordedRun::read(const std::string& path) {
    CaptureReader capture;
    if (!capture.open(path)) {
        error_ = capture.error();
        return false;
    }
    CaptureRecord record;
    while (capture.next(record)) add(record);
    finish();
    if (capture.failed()) {
        error_ = capture.error();
        return false;
    }
    return true;
}

void RecordedRun::add(const CaptureRecord& record) {
    ++records_;
    using Kind = DatagramClassifier::Kind;
    const DatagramVerdict c = classifier_.judge(record);
    switch (c.kind) {
        case Kind::kRequest:
            reader_.sent(reader_.add_module(c.module), record.time_ns, c.request);
            return;
        case Kind::kMalformed:
            // A damaged request is not one the module took; a damaged packet from the module
            // counts as a malformed data packet, as live.
            if (c.to_module) return;
            [[fallthrough]];
        case Kind::kAcknowledge:
        case Kind::kData:
            reader_.received(reader_.add_module(c.module), record.time_ns, c);
            return;
        case Kind::kOther:
            return;
    }
}

}  // namespace daq
