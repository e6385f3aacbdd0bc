#include "faultrelay/ControlFile.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>
#include <vector>

namespace {

template <typename Number>
bool read_whole(std::string_view text, Number& number) {
    const char* end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, number);
    return failure == std::errc() && at == end;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    constexpr std::string_view kBlanks = " \t\r";
    size_t begin = line.find_first_not_of(kBlanks);
    while (begin != std::string_view::npos) {
        const size_t end = std::min(line.find_first_of(kBlanks, begin), line.size());
        words.push_back(line.substr(begin, end - begin));
        begin = line.find_first_not_of(kBlanks, end);
    }
    return words;
}

constexpr size_t kLossPlace = 0;
constexpr size_t kBurstPlace = 1;

// The place in kChangeableFaults of the fault a line names (the burst is the loss line's).
std::optional<size_t> place_of(std::string_view name) {
    for (size_t place = 0; place < std::size(kChangeableFaults); ++place) {
        if (place != kBurstPlace && name == kChangeableFaults[place]->name) return place;
    }
    return std::nullopt;
}

std::string apply_ack_delay(const std::vector<std::string_view>& words, RuntimeFaults& faults) {
    if (words.size() < 2 || words.size() > 3) return "ack-delay takes MS and an optional N";
    double ms = 0;
    std::string failure = read_fault_value(FaultValue::kMilliseconds, words[1], ms);
    if (!failure.empty()) return failure;
    std::optional<uint64_t> count;
    if (words.size() == 3) {
        uint64_t n = 0;
        if (!read_whole(words[2], n)) {
            return "\"" + std::string(words[2]) + "\" is not a count of acknowledges";
        }
        count = n;
    }
    faults.ack_delay_ms = ms;
    faults.ack_delay_count = ms > 0 ? count : std::nullopt;
    return "";
}

// "NAME DIR VALUE", and for loss an optional BURST.
std::string apply_fault(size_t place, const std::vector<std::string_view>& words,
                        RuntimeFaults& faults) {
    const FaultQuantity& fault = *kChangeableFaults[place];
    const size_t most = place == kLossPlace ? 4 : 3;
    if (words.size() < 3 || words.size() > most) {
        return std::string(fault.name) + " takes DIR and " +
               (fault.kind == FaultValue::kPercent ? "P" : "MS") +
               (place == kLossPlace ? " and an optional BURST" : "");
    }
    std::array<bool, 2> selected = {};
    std::string failure = read_directions(words[1], selected);
    double value = 0;
    if (failure.empty()) failure = read_fault_value(fault.kind, words[2], value);
    // A later loss line without BURST takes the command line's burst again.
    std::optional<double> burst;
    if (failure.empty() && words.size() == 4) {
        failure = read_fault_value(FaultValue::kBurstLength, words[3], burst.emplace());
    }
    if (!failure.empty()) return failure;
    for (size_t i = 0; i < 2; ++i) {
        if (!selected[i]) continue;
        faults.changes[i].values[place] = value;
        if (place == kLossPlace) faults.changes[i].values[kBurstPlace] = burst;
    }
    return "";
}

// Applies one line's words; returns what is wrong with them, or "".
std::string apply_line(const std::vector<std::string_view>& words, RuntimeFaults& faults) {
    if (words.front() == "ack-delay") return apply_ack_delay(words, faults);
    if (const std::optional<size_t> place = place_of(words.front())) {
        return apply_fault(*place, words, faults);
    }
    return "unknown setting \"" + std::string(words.front()) +
           "\" (known: loss, delay, jitter, duplicate, reorder, corrupt, ack-delay)";
}

}  // namespace

FaultSettings FaultChanges::applied_to(FaultSettings settings) const {
    for (size_t place = 0; place < values.size(); ++place) {
        if (values[place]) settings.*kChangeableFaults[place]->field = *values[place];
    }
    return settings;
}

std::string RuntimeFaults::acknowledge_text() const {
    if (ack_delay_ms <= 0) return "acknowledges not held longer";
    std::ostringstream out;
    out << "acknowledges held " << ack_delay_ms << " ms longer";
    if (ack_delay_count) out << ", the next " << *ack_delay_count;
    return out.str();
}

nlohmann::json RuntimeFaults::json() const {
    return {{"ack-delay", ack_delay_ms},
            {"ack-delay-left", ack_delay_count ? nlohmann::json(*ack_delay_count) : nullptr}};
}

ControlFile::ControlFile(std::string path) : path_(std::move(path)) {}

std::optional<RuntimeFaults> ControlFile::read(std::string& error) const {
    std::ifstream in(path_);
    if (!in) {
        if (errno == ENOENT) return RuntimeFaults{};
        error = "cannot read " + path_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::optional<RuntimeFaults> faults = parse(text.str(), error);
    if (!faults) error.insert(0, path_ + ": ");
    return faults;
}

std::optional<RuntimeFaults> ControlFile::parse(std::string_view text, std::string& error) {
    RuntimeFaults faults;
    size_t number = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = std::min(text.find('\n', begin), text.size());
        const std::vector<std::string_view> words = words_of(text.substr(begin, end - begin));
        begin = end + 1;
        ++number;
        if (words.empty() || words.front().front() == '#') continue;
        error = apply_line(words, faults);
        if (!error.empty()) {
            error.insert(0, "line " + std::to_string(number) + ": ");
            return std::nullopt;
        }
    }
    return faults;
}
