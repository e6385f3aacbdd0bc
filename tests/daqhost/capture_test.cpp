#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include "daqhost/CaptureReader.h"
#include "daqhost/CaptureWriter.h"

namespace {
namespace fs = std::filesystem;

const Endpoint kHost{0x0A000001, 40000};    // 10.0.0.1
const Endpoint kModule{0x0A000002, 10000};  // 10.0.0.2
// The pcap file header, then each record's header, then the raw IPv4 frame.
constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr size_t kFrameHeaders = 28;

class CaptureFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "capture_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "run.pcap").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Records of 0, 16 and 532 bytes, each payload counting up from its length.
    std::vector<std::vector<uint8_t>> write_three() {
        std::vector<std::vector<uint8_t>> payloads;
        CaptureWriter writer;
        EXPECT_TRUE(writer.open(path_)) << writer.error();
        for (const size_t length : {0, 16, 532}) {
            payloads.emplace_back(length);
            std::iota(payloads.back().begin(), payloads.back().end(), uint8_t(length));
            const bool to_module = payloads.size() % 2 == 1;
            EXPECT_TRUE(writer.write(time_of(payloads.size()), to_module ? kHost : kModule,
                                     to_module ? kModule : kHost, payloads.back().data(), length));
        }
        EXPECT_TRUE(writer.close()) << writer.error();
        return payloads;
    }
    static int64_t time_of(size_t n) { return 1'700'000'000'123'456'789 + int64_t(n) * 1001; }

    void patch(size_t offset, uint8_t value) {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.put(static_cast<char>(value));
    }
    std::string open_error() {
        CaptureReader reader;
        EXPECT_FALSE(reader.open(path_));
        return reader.error();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(CaptureFile, round_trip_keeps_times_ends_and_payloads) {
    const auto payloads = write_three();
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    for (size_t n = 1; n <= payloads.size(); ++n) {
        ASSERT_TRUE(reader.next(record)) << reader.error();
        EXPECT_EQ(record.time_ns, time_of(n));
        EXPECT_EQ(record.source, n % 2 == 1 ? kHost : kModule);
        EXPECT_EQ(record.destination, n % 2 == 1 ? kModule : kHost);
        EXPECT_EQ(record.payload, payloads[n - 1]);
    }
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.failed()) << reader.error();
    EXPECT_EQ(reader.records(), 3u);
}

TEST_F(CaptureFile, missing_file_is_named_with_the_system_error) {
    EXPECT_EQ(open_error(), path_ + ": No such file or directory");
}

TEST_F(CaptureFile, empty_file_is_reported_as_empty) {
    std::ofstream(path_).close();
    EXPECT_EQ(open_error(), path_ + ": empty file");
}

TEST_F(CaptureFile, text_file_is_not_a_capture) {
    std::ofstream{path_} << "time,channel,value\n0,17,2530\n";
    EXPECT_EQ(open_error(), path_ + ": not a pcap capture file");
}

TEST_F(CaptureFile, file_cut_inside_a_record_names_that_record_after_the_whole_ones) {
    write_three();
    fs::resize_file(path_, fs::file_size(path_) - 10);
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    EXPECT_TRUE(reader.next(record));
    EXPECT_TRUE(reader.next(record));
    EXPECT_FALSE(reader.next(record));
    EXPECT_EQ(reader.error().rfind(path_ + ": truncated in record 3: ", 0), 0u) << reader.error();
}

TEST_F(CaptureFile, non_udp_and_fragment_frames_are_skipped_and_counted) {
    write_three();
    patch(kFileHeader + kRecordHeader + 9, 6);  // the first datagram becomes TCP
    const size_t second = kFileHeader + 2 * kRecordHeader + kFrameHeaders;
    patch(second + 6, 0x20);  // the second has more fragments to come
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.payload.size(), 532u);
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.failed()) << reader.error();
    EXPECT_EQ(reader.skipped(), 2u);
    EXPECT_EQ(reader.records(), 1u);
}

TEST_F(CaptureFile, payload_larger_than_a_udp_datagram_is_refused_not_cut) {
    CaptureWriter writer;
    ASSERT_TRUE(writer.open(path_)) << writer.error();
    const std::vector<uint8_t> largest(65507, 0x5A);
    const std::vector<uint8_t> too_large(65508);
    EXPECT_TRUE(writer.write(0, kHost, kModule, largest.data(), largest.size()));
    EXPECT_FALSE(writer.write(0, kHost, kModule, too_large.data(), too_large.size()));
    EXPECT_EQ(writer.error().rfind(path_ + ": ", 0), 0u);
    EXPECT_FALSE(writer.close());
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    ASSERT_TRUE(reader.next(record)) << reader.error();
    EXPECT_EQ(record.payload, largest);
    EXPECT_FALSE(reader.next(record));
    EXPECT_EQ(reader.records() + reader.skipped(), 1u);
}
}  // namespace
