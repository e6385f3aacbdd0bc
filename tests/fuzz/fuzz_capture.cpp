// Fuzz target: a capture file as daqhost reads it. The input is the file: the reader parses the
// pcap records and their IPv4/UDP headers, and every datagram goes through the decoding a host
// does (the acknowledge check, the data-packet checks, the hit and pedestal reading and the
// run statistics). Seeds: recorded sessions in tests/fuzz/corpus/capture/.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "daqhost/CaptureReader.h"
#include "daqhost/EventReading.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Acknowledge.h"
#include "protocol/DataPacketView.h"

using namespace daq;

namespace {
// A file of up to the fuzzer's max_len holds far fewer records; the bound only guards a loop
// that would not end.
constexpr int kMaxRecords = 100000;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader opens files by name: the input becomes an anonymous file of its own.
    const int fd = memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    CaptureReader reader;
    if (reader.open("/proc/self/fd/" + std::to_string(fd))) {
        StreamStatistics statistics;
        CaptureRecord record;
        for (int i = 0; i < kMaxRecords && reader.next(record); ++i) {
            const uint8_t* bytes = record.payload.data();
            const size_t length = record.payload.size();
            if (Acknowledge::parse(bytes, length)) continue;
            const DataPacketView view(bytes, length);
            uint64_t sum = 0;
            for_each_pedestal(view, find_hit(view), [&](uint16_t v) { sum += v; });
            statistics.add(view);
        }
        (void)statistics.summaries();
    }
    ::close(fd);
    return 0;
}
