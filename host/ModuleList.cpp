#include "daqhost/ModuleList.h"

#include <algorithm>
#include <fstream>
#include <sstream>

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

std::optional<std::vector<NamedModule>> ModuleList::named() {
    std::vector<NamedModule> named;
    for (const auto& [text, where] : entries_) {
        std::istringstream words(text);
        std::string address;
        words >> address;
        const std::optional<Endpoint> module = Endpoint::parse_with_port(address, port_);
        const std::string at = where.empty() ? "" : where + ": ";
        if (!module) {
            error_ = at;
            error_ += "\"" + address + "\" is not an IPv4 address";
            return std::nullopt;
        }
        NamedModule entry{*module, {}, where};
        for (std::string word; words >> word;) entry.options.push_back(word);
        const auto kept = std::find_if(named.begin(), named.end(),
                                       [&](const NamedModule& m) { return m.module == *module; });
        if (kept == named.end()) {
            named.push_back(std::move(entry));
        } else if (kept->options.empty()) {
            kept->options = std::move(entry.options);
            kept->where = where;
        } else if (!entry.options.empty() && entry.options != kept->options) {
            error_ = at + module->text() + " is named again with other options";
            return std::nullopt;
        }
    }
    if (named.empty()) {
        error_ = file_.empty() ? "no module named" : "no module address in " + file_;
        return std::nullopt;
    }
    return named;
}

std::optional<std::vector<Endpoint>> ModuleList::modules() {
    const auto named_modules = named();
    if (!named_modules) return std::nullopt;
    std::vector<Endpoint> modules;
    for (const NamedModule& m : *named_modules) modules.push_back(m.module);
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
