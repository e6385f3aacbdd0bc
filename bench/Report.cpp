#include "Report.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string grouped(double value) {
    const std::string digits = fixed(value, 0);
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += "\u2009";
        out += digits[i];
    }
    return out;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) != 0) continue;
        const size_t colon = line.find(": ");
        return colon == std::string::npos ? line : line.substr(colon + 2);
    }
    return "unknown";
}

std::string load_average() {
    std::ifstream load("/proc/loadavg");
    std::string one, five, fifteen;
    load >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string self_path() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

std::string dash_or(const std::optional<double>& value, int decimals) {
    return value ? fixed(*value, decimals) : "\u2013";
}

std::optional<double> quantile(std::vector<double> samples, double q) {
    if (samples.empty()) return std::nullopt;
    const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
    const size_t index = std::min(samples.size() - 1, rank > 0 ? rank - 1 : 0);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return samples[index];
}

std::optional<double> processor_seconds(pid_t pid) {
    clockid_t clock{};
    timespec used{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
        return std::nullopt;
    }
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}
