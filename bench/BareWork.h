// The bare work of the emulator's trigger cycles, without the event loop: for each trigger and
// each hybrid, the pedestal blocks of its two chips made with the generator's Gaussian draws,
// copied into the channel array, one hit added, the data packet built, converted and sent to
// the host with a plain sendto. This is the speed a plain program reaches on the same machine,
// against which the emulator is measured.
#pragma once

#include <cstdint>

struct BareWorkSettings {
    int hybrids = 1;
    int mode = 1;
    int nadj = 4;
    uint64_t triggers = 0;
    uint16_t host_port = 0;
    // The port it sends from, on 127.0.0.1: the host's client takes datagrams from the port it
    // knows the module at alone.
    uint16_t own_port = 0;
    // The integer source: the emulator's own generator, or the C library's rand() called
    // directly (which takes a lock on every call).
    bool libc_rand = false;
};

// Runs the loop; 0 when every packet could be sent.
int run_bare_work(const BareWorkSettings& settings);
