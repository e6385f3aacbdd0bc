#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/DatagramClassifier.h"
#include "daqhost/DatagramDescription.h"

using namespace daq;

namespace {
// Decoding is bound by output; one large buffer keeps it from writing line by line.
constexpr size_t kOutputBufferBytes = 1 << 20;

using Kind = DatagramClassifier::Kind;

struct DecodeOptions {
    std::string file;
    bool json = false;
    std::optional<uint16_t> port;  // learned from the capture's discovery when not given
};

int decode(const DecodeOptions& options) {
    std::setvbuf(stdout, nullptr, _IOFBF, kOutputBufferBytes);
    CaptureReader reader;
    if (!reader.open(options.file)) {
        report_error(reader.error());
        return kExitFailure;
    }
    DatagramClassifier classifier(options.port);
    CaptureRecord record;
    DatagramDescription description(options.json ? DatagramDescription::Form::kJson
                                                 : DatagramDescription::Form::kText);
    std::optional<int64_t> first_ns;
    uint64_t off_port = 0;
    uint64_t malformed = 0;
    while (reader.next(record)) {
        if (!first_ns) first_ns = record.time_ns;
        const DatagramVerdict decoded = classifier.judge(record);
        if (decoded.kind == Kind::kOther) {
            ++off_port;
            continue;
        }
        if (decoded.kind == Kind::kMalformed) ++malformed;
        std::fputs(description.line(record.time_ns - *first_ns, record, decoded).c_str(), stdout);
    }
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    const int write_error = errno;
    if (!options.json) {
        const std::string summary = std::to_string(reader.records()) + " datagrams read, " +
                                    std::to_string(reader.skipped() + off_port) + " skipped, " +
                                    std::to_string(malformed) + " malformed\n";
        std::fputs(summary.c_str(), stderr);
    }
    if (reader.failed()) {
        report_error(reader.error());
        return kExitFailure;
    }
    if (!written) {
        report_error(std::string("standard output: ") + std::strerror(write_error));
        return kExitFailure;
    }
    if (const std::string none = classifier.no_module_reason(); !none.empty()) {
        report_error(options.file + ": " + none + " (--port names the module's port)");
        return kExitFailure;
    }
    return 0;
}
}  // namespace

void add_decode_command(CLI::App& app, int& status) {
    auto options = std::make_shared<DecodeOptions>();
    CLI::App* command =
        app.add_subcommand("decode", "print the datagrams of a capture file, one line each");
    command->add_option("FILE", options->file, "a pcap capture file")->required();
    command->add_flag("--json", options->json, "one JSON object per line instead of text");
    command->add_option("--port", options->port,
                        "the module's UDP port (default: the one the capture's discovery went to, "
                        "else 10000)");
    command->callback([options, &status] { status = decode(*options); });
}
