// Discovers one module, configures hybrid 1, takes a run of N events and prints the summary.
//   host-minimal [ADDR [EVENTS]]        (default 127.0.0.1 and 1000)
#include <daqhost/daqhost.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const std::string address = argc > 1 ? argv[1] : "127.0.0.1";
    const auto module = daq::Endpoint::parse(address, daq::ModuleClient::kModulePort);
    if (!module) {
        std::fprintf(stderr, "host-minimal: %s is not an IPv4 address\n", address.c_str());
        return 1;
    }
    daq::RunSettings settings;
    settings.modules.push_back({});
    settings.modules[0].module = *module;
    settings.hybrids = {{.hybrid = 1, .chips = 2, .mode = 1}};
    settings.events = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    settings.seconds = 60;  // a bound, should the module stop sending

    daq::RunSession session(settings);
    session.on_error([](const std::string& message) {
        std::fprintf(stderr, "host-minimal: %s\n", message.c_str());
    });
    const bool ran = session.run();

    for (const daq::StreamSummary& s : session.module(0).statistics.summaries()) {
        std::printf("hybrid %d: %llu packets, %llu missing, efficiency %.4f, pedestal %.2f\n",
                    s.hybrid, static_cast<unsigned long long>(s.packets),
                    static_cast<unsigned long long>(s.missing), s.efficiency,
                    s.pedestal_mean.value_or(0));
    }
    const daq::ModuleFigures f = session.total();
    std::printf("%llu events in %.3f s\n", static_cast<unsigned long long>(f.events),
                session.seconds());
    return ran && f.events >= settings.events ? 0 : 1;
}
