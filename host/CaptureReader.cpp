#include "daqhost/CaptureReader.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "CaptureFraming.h"

namespace daq {

namespace {
using namespace capture_framing;

constexpr size_t kReadBufferBytes = 256 * 1024;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint32_t kAfInet = 2;  // the same on every system that writes loopback captures

uint16_t get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

uint32_t get32(const uint8_t* at) { return static_cast<uint32_t>(get16(at)) << 16 | get16(at + 2); }

// The first four bytes of a pcap file in either byte order (microsecond and nanosecond
// time stamps), and of a pcapng file, which libpcap reads as well.
bool is_capture_magic(const uint8_t* bytes) {
    const uint32_t magic = get32(bytes);
    for (const uint32_t known : {0xA1B2C3D4u, 0xA1B23C4Du, 0x0A0D0D0Au}) {
        const uint32_t swapped =
            (known >> 24) | ((known >> 8) & 0xFF00u) | ((known << 8) & 0xFF0000u) | (known << 24);
        if (magic == known || magic == swapped) return true;
    }
    return false;
}

// A frame's bytes from the start of its IPv4 header; nothing (null) when the frame does not
// carry IPv4 or is cut before its link-layer header ends.
const uint8_t* ipv4_start(int link_type, const uint8_t* frame, size_t length, size_t& rest) {
    size_t offset = 0;
    switch (link_type) {
        case DLT_RAW:
        case DLT_IPV4:
            if (length < 1 || frame[0] >> 4 != 4) return nullptr;
            break;
        case DLT_EN10MB: {
            if (length < 14) return nullptr;
            uint16_t type = get16(frame + 12);
            offset = 14;
            if (type == kEtherTypeVlan) {
                if (length < 18) return nullptr;
                type = get16(frame + 16);
                offset = 18;
            }
            if (type != kEtherTypeIpv4) return nullptr;
            break;
        }
        case DLT_LINUX_SLL:
            if (length < 16 || get16(frame + 14) != kEtherTypeIpv4) return nullptr;
            offset = 16;
            break;
        case DLT_LINUX_SLL2:
            if (length < 20 || get16(frame) != kEtherTypeIpv4) return nullptr;
            offset = 20;
            break;
        case DLT_NULL:
        case DLT_LOOP: {
            // DLT_NULL holds the family in the byte order of the machine that wrote it.
            if (length < 4) return nullptr;
            const uint32_t family = get32(frame);
            const uint32_t swapped = (family >> 24) | ((family >> 8) & 0xFF00u) |
                                     ((family << 8) & 0xFF0000u) | (family << 24);
            if (family != kAfInet && swapped != kAfInet) return nullptr;
            offset = 4;
            break;
        }
        default:
            return nullptr;
    }
    rest = length - offset;
    return frame + offset;
}

bool supported(int link_type) {
    switch (link_type) {
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_NULL:
        case DLT_LOOP:
            return true;
        default:
            return false;
    }
}

// Fills the record's ends and payload from a whole, unfragmented IPv4/UDP datagram; false
// for anything else, including a datagram the snap length cut short.
bool read_udp(const uint8_t* ip, size_t length, CaptureRecord& record) {
    if (length < kIpv4HeaderBytes || ip[0] >> 4 != 4) return false;
    const size_t header_length = static_cast<size_t>(ip[0] & 0x0F) * 4;
    const size_t total_length = get16(ip + 2);
    if (header_length < kIpv4HeaderBytes || total_length < header_length) return false;
    // Link layers may pad a frame; a frame shorter than its datagram was cut by the snap length.
    if (total_length > length) return false;
    const bool more_fragments = (ip[6] & 0x20) != 0;
    const bool fragment_offset = (get16(ip + 6) & 0x1FFF) != 0;
    if (more_fragments || fragment_offset || ip[9] != kProtocolUdp) return false;
    const uint8_t* udp = ip + header_length;
    const size_t available = total_length - header_length;
    if (available < kUdpHeaderBytes) return false;
    const size_t udp_length = get16(udp + 4);
    if (udp_length < kUdpHeaderBytes || udp_length > available) return false;
    record.source = {get32(ip + 12), get16(udp)};
    record.destination = {get32(ip + 16), get16(udp + 2)};
    record.payload.assign(udp + kUdpHeaderBytes, udp + udp_length);
    return true;
}
}  // namespace

struct CaptureReader::Handle {
    pcap_t* pcap = nullptr;
    // Must outlive the FILE, which pcap_close closes.
    std::unique_ptr<char[]> buffer;

