// The command line of testModule: what it prints for its options, its usage and option errors,
// and its exit status. Cases that get past parsing start the server, in the test process's
// own network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "testing/EmulatorProcess.h"

namespace {

constexpr double kTimeout = 10.0;

// A temporary directory holding a link named `emu` to testModule, at `<dir>/<subdir>/emu`,
// so that the program word can be chosen.
class ProgramLink {
  public:
    explicit ProgramLink(const std::string& subdir = "") {
        char pattern[] = "/tmp/daq-cmdline-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        root_ = pattern;
        dir_ = subdir.empty() ? root_ : root_ + "/" + subdir;
        if (!subdir.empty() && ::mkdir(dir_.c_str(), 0700) != 0) return;
        const std::string link = dir_ + "/emu";
        if (::symlink(TESTMODULE_PATH, link.c_str()) == 0) path_ = link;
    }
    ~ProgramLink() {
        if (!path_.empty()) ::unlink(path_.c_str());
        if (dir_ != root_) ::rmdir(dir_.c_str());
        if (!root_.empty()) ::rmdir(root_.c_str());
    }
    ProgramLink(const ProgramLink&) = delete;
    ProgramLink& operator=(const ProgramLink&) = delete;

    // Empty when the link could not be made.
    const std::string& path() const { return path_; }

