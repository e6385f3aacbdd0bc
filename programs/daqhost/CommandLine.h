// What the subcommands of daqhost share: exit statuses, the way errors are reported, and
// interrupts. The options that name modules are the library's (ModuleOptions.h).
#pragma once

#include <string>

// Exit statuses: 0 success, 1 a failure (no acknowledge, an error code, a bad file), 2 a
// command line that could not be understood.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "daqhost: " + message on standard error.
void report_error(const std::string& message);

// Ctrl-C and SIGTERM from now on only set a flag, which interrupted() reads, so that a
// command ends as it would have ended anyway (a run stopped, a capture closed, a summary
// printed). No SA_RESTART: a wait returns at once.
void catch_interrupts();
bool interrupted();
