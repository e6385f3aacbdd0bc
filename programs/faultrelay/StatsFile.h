// The file --stats names: the relay's counters and settings as JSON, replaced as a whole each
// time (written beside it, then renamed over it) so that a reader never sees half a file.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

class StatsFile {
  public:
    explicit StatsFile(std::string path);

    // False when the file could not be written. The first failure of a series is reported
    // on standard error; the next ones only after a success.
    bool write(const nlohmann::json& statistics);

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string temporary_path_;
    bool failing_ = false;
};
