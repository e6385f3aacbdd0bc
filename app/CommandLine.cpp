#include "app/CommandLine.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <iterator>

namespace {

const option long_options[] = {
    {"interface", required_argument, nullptr, 'i'},
    {"rate", required_argument, nullptr, 'r'},
    {"efficiency", required_argument, nullptr, 'e'},
    {"mask", required_argument, nullptr, 'm'},
    {"chip_type", required_argument, nullptr, 'c'},
    {"busy-poll", no_argument, nullptr, kBusyPollOption},
    {"address", required_argument, nullptr, kAddressOption},
    {"port", required_argument, nullptr, kPortOption},
    {nullptr, 0, nullptr, 0},
};

// The options without a short form, after the table of those with one.
const char kLongOnlyUsage[] =
    "\t--busy-poll\twait for each trigger by polling the clock, not asleep: takes a whole\n"
    "\t\t\tprocessor during a run; only for a processor of its own\n"
    "\t--address ADDR\tserve this IPv4 address of the machine (default: its 11.x.x.x\n"
    "\t\t\taddress, else 127.0.0.1)\n"
    "\t--port N\tserve this UDP port (default 10000; 0: one the system picks)\n";

bool is_long_only(int value) {
    return value == kBusyPollOption || value == kAddressOption || value == kPortOption;
}

}  // namespace

const char kModuleShortOptions[] = ":i:r:e:c:m:h";

std::vector<option> module_long_options() {
    return {std::begin(long_options), std::end(long_options) - 1};
}

OptionTaken take_module_option(int option, const char* argument, StartupSettings& settings,
                               std::string& error) {
    switch (option) {
        case 'i':
            settings.interface = argument;
            return OptionTaken::kTaken;
        case 'r':
            settings.rate = std::atof(argument);
            return OptionTaken::kTaken;
        case 'e':
            settings.efficiency = std::atof(argument);
            return OptionTaken::kTaken;
        case 'm':
            settings.mask_text = argument;
            settings.mask = mask_from_text(argument);
            return OptionTaken::kTaken;
        case 'c':
            settings.chip_name = downcase(argument);
            settings.chip_type = chip_type_of(settings.chip_name, settings.chip_type);
            return OptionTaken::kTaken;
        case kBusyPollOption:
            settings.busy_poll = true;
            return OptionTaken::kTaken;
        case kAddressOption: {
            in_addr parsed = {};
            if (inet_pton(AF_INET, argument, &parsed) != 1) {
                error = std::string("--address takes an IPv4 address, such as 127.0.0.2, not \"") +
                        argument + "\"";
                return OptionTaken::kBadValue;
            }
            settings.address = argument;
            return OptionTaken::kTaken;
        }
        case kPortOption: {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(argument, &end, 10);
            if (*argument == '\0' || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                error =
                    std::string("--port takes a number from 0 to 65535, not \"") + argument + "\"";
                return OptionTaken::kBadValue;
            }
            settings.port = static_cast<int>(port);
            return OptionTaken::kTaken;
        }
        default:
            return OptionTaken::kNotMine;
    }
}

std::string downcase(const std::string& text) {
    std::string result = text;
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string program_name_of(const char* argv0) {
    if (argv0 == nullptr) return std::string();
    std::string word = argv0;
    const size_t slash = word.rfind('/');
    return slash == std::string::npos ? word : word.substr(slash + 1);
}

uint8_t mask_from_text(const std::string& text) {
    unsigned mask = 0;
    const size_t length = text.size();
    for (size_t i = 0; i < length; ++i) {
        const size_t bit = length - 1 - i;
        if (text[i] != '0' && bit < 8) mask |= 1u << bit;
    }
    return static_cast<uint8_t>(mask);
}

int chip_type_of(const std::string& chip_name, int current) {
    if (chip_name.find("vx4") != std::string::npos) return 1;
    if (chip_name.find("ktm") != std::string::npos) return 2;
    return current;
}

int option_error(const std::string& program, const std::string& text) {
    std::cerr << program << ": " << text << " (-h lists the options)" << std::endl;
    return 1;
}

void print_usage(const std::string& program_name) {
    std::cout << "Usage: " << program_name << " [options] " << std::endl;
    // Spelt so on purpose: users' scripts match this text as it is.
    std::cout << "Posible options: " << std::endl;
    for (const option* entry = long_options; entry->name != nullptr; ++entry) {
        if (is_long_only(entry->val)) continue;
        std::cout << "\t--" << entry->name << " , -" << static_cast<char>(entry->val) << std::endl;
    }
    std::cout << kLongOnlyUsage << std::flush;
}

int parse_command_line(int argc, char** argv, StartupSettings& settings) {
    settings.program_name = program_name_of(argc > 0 ? argv[0] : nullptr);
    optind = 1;
    for (;;) {
        int index = 0;
        opterr = 0;
        const int c = getopt_long(argc, argv, kModuleShortOptions, long_options, &index);
        if (c == -1) break;
        std::string error;
        const OptionTaken taken = take_module_option(c, optarg, settings, error);
        if (taken == OptionTaken::kTaken) continue;
        if (taken == OptionTaken::kBadValue) {
            std::cerr << settings.program_name << ": " << error << std::endl;
            return 1;
        }
        switch (c) {
            case 0:
                break;
            case 'h':
                print_usage(settings.program_name);
                return 1;
            case '?':
                std::cout << "Something went wrong while parsing command line arguments."
                          << std::endl;
                return 1;
            default:
                std::cout << settings.program_name << " -> " << static_cast<char>(optopt) << " ";
                if (optind < argc) std::cout << argv[optind];
                std::cout << std::endl;
                std::cout << "Ughhhhh !!!!" << std::endl;
                return 1;
        }
    }
    return -1;
}
