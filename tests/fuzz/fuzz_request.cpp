// Fuzz target: arbitrary datagrams through the request path, as the event loop hands them to
// the module (filter, then handle_request, then the handler of the command code).
//
// Input: the hybrid mask byte, the chip type byte, then datagrams, each a two-byte big-endian
// length followed by its bytes. Replies are checked and counted; no socket is opened.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "testing/FuzzModule.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    fuzz::restart_random();
    const uint8_t mask = input.byte();
    const int chip_type = input.byte();
    auto module = std::make_unique<CapturingModule>(chip_type, fuzz::kCheckEverySend);
    fuzz::draw_replayably(module->random_sequence());
    module->configure(mask);

    unsigned short port = 40000;
    while (!input.empty()) {
        const std::string datagram = input.datagram();
        module->deliver("127.0.0.1", port++, datagram.data(), datagram.size());
        fuzz::require_whole_packets(*module, "a request");
    }

    fuzz::destroy(module);
    return 0;
}
