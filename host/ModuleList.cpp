#include "daqhost/ModuleList.h"

#include <algorithm>
#include <fstream>

namespace daq {

namespace {

// The text of one line of a module list: without its comment and the blanks around it.
std::string list_entry(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

void ModuleList::add(const std::string& text) { entries_.push_back({text, ""}); }

bool ModuleList::add_file(const std::string& path) {
    file_ = path;
    std::ifstream file(path);
    int number = 0;
    for (std::string line; file && std::getline(file, line);) {
        ++number;
        std::string entry = list_entry(line);
        if (!entry.empty()) {
            entries_.push_back({std::move(entry), path + ":" + std::to_string(number)});
        }
    }
    if (!file.is_open() || file.bad()) {
        error_ = "cannot read the module list " + path;
        return false;
    }
    return true;
}

bool ModuleList::add_dns(const std::string& name) {
    const std::vector<Endpoint> resolved = Endpoint::resolve(name, port_, error_);
    for (const Endpoint& e : resolved) entries_.push_back({e.text(), name});
    return !resolved.empty();
}

std::optional<std::vector<Endpoint>> ModuleList::modules() {
    std::vector<Endpoint> modules;
    for (const auto& [text, where] : entries_) {
        const std::optional<Endpoint> module = Endpoint::parse_with_port(text, port_);
        if (!module) {
            error_ = where.empty() ? "" : where + ": ";
            error_ += "\"" + text + "\" is not an IPv4 address";
            return std::nullopt;
        }
        if (std::find(modules.begin(), modules.end(), *module) == modules.end()) {
            modules.push_back(*module);
        }
    }
    if (modules.empty()) {
        error_ = file_.empty() ? "no module named" : "no module address in " + file_;
        return std::nullopt;
    }
    return modules;
}

std::optional<std::vector<ModuleClient::Settings>> ModuleList::settings(
    const ModuleClient::Settings& common) {
    const auto endpoints = modules();
    if (!endpoints) return std::nullopt;
    std::vector<ModuleClient::Settings> settings(endpoints->size(), common);
    for (size_t i = 0; i < settings.size(); ++i) settings[i].module = (*endpoints)[i];
    return settings;
}

}  // namespace daq
