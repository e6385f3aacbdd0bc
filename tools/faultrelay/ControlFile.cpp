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

// Applies one line's words; returns what is wrong with them, or "".
std::string apply_line(const std::vector<std::string_view>& words, RuntimeFaults& faults) {
    if (words.front() != "ack-delay") {
        return "unknown setting \"" + std::string(words.front()) + "\" (known: ack-delay)";
    }
    if (words.size() < 2 || words.size() > 3) return "ack-delay takes MS and an optional N";
    double ms = 0;
    if (!read_whole(words[1], ms) || !std::isfinite(ms) || ms < 0) {
        return "\"" + std::string(words[1]) + "\" is not a time in milliseconds, 0 or more";
    }
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

}  // namespace

std::string RuntimeFaults::text() const {
    if (ack_delay_ms <= 0) return "none";
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