    ~Handle() {
        if (pcap != nullptr) pcap_close(pcap);
    }
};

CaptureReader::~CaptureReader() { delete handle_; }

bool CaptureReader::open(const std::string& path) {
    delete handle_;
    handle_ = nullptr;
    path_ = path;
    error_.clear();
    skipped_ = 0;
    records_ = 0;
    auto handle = std::make_unique<Handle>();
    // Opened here rather than by libpcap so that an empty or foreign file gets its own
    // message instead of libpcap's "truncated dump file" or "unknown file format".
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    handle->buffer = std::make_unique<char[]>(kReadBufferBytes);
    std::setvbuf(file, handle->buffer.get(), _IOFBF, kReadBufferBytes);
    struct stat status = {};
    const bool known = fstat(fileno(file), &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        error_ = path + ": " + std::strerror(EISDIR);
        return false;
    }
    // Only a regular file can be looked into and rewound; a pipe goes to libpcap as it is.
    if (known && S_ISREG(status.st_mode)) {
        uint8_t magic[4] = {};
        const size_t got = std::fread(magic, 1, sizeof(magic), file);
        const char* problem = nullptr;
        if (got == 0 && std::feof(file) != 0) {
            problem = "empty file";
        } else if (got < sizeof(magic) || !is_capture_magic(magic)) {
            problem = "not a pcap capture file";
        } else if (std::fseek(file, 0, SEEK_SET) != 0) {
            problem = std::strerror(errno);
        }
        if (problem == nullptr && std::ferror(file) != 0) problem = std::strerror(EIO);
        if (problem != nullptr) {
            std::fclose(file);
            error_ = path + ": " + problem;
            return false;
        }
    }
    char message[PCAP_ERRBUF_SIZE] = {};
    handle->pcap =
        pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, message);
    if (handle->pcap == nullptr) {
        const bool truncated = std::feof(file) != 0;
        std::fclose(file);
        error_ = path +
                 (truncated ? ": truncated in the file header: "
                            : ": not a readable pcap capture file: ") +
                 message;
        return false;
    }
    link_type_ = pcap_datalink(handle->pcap);
    if (!supported(link_type_)) {
        const char* name = pcap_datalink_val_to_name(link_type_);
        error_ = path + ": link type " + std::to_string(link_type_) +
                 (name != nullptr ? std::string(" (") + name + ")" : std::string()) +
                 " is not supported";
        return false;
    }
    handle_ = handle.release();
    return true;
}

bool CaptureReader::next(CaptureRecord& record) {
    if (handle_ == nullptr || failed()) return false;
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* frame = nullptr;
        const int result = pcap_next_ex(handle_->pcap, &header, &frame);
        if (result == PCAP_ERROR_BREAK) return false;  // the end of the file
        const uint64_t number = records_ + skipped_ + 1;
        if (result != 1) {
            // A short read leaves the end-of-file mark; anything else is a damaged header.
            const bool truncated = std::feof(pcap_file(handle_->pcap)) != 0;
            error_ = path_ + (truncated ? ": truncated in record " : ": damaged record ") +
                     std::to_string(number) + ": " + pcap_geterr(handle_->pcap);
            return false;
        }
        size_t rest = 0;
        const uint8_t* ip = ipv4_start(link_type_, frame, header->caplen, rest);
        if (ip == nullptr || !read_udp(ip, rest, record)) {
            ++skipped_;
            continue;
        }
        record.time_ns = static_cast<int64_t>(header->ts.tv_sec) * 1'000'000'000 +
                         static_cast<int64_t>(header->ts.tv_usec);
        ++records_;
        return true;
    }
}

}  // namespace daq
