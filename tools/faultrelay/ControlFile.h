// The relay's runtime control (--control FILE): a small text file that the relay reads at start
// and again on each SIGHUP, so that a test stand can change a fault while traffic flows without
// restarting the relay (which would renumber every datagram and lose what it holds).
//
// One setting a line; blank lines and lines that begin with '#' are skipped, and a later line
// overrides an earlier one:
//   ack-delay MS [N]   hold the next N acknowledges from the module MS milliseconds longer
//                      (every one from now on without N; "ack-delay 0" ends it)
// A file that does not exist asks for nothing.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

// What the control file asks for.
struct RuntimeFaults {
    // Added to the hold of each acknowledge from the module; 0: none.
    double ack_delay_ms = 0;
    // How many of the next acknowledges; nothing: every one.
    std::optional<uint64_t> ack_delay_count = {};

    // "acknowledges held 300 ms longer, the next 2", or "none".
    std::string text() const;
    nlohmann::json json() const;
};

class ControlFile {
  public:
    explicit ControlFile(std::string path);

    // The faults the file asks for; nothing (and the reason in `error`) when it cannot be read
    // or a line does not read.
    std::optional<RuntimeFaults> read(std::string& error) const;
    static std::optional<RuntimeFaults> parse(std::string_view text, std::string& error);

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
