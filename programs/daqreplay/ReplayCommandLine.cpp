#include "daqreplay/ReplayCommandLine.h"

#include <algorithm>
#include <charconv>
#include <iostream>

namespace {

enum ReplayOption : int {
    kMap = 256,
    kKeepHeaders,
    kLoop,
    kAsFastAsPossible,
    kModule,
};

const char kUsage[] =
    " [options] CAPTURE\n"
    "Serves the data packets of CAPTURE (a pcap file) as testModule serves generated ones.\n"
    "  -i, --interface NAME       network interface (kept for the record, as testModule)\n"
    "  -r, --rate HZ              pace the cycles as testModule does at this rate, instead of\n"
    "                             the captured intervals\n"
    "      --as-fast-as-possible  no wait between cycles\n"
    "  -e, --efficiency P         probability that a stream sends its next packet in a cycle\n"
    "  -m, --mask BITS            present hybrids, in binary, rightmost is hybrid 1; default 1\n"
    "  -c, --chip_type NAME       \"vx4\" (default) or \"ktm\"\n"
    "      --map FROM:TO          send captured stream FROM as stream TO (repeatable)\n"
    "      --module ADDR[:PORT]   replay this module of a capture of several (default: the\n"
    "                             first that sent a data packet)\n"
    "      --keep-headers         send the captured event numbers and time stamps\n"
    "      --loop                 start the capture again after its end\n"
    "      --busy-poll            wait for each cycle by polling the clock, not asleep: takes\n"
    "                             a whole processor during a run\n"
    "      --address ADDR         serve this IPv4 address of the machine (default: its\n"
    "                             11.x.x.x address, else 127.0.0.1)\n"
    "      --port N               serve this UDP port (default 10000; 0: one the system picks)\n"
    "  -h                         this text\n";

bool read_stream_id(const std::string& text, uint8_t& id) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [at, problem] = std::from_chars(text.data(), end, value);
    if (text.empty() || problem != std::errc() || at != end || value > 255) return false;
    id = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

std::optional<StreamMapping> parse_stream_mapping(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    StreamMapping mapping;
    if (!read_stream_id(text.substr(0, colon), mapping.from) ||
        !read_stream_id(text.substr(colon + 1), mapping.to)) {
        return std::nullopt;
    }
    return mapping;
}

int parse_replay_command_line(int argc, char** argv, ReplaySettings& settings) {
    StartupSettings& module = settings.module;
    module.program_name = program_name_of(argc > 0 ? argv[0] : nullptr);
    const std::string& program = module.program_name;
    std::vector<option> options = module_long_options();
    options.push_back({"map", required_argument, nullptr, kMap});
    options.push_back({"keep-headers", no_argument, nullptr, kKeepHeaders});
    options.push_back({"loop", no_argument, nullptr, kLoop});
    options.push_back({"as-fast-as-possible", no_argument, nullptr, kAsFastAsPossible});
    options.push_back({"module", required_argument, nullptr, kModule});
    options.push_back({nullptr, 0, nullptr, 0});
    bool rate_given = false;
    bool fastest = false;
    optind = 1;
    opterr = 0;
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, kModuleShortOptions, options.data(), &index);
        if (c == -1) break;
        std::string error;
        const OptionTaken taken = take_module_option(c, optarg, module, error);
        if (taken == OptionTaken::kBadValue) return option_error(program, error);
        if (taken == OptionTaken::kTaken) {
            rate_given = rate_given || c == 'r';
            continue;
        }
        switch (c) {
            case kMap: {
                const std::optional<StreamMapping> mapping = parse_stream_mapping(optarg);
                if (!mapping) {
                    return option_error(program, std::string("--map takes FROM:TO, stream ids ") +
                                                     "from 0 to 255, not \"" + optarg + "\"");
                }
                const bool again =
                    std::any_of(settings.mappings.begin(), settings.mappings.end(),
                                [&](const StreamMapping& m) { return m.from == mapping->from; });
                if (again) {
                    return option_error(
                        program, "stream " + std::to_string(mapping->from) + " is mapped twice");
                }
                settings.mappings.push_back(*mapping);
                break;
            }
            case kModule:
                settings.capture_module = daq::Endpoint::parse_with_port(optarg, 0);
                if (!settings.capture_module) {
                    return option_error(
                        program, std::string("--module takes ADDR[:PORT], not \"") + optarg + "\"");
                }
                break;
            case kKeepHeaders:
                settings.options.keep_headers = true;
                break;
            case kLoop:
                settings.options.loop = true;
                break;
            case kAsFastAsPossible:
                fastest = true;
                break;
            case 'h':
                std::cout << "Usage: " << program << kUsage;
                return 1;
            case ':':
                return option_error(program, std::string(argv[optind - 1]) + " needs a value");
            default:
                return option_error(program, std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (rate_given && fastest) {
        return option_error(program, "-r and --as-fast-as-possible are two paces: give one");
    }
    if (optind != argc - 1) {
        return option_error(
            program, optind == argc ? "no capture file given" : "one capture file, not several");
    }
    settings.capture = argv[optind];
    if (rate_given) settings.options.pace = ReplayPace::kRate;
    if (fastest) settings.options.pace = ReplayPace::kAsFastAsPossible;
    return -1;
}
