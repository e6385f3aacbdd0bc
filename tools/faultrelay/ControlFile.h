// The relay's runtime control (--control FILE): a small text file that the relay reads at start
// and again on each SIGHUP, so that a test stand can switch faults on and off while traffic
// flows without restarting the relay (which would renumber every datagram and lose what it
// holds).
//
// One setting a line; blank lines and lines that begin with '#' are skipped, and a later line
// overrides an earlier one for the same fault and direction:
//   loss DIR P [BURST]   P percent lost, in bursts of BURST datagrams on average
//   delay DIR MS         every datagram held MS milliseconds
//   jitter DIR MS        the delay varied by up to ±MS
//   duplicate DIR P      P percent sent twice
//   reorder DIR P        P percent sent after the next datagram
//   corrupt DIR P        P percent with one bit flipped
//   ack-delay MS [N]     hold the next N acknowledges from the module MS milliseconds longer
//                        (every one from now on without N; "ack-delay 0" ends it)
// DIR is to-module, from-module or both. A fault the file does not name keeps the value of the
// command line (a loss line without BURST keeps its --burst); 0 switches a fault off. A file
// that does not exist asks for nothing.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "faultrelay/FaultSettings.h"

// The faults the control file may change, in the order of FaultChanges::values.
constexpr const FaultQuantity* kChangeableFaults[] = {&kLoss,      &kBurst,   &kDelay,  &kJitter,
                                                      &kDuplicate, &kReorder, &kCorrupt};

// What the control file changes of one direction's faults.
struct FaultChanges {
    // By the place of the fault in kChangeableFaults; nothing: the command line's value.
    std::array<std::optional<double>, std::size(kChangeableFaults)> values = {};

    // The settings with the changes made (the drop list is the command line's).
    FaultSettings applied_to(FaultSettings settings) const;
};

// What the control file asks for.
struct RuntimeFaults {
    // By direction: kToModule first.
    std::array<FaultChanges, 2> changes = {};
    // Added to the hold of each acknowledge from the module; 0: none.
    double ack_delay_ms = 0;
    // How many of the next acknowledges; nothing: every one.
    std::optional<uint64_t> ack_delay_count = {};

    // "acknowledges held 300 ms longer, the next 2", or "acknowledges not held longer".
    std::string acknowledge_text() const;
    // The acknowledge delay and how many are left.
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
