#include "faultrelay/StatsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <utility>

#include "faultrelay/Report.h"

StatsFile::StatsFile(std::string path) : path_(std::move(path)), temporary_path_(path_ + ".tmp") {}

bool StatsFile::write(const nlohmann::json& statistics) {
    std::string failure;
    {
        std::ofstream out(temporary_path_, std::ios::trunc);
        out << statistics.dump(2) << '\n';
        out.close();
        if (!out) failure = "cannot write " + temporary_path_ + ": " + std::strerror(errno);
    }
    if (failure.empty() && std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
        failure = "cannot rename " + temporary_path_ + " to " + path_ + ": " + std::strerror(errno);
    }
    if (!failure.empty()) {
        if (!failing_) report(failure);
        failing_ = true;
        return false;
    }
    failing_ = false;
    return true;
}
