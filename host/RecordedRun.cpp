#include "daqhost/RecordedRun.h"

#include <new>
#include <utility>

#include "RunReader.h"
#include "daqhost/CaptureReader.h"

namespace daq {

// The reader takes the place version 3.0 gave it, neither larger nor more aligned.
RecordedRun::RecordedRun(std::optional<uint16_t> module_port) : classifier_(module_port) {
    static_assert(sizeof(RunReader) == sizeof(reader_) && alignof(RunReader) <= 8);
    new (reader_) RunReader();
}

RecordedRun::~RecordedRun() { reading().~RunReader(); }

RecordedRun::RecordedRun(const RecordedRun& other)
    : classifier_(other.classifier_), error_(other.error_), records_(other.records_) {
    new (reader_) RunReader(other.reader());
}

RecordedRun::RecordedRun(RecordedRun&& other) noexcept
    : classifier_(std::move(other.classifier_)),
      error_(std::move(other.error_)),
      records_(other.records_) {
    new (reader_) RunReader(std::move(other.reading()));
}

RecordedRun& RecordedRun::operator=(const RecordedRun& other) {
    if (this == &other) return *this;
    classifier_ = other.classifier_;
    reading() = other.reader();
    error_ = other.error_;
    records_ = other.records_;
    return *this;
}

RecordedRun& RecordedRun::operator=(RecordedRun&& other) noexcept {
    classifier_ = std::move(other.classifier_);
    reading() = std::move(other.reading());
    error_ = std::move(other.error_);
    records_ = other.records_;
    return *this;
}

RunReader& RecordedRun::reading() { return *std::launder(reinterpret_cast<RunReader*>(reader_)); }

const RunReader& RecordedRun::reader() const {
    return *std::launder(reinterpret_cast<const RunReader*>(reader_));
}

void RecordedRun::finish() { reading().finish(); }

void RecordedRun::keep_channels() { reading().keep_channels(); }

size_t RecordedRun::size() const { return reader().size(); }

const Endpoint& RecordedRun::endpoint(size_t i) const { return reader().endpoint(i); }

const ModuleRun& RecordedRun::module(size_t i) const { return reader().module(i); }

ModuleFigures RecordedRun::total() const { return reader().total(); }

bool RecordedRun::every_module_ran() const { return reader().every_module_ran(); }

double RecordedRun::seconds() const { return reader().seconds(); }

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
            reading().sent(reading().add_module(c.module), record.time_ns, c.request);
            return;
        case Kind::kMalformed:
            // A damaged request is not one the module took; a damaged packet from the module
            // counts as a malformed data packet, as live.
            if (c.to_module) return;
            [[fallthrough]];
        case Kind::kAcknowledge:
        case Kind::kData:
            reading().received(reading().add_module(c.module), record.time_ns, c);
            return;
        case Kind::kOther:
            return;
    }
}

}  // namespace daq
