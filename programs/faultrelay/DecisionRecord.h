// The file --decisions names: one line for each datagram a fault touched, with no times in it,
// so that two runs with the same seed and the same datagrams can be compared with cmp:
//
//   to-module 12 dropped
//   from-module 1234 lost
//   from-module 90 corrupted bit 1234, duplicated, held 52.250 ms
//   to-module 5 held for reorder
//   to-module 6 too big
//   from-module 7 ack held 300 ms
//
// The facts of a datagram come in the order they are decided. Lines are gathered in memory and
// written about once a second, when much has gathered, and at exit, so that a relay at tens of
// thousands of datagrams a second spends a system call on many lines.
#pragma once

#include <chrono>
#include <string>

#include "faultrelay/FaultPlan.h"

class DecisionRecord {
  public:
    explicit DecisionRecord(std::string path);
    // Writes what is gathered.
    ~DecisionRecord();
    DecisionRecord(const DecisionRecord&) = delete;
    DecisionRecord& operator=(const DecisionRecord&) = delete;

    // Creates the file, or empties it; false (reported) when it cannot.
    bool open();
    // The line of a datagram that a fault touched; `ack_hold` is how much longer the runtime
    // control socket held it as an acknowledge.
    void add(Direction direction, const FaultDecision& decision,
             std::chrono::microseconds ack_hold);
    // False when the file could not be written. The first failure of a series is reported; the
    // lines that could not be written are given up.
    bool flush();

    // Appends the line of the decision, or nothing when no fault touched the datagram.
    static void append_line(std::string& out, Direction direction, const FaultDecision& decision,
                            std::chrono::microseconds ack_hold);

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::string gathered_;
    bool failing_ = false;
};