  private:
    std::string root_;
    std::string dir_;
    std::string path_;
};

// Runs the program to its end (it ends by itself on every option error) and returns the exit
// status.
int run_to_exit(EmulatorProcess& program) {
    if (!program.start()) return -2;
    return program.wait_exit(kTimeout);
}

const char kUsageTail[] =
    "Posible options: \n"
    "\t--interface , -i\n"
    "\t--rate , -r\n"
    "\t--efficiency , -e\n"
    "\t--mask , -m\n"
    "\t--chip_type , -c\n"
    "\t--busy-poll\twait for each trigger by polling the clock, not asleep: takes a whole\n"
    "\t\t\tprocessor during a run; only for a processor of its own\n"
    "\t--address ADDR\tserve this IPv4 address of the machine (default: its 11.x.x.x\n"
    "\t\t\taddress, else 127.0.0.1)\n"
    "\t--port N\tserve this UDP port (default 10000; 0: one the system picks)\n";

// The two lines that open the standard output of every start-up that gets past parsing.
std::string startup_lines(const std::string& chip, int type, const std::string& mask_text,
                          const std::string& mask_hex) {
    return "Creating DAQModule for chip " + chip + "[" + std::to_string(type) + "]\nMask (" +
           mask_text + ") 0x" + mask_hex + "\n";
}

// Starts the program and returns its standard output once the server is up (the start-up
// lines are all printed by then).
std::string startup_output(const std::vector<std::string>& args) {
    EmulatorProcess program(args);
    if (!program.start()) return "<cannot start>";
    if (!program.wait_until_serving(kTimeout)) {
        return "<not serving>\nstdout:\n" + program.stdout_text() + "stderr:\n" +
               program.stderr_text();
    }
    return program.stdout_text();
}

TEST(CommandLine, no_options_select_chip_vx4_and_hybrid_1) {
    const std::string out = startup_output({});
    EXPECT_EQ(out.rfind(startup_lines("vx4", 1, "1", "1"), 0), 0u) << out;
    EXPECT_NE(out.find("Number of Hybrids: 1\n... hybrid id=1\n"), std::string::npos) << out;
}

struct ChipCase {
    std::string name;
    std::vector<std::string> args;
    std::string chip;
    int type;
};

std::vector<ChipCase> chip_cases() {
    return {
        {"KTM", {"-c", "KTM"}, "ktm", 2},
        // A name with neither word keeps the chip type as it was.
        {"xyz", {"-c", "xyz"}, "xyz", 1},
        {"ktm_then_xyz", {"-c", "ktm", "-c", "xyz"}, "xyz", 2},
        // "vx4" is looked for first.
        {"ktm_vx4", {"-c", "ktm-vx4"}, "ktm-vx4", 1},
        {"long_option", {"--chip_type=Super-KTM"}, "super-ktm", 2},
    };
}

// Test names show the case's name, not the bytes of the record.
void PrintTo(const ChipCase& c, std::ostream* out) { *out << c.name; }

class ChipOption : public ::testing::TestWithParam<ChipCase> {};

TEST_P(ChipOption, chip_name_is_lower_cased_and_selects_the_chip_type) {
    const ChipCase& c = GetParam();
    const std::string out = startup_output(c.args);
    EXPECT_EQ(out.rfind(startup_lines(c.chip, c.type, "1", "1"), 0), 0u) << out;
}

INSTANTIATE_TEST_SUITE_P(Names, ChipOption, ::testing::ValuesIn(chip_cases()),
                         [](const auto& info) { return info.param.name; });

struct MaskCase {
    std::string name;
    std::vector<std::string> args;
    std::string text;
    std::string hex;
    // The hybrid lines of the module that the mask builds.
    std::string hybrids;
};

std::vector<MaskCase> mask_cases() {
    return {
        {"text_0101",
         {"-m", "0101"},
         "0101",
         "5",
         "Number of Hybrids: 2\n... hybrid id=1\n... hybrid id=3\n"},
        {"text_10", {"-m", "10"}, "10", "2", "Number of Hybrids: 1\n... hybrid id=2\n"},
        // Every character other than '0' counts as a one.
        {"text_2", {"-m", "2"}, "2", "1", "Number of Hybrids: 1\n... hybrid id=1\n"},
        {"text_1x",
         {"-m", "1x"},
         "1x",
         "3",
         "Number of Hybrids: 2\n... hybrid id=1\n... hybrid id=2\n"},
        // Eight bits are kept, and only four hybrids exist.
        {"nine_ones",
         {"-m", "111111111"},
         "111111111",
         "ff",
         "Number of Hybrids: 4\n... hybrid id=1\n... hybrid id=2\n... hybrid id=3\n"
         "... hybrid id=4\n"},
        {"empty", {"--mask="}, "", "0", "Number of Hybrids: 0\n"},
        {"last_wins",
         {"-m", "1", "--mask", "1000"},
         "1000",
         "8",
         "Number of Hybrids: 1\n... hybrid id=4\n"},
    };
}

void PrintTo(const MaskCase& c, std::ostream* out) { *out << c.name; }

class MaskOption : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskOption, mask_text_is_read_in_base_2_and_printed_as_typed) {
    const MaskCase& c = GetParam();
    const std::string out = startup_output(c.args);
    EXPECT_EQ(out.rfind(startup_lines("vx4", 1, c.text, c.hex), 0), 0u) << out;
    EXPECT_NE(out.find(c.hybrids), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Texts, MaskOption, ::testing::ValuesIn(mask_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(CommandLine, usage_names_the_program_after_its_last_slash_and_exits_1) {
    ProgramLink link("dir");
    ASSERT_FALSE(link.path().empty());
    EmulatorProcess program({"-h"}, link.path());
    EXPECT_EQ(run_to_exit(program), 1);
    EXPECT_EQ(program.stdout_text(), std::string("Usage: emu [options] \n") + kUsageTail);
}

TEST(CommandLine, unknown_option_is_reported_and_exits_1) {
    for (const char* option : {"--bogus", "-x"}) {
        EmulatorProcess program({"-r", "10", option});
        EXPECT_EQ(run_to_exit(program), 1) << option;
        EXPECT_EQ(program.stdout_text(),
                  "Something went wrong while parsing command line arguments.\n")
            << option;
    }
}

class MissingArgument : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingArgument, option_without_its_argument_names_it_and_exits_1) {
    ProgramLink link;
    ASSERT_FALSE(link.path().empty());
    const std::string& option = GetParam();
    // The letter getopt reports for the short and the long form alike.
    const char letter = option[1] == '-' ? option[2] : option[1];
    EmulatorProcess program({"-e", "0.5", option}, link.path());
    EXPECT_EQ(run_to_exit(program), 1);
    EXPECT_EQ(program.stdout_text(), std::string("emu -> ") + letter + " \nUghhhhh !!!!\n");
}

std::string option_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param[1] == '-' ? "long_" : "short_";
    for (char ch : info.param) {
        if (ch != '-') name += ch;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Options, MissingArgument,
                         ::testing::Values("-r", "-e", "-m", "-c", "-i", "--rate", "--mask"),
                         option_name);

// Whether a module answers discovery at this address and port.
bool answers(const std::string& address, uint16_t port) {
    daq::ModuleClient::Settings settings;
    settings.module = *daq::Endpoint::parse(address, port);
    settings.timeout_s = 0.5;
    daq::ModuleClient client(settings);
    return client.open() && client.discover().acknowledged();
}

TEST(ServedAddress, modules_serve_side_by_side_on_the_address_and_port_asked_for) {
    EmulatorProcess first({"--address", "127.0.0.2", "--port", "10005"});
    EmulatorProcess second({"--address", "127.0.0.3"});
    EmulatorProcess any_port({"--address", "127.0.0.4", "--port", "0"});
    for (EmulatorProcess* p : {&first, &second, &any_port}) {
        ASSERT_TRUE(p->start());
        ASSERT_TRUE(p->wait_until_serving(kTimeout)) << p->stderr_text();
    }
    EXPECT_NE(first.stderr_text().find("Creating server on 127.0.0.2:10005\n"), std::string::npos);
    EXPECT_TRUE(answers("127.0.0.2", 10005));
    EXPECT_TRUE(answers("127.0.0.3", 10000)) << "the port stays 10000 unless one is asked for";
    EXPECT_FALSE(answers("127.0.0.1", 10000)) << "nothing serves the address of the choice";
    const std::string err = any_port.stderr_text();
    const size_t colon = err.find("127.0.0.4:");
    ASSERT_NE(colon, std::string::npos) << err;
    const int picked = std::atoi(err.c_str() + colon + 10);
    EXPECT_GT(picked, 0) << "port 0 logs the port the system picked";
    EXPECT_TRUE(answers("127.0.0.4", static_cast<uint16_t>(picked)));
}

TEST(ServedAddress, a_taken_port_a_foreign_address_or_a_bad_value_ends_with_status_1) {
    EmulatorProcess holder({"--address", "127.0.0.2", "--port", "10005"});
    ASSERT_TRUE(holder.start());
    ASSERT_TRUE(holder.wait_until_serving(kTimeout));
    EmulatorProcess taken({"--address", "127.0.0.2", "--port", "10005"});
    EXPECT_EQ(run_to_exit(taken), 1);
    EXPECT_NE(taken.stderr_text().find("Address already in use"), std::string::npos)
        << taken.stderr_text();
    EmulatorProcess foreign({"--address", "192.0.2.1"});
    EXPECT_EQ(run_to_exit(foreign), 1);
    EXPECT_NE(foreign.stderr_text().find("Cannot serve without a socket"), std::string::npos);
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--address", "127.0.0.300"},
         "--address takes an IPv4 address, such as 127.0.0.2, not \"127.0.0.300\""},
        {{"--port", "70000"}, "--port takes a number from 0 to 65535, not \"70000\""},
        {{"--port", "10x"}, "--port takes a number from 0 to 65535, not \"10x\""},
    };
    for (const auto& [args, message] : bad) {
        EmulatorProcess program(args);
        EXPECT_EQ(run_to_exit(program), 1) << message;
        EXPECT_NE(program.stderr_text().find(message), std::string::npos) << program.stderr_text();
    }
    EXPECT_TRUE(answers("127.0.0.2", 10005)) << "the first module serves on";
}
}  // namespace
