// The modules a host drives at once, named in any of three ways together: addresses one by one,
// a file of them, and a DNS name that resolves to many (a scaled service). Each module is kept
// once, in the order it was first named, so that a file or a name may repeat an address given
// beside it. An address without a port takes the list's port.
//
// An entry may carry the module's own run options after its address, in words separated by
// blanks ("11.0.0.12:10000 --hybrids 1,2"): the list keeps them for the program that reads
// them, and says where they were given so that an error in them can be named.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/Endpoint.h"
#include "daqhost/ModuleClient.h"
#include "protocol/Export.h"

namespace daq {

// A module as a list names it.
struct NamedModule {
    Endpoint module;
    // The words after its address, which the list does not read; empty for none.
    std::vector<std::string> options;
    std::string where;  // "FILE:LINE", the DNS name, or empty (added one by one)
};

class DAQ_API ModuleList {
  public:
    explicit ModuleList(uint16_t port = ModuleClient::kModulePort) : port_(port) {}

    // "ADDR" or "ADDR:PORT", optionally followed by options; read by modules().
    void add(const std::string& text);
    // A file of one module a line (an entry as add() takes it), "#" to the end of a line a
    // comment, blank lines ignored; false, with error() set, when it cannot be read.
    bool add_file(const std::string& path);
    // Every IPv4 address `name` resolves to; false, with error() set, when it resolves to none.
    bool add_dns(const std::string& name);

    // Every module named, each once. Nothing, with error() set, for an entry that is not an
    // address (a file's line is named as FILE:LINE), for a module named again with other
    // options than before (a repeat without options takes the ones given), or when no module
    // was named.
    std::optional<std::vector<NamedModule>> named();
    // The addresses of named().
    std::optional<std::vector<Endpoint>> modules();
    // A client's settings for each module: `common` with the module in place.
    std::optional<std::vector<ModuleClient::Settings>> settings(
        const ModuleClient::Settings& common);

    const std::string& error() const { return error_; }

  private:
    struct Entry {
        std::string text;
        std::string where;  // "FILE:LINE", the DNS name, or empty
    };

    uint16_t port_;
    std::vector<Entry> entries_;
    std::string file_;  // the last file added, which an empty list names
    std::string error_;
};

}  // namespace daq
