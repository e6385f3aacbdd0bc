#include "faultrelay/DecisionRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "faultrelay/Report.h"

namespace {

// Written when this much has gathered, before the next flush is due.
constexpr size_t kGatherLimit = 1 << 20;

void append_number(std::string& out, uint64_t number) {
    char digits[20];
    const auto [end, failure] = std::to_chars(digits, digits + sizeof(digits), number);
    out.append(digits, end);
}

// "52.250": a hold drawn to the microsecond.
void append_fixed_ms(std::string& out, std::chrono::microseconds hold) {
    const auto us = static_cast<uint64_t>(hold.count());
    append_number(out, us / 1000);
    const uint64_t fraction = us % 1000;
    const char decimals[] = {'.', static_cast<char>('0' + fraction / 100),
                             static_cast<char>('0' + fraction / 10 % 10),
                             static_cast<char>('0' + fraction % 10)};
    out.append(decimals, sizeof(decimals));
}

// "300" or "2.5": a hold as the control socket set it.
void append_ms(std::string& out, std::chrono::microseconds hold) {
    append_fixed_ms(out, hold);
    // The decimal point stops it before the whole milliseconds.
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
}

}  // namespace

DecisionRecord::DecisionRecord(std::string path) : path_(std::move(path)) {}

DecisionRecord::~DecisionRecord() {
    if (fd_ < 0) return;
    flush();
    ::close(fd_);
}

bool DecisionRecord::open() {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ >= 0) return true;
    report("cannot write " + path_ + ": " + std::strerror(errno));
    return false;
}

void DecisionRecord::add(Direction direction, const FaultDecision& decision,
                         std::chrono::microseconds ack_hold) {
    append_line(gathered_, direction, decision, ack_hold);
    if (gathered_.size() >= kGatherLimit) flush();
}

bool DecisionRecord::flush() {
    size_t at = 0;
    while (at < gathered_.size() && fd_ >= 0) {
        const ssize_t written = ::write(fd_, gathered_.data() + at, gathered_.size() - at);
        if (written > 0) {
            at += static_cast<size_t>(written);
        } else if (written < 0 && errno != EINTR) {
            break;
        }
    }
    const bool complete = at == gathered_.size();
    if (!complete && !failing_) report("cannot write " + path_ + ": " + std::strerror(errno));
    failing_ = !complete;
    gathered_.clear();
    return complete;
}

void DecisionRecord::append_line(std::string& out, Direction direction,
                                 const FaultDecision& decision,
                                 std::chrono::microseconds ack_hold) {
    const size_t start = out.size();
    const char* separator = " ";
    const auto fact = [&](const char* text) {
        out += separator;
        out += text;
        separator = ", ";
    };
    out += direction_name(direction);
    out += ' ';
    append_number(out, decision.number);
    const size_t bare = out.size();
    if (decision.fate == FaultDecision::Fate::kDropped) fact("dropped");
    if (decision.fate == FaultDecision::Fate::kLost) fact("lost");
    if (decision.fate == FaultDecision::Fate::kTooBig) fact("too big");
    if (decision.flipped_bit) {
        fact("corrupted bit ");
        append_number(out, *decision.flipped_bit);
    }
    if (decision.copies > 1) fact("duplicated");
    if (decision.held_for_reorder) fact("held for reorder");
    if (decision.hold.count() > 0) {
        fact("held ");
        append_fixed_ms(out, decision.hold);
        out += " ms";
    }
    if (ack_hold.count() > 0) {
        fact("ack held ");
        append_ms(out, ack_hold);
        out += " ms";
    }
    if (out.size() == bare) {
        out.resize(start);
        return;
    }
    out += '\n';
}
