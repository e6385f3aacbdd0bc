#include "testcrate/CrateSettings.h"

#include <arpa/inet.h>

#include <iostream>

namespace {

enum CrateOption : int {
    kModule = 256,
    kCommonTrigger,
    kControlSocket,
};

const char kUsage[] =
    " [options] --module ADDR[@NETNS] ...\n"
    "Runs many emulated modules in one process, on one event loop: each module as testModule\n"
    "is, on an address of its own.\n"
    "  --module ADDR[@NETNS]  a module serving ADDR, its socket made in network namespace NETNS\n"
    "                         (a name under /run/netns, or a path) when given; once for each\n"
    "                         module, module 1 first\n"
    "  --port N               every module's UDP port (default 10000)\n"
    "  --common-trigger       one trigger for every module: event N of each is the same\n"
    "                         trigger (default: each module triggers on its own)\n"
    "  --control-socket PATH  take faults of single modules and give their counters on this\n"
    "                         UNIX socket (JSON lines)\n"
    "  -r, --rate HZ          every module's trigger rate (default 100)\n"
    "  -e, --efficiency P     probability that a stream sends in a trigger (default 1)\n"
    "  -m, --mask BITS        present hybrids, in binary, rightmost is hybrid 1; default 1\n"
    "  -c, --chip_type NAME   \"vx4\" (default) or \"ktm\"\n"
    "  -h                     this text\n";

bool is_address(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

int parse_crate_command_line(int argc, char** argv, CrateSettings& settings) {
    StartupSettings& module = settings.module;
    module.program_name = program_name_of(argc > 0 ? argv[0] : nullptr);
    const std::string& program = module.program_name;
    std::vector<option> options = module_long_options();
    options.push_back({"module", required_argument, nullptr, kModule});
    options.push_back({"common-trigger", no_argument, nullptr, kCommonTrigger});
    options.push_back({"control-socket", required_argument, nullptr, kControlSocket});
    options.push_back({nullptr, 0, nullptr, 0});
    optind = 1;
    opterr = 0;
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, kModuleShortOptions, options.data(), &index);
        if (c == -1) break;
        if (c == kAddressOption) {
            return option_error(program, "each module's address is given by --module");
        }
        std::string error;
        const OptionTaken taken = take_module_option(c, optarg, module, error);
        if (taken == OptionTaken::kBadValue) return option_error(program, error);
        if (taken == OptionTaken::kTaken) continue;
        switch (c) {
            case kModule: {
                const std::string text = optarg;
                const size_t at = text.find('@');
                CrateSettings::Slot slot{text.substr(0, at),
                                         at == std::string::npos ? "" : text.substr(at + 1)};
                if (!is_address(slot.address) || (at != std::string::npos && slot.netns.empty())) {
                    return option_error(program,
                                        "--module takes ADDR[@NETNS], an IPv4 address "
                                        "and a network namespace, not \"" +
                                            text + "\"");
                }
                settings.modules.push_back(slot);
                break;
            }
            case kCommonTrigger:
                settings.common_trigger = true;
                break;
            case kControlSocket:
                settings.control_socket = optarg;
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
    if (optind < argc) {
        return option_error(program, std::string("unexpected argument \"") + argv[optind] + "\"");
    }
    if (settings.modules.empty()) return option_error(program, "no module: give --module ADDR");
    return -1;
}
