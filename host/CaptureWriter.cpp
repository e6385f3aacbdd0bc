#include "daqhost/CaptureWriter.h"

#include <endian.h>
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "CaptureFraming.h"

namespace daq {

namespace {
using namespace capture_framing;

constexpr size_t kHeaderBytes = kIpv4HeaderBytes + kUdpHeaderBytes;
// The IPv4 total length is 16 bits wide.
constexpr size_t kMaxFrameBytes = 65535;
constexpr size_t kMaxPayloadBytes = kMaxFrameBytes - kHeaderBytes;
// At the full rate of a run a file grows by about 90 MB/s; large writes keep the recording
// thread out of the kernel.
constexpr size_t kWriteBufferBytes = 1 << 20;
constexpr uint8_t kTimeToLive = 64;

void put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void put32(uint8_t* at, uint32_t value) {
    put16(at, value >> 16);
    put16(at + 2, value & 0xFFFF);
}

// The Internet checksum's running sum of big-endian 16-bit words, an odd last byte padded
// with zero. A recording takes every datagram of a run, so the bulk is summed four bytes at a
// time in the machine's own order: the ones' complement sum of byte-swapped words is the
// byte-swapped sum (RFC 1071), so the folded sum is swapped back once at the end.
uint32_t add_words(uint32_t sum, const uint8_t* bytes, size_t length) {
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint32_t chunk;
        std::memcpy(&chunk, bytes + i, sizeof(chunk));
        wide += chunk;
    }
    while (wide >> 16 != 0) wide = (wide & 0xFFFF) + (wide >> 16);
    sum += be16toh(static_cast<uint16_t>(wide));
    for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < length) sum += static_cast<uint32_t>(bytes[i] << 8);
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::string system_error(const std::string& path, int error) {
    return path + ": " + std::strerror(error != 0 ? error : EIO);
}
}  // namespace

struct CaptureWriter::Dumper {
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;
    // Must outlive the FILE, which pcap_dump_close closes.
    std::unique_ptr<char[]> buffer;

    ~Dumper() {
        if (dumper != nullptr) pcap_dump_close(dumper);
        if (pcap != nullptr) pcap_close(pcap);
    }
};

CaptureWriter::~CaptureWriter() { close(); }

bool CaptureWriter::open(const std::string& path) {
    close();
    path_ = path;
    error_.clear();
    records_ = 0;
    auto dumper = std::make_unique<Dumper>();
    dumper->pcap =
        pcap_open_dead_with_tstamp_precision(DLT_RAW, kMaxFrameBytes, PCAP_TSTAMP_PRECISION_NANO);
    if (dumper->pcap == nullptr) {
        error_ = path + ": cannot set up a raw IPv4 capture";
        return false;
    }
    // Opened here rather than by pcap_dump_open so that the buffer is in place before the
    // file header is written.
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error_ = system_error(path, errno);
        return false;
    }
    dumper->buffer = std::make_unique<char[]>(kWriteBufferBytes);
    std::setvbuf(file, dumper->buffer.get(), _IOFBF, kWriteBufferBytes);
    dumper->dumper = pcap_dump_fopen(dumper->pcap, file);
    if (dumper->dumper == nullptr) {
        std::fclose(file);
        error_ = path + ": " + pcap_geterr(dumper->pcap);
        return false;
    }
    frame_.assign(kMaxFrameBytes, 0);
    dumper_ = dumper.release();
    return true;
}

bool CaptureWriter::is_open() const { return dumper_ != nullptr; }

bool CaptureWriter::write(int64_t time_ns, const Endpoint& source, const Endpoint& destination,
                          const uint8_t* payload, size_t length) {
    if (dumper_ == nullptr || !error_.empty()) return false;
    if (length > kMaxPayloadBytes) {
        error_ = path_ + ": a payload of " + std::to_string(length) + " bytes is more than the " +
                 std::to_string(kMaxPayloadBytes) + " a UDP datagram can carry";
        return false;
    }
    const size_t frame_length = kHeaderBytes + length;
    uint8_t* ip = frame_.data();
    uint8_t* udp = ip + kIpv4HeaderBytes;
    ip[0] = 0x45;  // version 4, five header words
    ip[1] = 0;
    put16(ip + 2, static_cast<uint32_t>(frame_length));
    put16(ip + 4, static_cast<uint32_t>(records_ & 0xFFFF));  // identification
    put16(ip + 6, 0);                                         // not a fragment
    ip[8] = kTimeToLive;
    ip[9] = kProtocolUdp;
    put16(ip + 10, 0);
    put32(ip + 12, source.address);
    put32(ip + 16, destination.address);
    put16(ip + 10, fold(add_words(0, ip, kIpv4HeaderBytes)));

    const uint32_t udp_length = static_cast<uint32_t>(kUdpHeaderBytes + length);
    put16(udp, source.port);
    put16(udp + 2, destination.port);
    put16(udp + 4, udp_length);
    put16(udp + 6, 0);
    if (length > 0) std::memcpy(udp + kUdpHeaderBytes, payload, length);
    // The pseudo-header: both addresses, the protocol and the UDP length.
    uint32_t sum = add_words(0, ip + 12, 8) + kProtocolUdp + udp_length;
    sum = add_words(sum, udp, udp_length);
    const uint16_t checksum = fold(sum);
    // A computed 0 is sent as 0xFFFF, since 0 means "no checksum".
    put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);

    pcap_pkthdr header = {};
    // Floor division, so that a time before the epoch still has nanoseconds in [0, 1e9).
    int64_t seconds = time_ns / 1'000'000'000;
    int64_t nanoseconds = time_ns % 1'000'000'000;
    if (nanoseconds < 0) {
        nanoseconds += 1'000'000'000;
        --seconds;
    }
    header.ts.tv_sec = static_cast<time_t>(seconds);
    // With nanosecond precision the field holds nanoseconds.
    header.ts.tv_usec = static_cast<suseconds_t>(nanoseconds);
    header.caplen = static_cast<bpf_u_int32>(frame_length);
    header.len = static_cast<bpf_u_int32>(frame_length);
    pcap_dump(reinterpret_cast<u_char*>(dumper_->dumper), &header, ip);
    if (std::ferror(pcap_dump_file(dumper_->dumper)) != 0) {
        error_ = system_error(path_, errno);
        return false;
    }
    ++records_;
    return true;
}

bool CaptureWriter::close() {
    if (dumper_ == nullptr) return error_.empty();
    std::unique_ptr<Dumper> dumper(dumper_);
    dumper_ = nullptr;
    errno = 0;
    const bool flushed = pcap_dump_flush(dumper->dumper) == 0;
    if (!flushed && error_.empty()) error_ = system_error(path_, errno);
    return error_.empty();
}

}  // namespace daq
