#include "CommandLine.h"

#include <atomic>
#include <csignal>
#include <iostream>

void report_error(const std::string& message) { std::cerr << "daqhost: " << message << std::endl; }

namespace {

std::atomic<bool> interrupt_caught{false};

void on_interrupt(int) { interrupt_caught = true; }

}  // namespace

void catch_interrupts() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return interrupt_caught; }
