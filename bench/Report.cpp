#include "Report.h"

#include <algorithm>
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
