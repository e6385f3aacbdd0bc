// A datagram of a capture as a person or a script reads it, one line each: its time, what it is
// (request, acknowledge, data or malformed), its ends, and the fields of its kind with their
// names, as text or as one JSON object. The line is built in a buffer that is kept from one
// datagram to the next, since describing a long capture is bound by this.
#pragma once

#include <cstdint>
#include <string>

#include "daqhost/CaptureRecord.h"
#include "daqhost/DatagramClassifier.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API DatagramDescription {
  public:
    enum class Form { kText, kJson };

    explicit DatagramDescription(Form form = Form::kText) : form_(form) {}

    // The line of a datagram that `c` classified (a module's: not Kind::kOther), ending in
    // "\n", `time_ns` being its time in the capture (from its first datagram, say); valid until
    // the next call.
    const std::string& line(int64_t time_ns, const CaptureRecord& record,
                            const DatagramClassifier::Classification& c);
    // The same, with a data packet's hit as the verdict found it.
    const std::string& line(int64_t time_ns, const CaptureRecord& record, const DatagramVerdict& v);

    // "request", "acknowledge", "data" or "malformed".
    static const char* direction(DatagramClassifier::Kind kind);

  private:
    void text(int64_t time_ns, const CaptureRecord& record, const DatagramVerdict& v);
    void json(int64_t time_ns, const CaptureRecord& record, const DatagramVerdict& v);
    // As above with the hit looked for: kept for programs built against the library before.
    void text(int64_t time_ns, const CaptureRecord& record,
              const DatagramClassifier::Classification& c);
    void json(int64_t time_ns, const CaptureRecord& record,
              const DatagramClassifier::Classification& c);

    Form form_;
    std::string line_;
};

}  // namespace daq
