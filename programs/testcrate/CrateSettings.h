// What testCrate is told on its command line: testModule's options, for every module, and the
// crate's own: its modules' addresses (and network namespaces), the common trigger, the control
// socket.
#pragma once

#include <string>
#include <vector>

#include "app/CommandLine.h"

struct CrateSettings {
    // Every module's: rate, efficiency, mask, chip type, trigger wait and port.
    StartupSettings module;

    struct Slot {
        std::string address;
        // The network namespace the module's socket is made in (a name under /run/netns, or a
        // path); empty: the crate's own.
        std::string netns;
    };
    // Module 1 first.
    std::vector<Slot> modules;
    bool common_trigger = false;
    std::string control_socket;
};

// Reads the command line into `settings`. Returns -1 when the program goes on, or the exit
// status after -h or an option error (whose text has been printed).
int parse_crate_command_line(int argc, char** argv, CrateSettings& settings);
