// The command line of testModule.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct StartupSettings {
    std::string program_name;
    std::string interface;
    double rate = 100.0;
    double efficiency = 1.0;
    // The mask exactly as typed, when -m was given.
    std::optional<std::string> mask_text;
    uint8_t mask = 1;
    std::string chip_name = "vx4";
    int chip_type = 1;
    // Waits for each trigger by polling the clock instead of sleeping (--busy-poll).
    bool busy_poll = false;
    // --address and --port: serve exactly this local address and port rather than the one
    // chosen (an 11.x.x.x address of the machine, else loopback) and port 10000.
    std::optional<std::string> address;
    std::optional<int> port;
    bool exact_address() const { return address.has_value() || port.has_value(); }
};

// The values getopt_long gives for the options without a short form; above every character
// and every option value of the programs that take testModule's options.
constexpr int kBusyPollOption = 512;
constexpr int kAddressOption = 513;
constexpr int kPortOption = 514;

// Reads the options into `settings`. Returns -1 when the program goes on, or the exit status
// after -h or an option error (whose text has been printed).
int parse_command_line(int argc, char** argv, StartupSettings& settings);

// testModule's options as getopt_long takes them, without the null entry that ends a table,
// and their short form, whose leading colon makes getopt_long report a missing argument as ':'.
std::vector<option> module_long_options();
extern const char kModuleShortOptions[];

// What taking one option came to.
enum class OptionTaken { kTaken, kNotMine, kBadValue };

// Applies one of testModule's options (-i, -r, -e, -m, -c, --busy-poll, --address, --port) as
// getopt_long returned it: kNotMine for any other option, kBadValue for an address or port that
// is not one, with the reason in `error`.
OptionTaken take_module_option(int option, const char* argument, StartupSettings& settings,
                               std::string& error);

// Prints "PROGRAM: TEXT (-h lists the options)" on standard error, for an option error of a
// program that takes testModule's options and its own; returns the exit status, 1.
int option_error(const std::string& program, const std::string& text);

// What follows the last '/' of the program's first word, or the whole word.
std::string program_name_of(const char* argv0);

// The hybrid mask of a mask text read in base 2: every character other than '0' is a one, the
// rightmost character is bit 0, and only eight bits count.
uint8_t mask_from_text(const std::string& text);

// The chip type a chip name selects: 1 for a name that contains "vx4", else 2 for one that
// contains "ktm", else `current`.
int chip_type_of(const std::string& chip_name, int current);

std::string downcase(const std::string& text);

// Prints the usage text on standard output.
void print_usage(const std::string& program_name);
