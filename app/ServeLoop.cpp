#include "app/ServeLoop.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <iostream>

#include "support/Vantor.h"
#include "support/utils.h"

namespace {

GMainLoop* loop = nullptr;
// The module whose counters SIGUSR1 prints, while it exists.
const DAQmodule* counted = nullptr;

// Runs from the main loop (GLib turns the signal into an event), so it may call into GLib.
gboolean got_ctlc(gpointer) {
    if (loop != nullptr) g_main_loop_quit(loop);
    return G_SOURCE_CONTINUE;
}

// SIGUSR1: the counters, from the main loop, between two of its callbacks, so a run goes on.
gboolean print_counters(gpointer) {
    if (counted != nullptr) counted->report_counters();
    return G_SOURCE_CONTINUE;
}

gboolean server_request(GIOChannel*, GIOCondition, gpointer module) {
    static_cast<DAQmodule*>(module)->process_request();
    return TRUE;
}

}  // namespace

int serve_module(const StartupSettings& settings, const ModuleFactory& make_module) {
    Vantor::ostream log;
    std::cout << "Creating DAQModule for chip " << settings.chip_name << "[" << settings.chip_type
              << "]" << std::endl;
    std::cout << "Mask (" << settings.mask_text.value_or("1") << ") 0x" << std::hex
              << static_cast<int>(settings.mask) << std::dec << std::endl;

    std::unique_ptr<DAQmodule> module = make_module(settings);
    module->configure(settings.mask);
    module->set_period(1.0 / settings.rate);
    module->set_efficiency(settings.efficiency);
    if (settings.busy_poll) module->set_trigger_wait(DAQmodule::TriggerWait::kPoll);

    g_unix_signal_add(SIGINT, got_ctlc, nullptr);
    g_unix_signal_add(SIGTERM, got_ctlc, nullptr);
    counted = module.get();
    g_unix_signal_add(SIGUSR1, print_counters, nullptr);

    // An address or port asked for is served exactly, or not at all.
    if (settings.exact_address()) {
        module->serve_exactly(settings.address.value_or(""), settings.port.value_or(kModulePort));
    }
    const int setup = module->init_server();
    if (setup == -1 || (setup != 0 && settings.exact_address())) {
        log << Vantor::loglevel(Vantor::Log::Error) << "Cannot serve without a socket: stopping."
            << std::endl;
        return 1;
    }

    loop = g_main_loop_new(nullptr, FALSE);
    GIOChannel* channel = g_io_channel_unix_new(module->fileno());
    const guint watch =
        g_io_add_watch(channel, static_cast<GIOCondition>(G_IO_IN | G_IO_PRI | G_IO_HUP),
                       server_request, module.get());
    g_main_loop_run(loop);

    log << Vantor::loglevel(Vantor::Log::Info) << "Stopping the run" << std::endl;
    module->stop_run();
    DAQwait(1.0);
    log << Vantor::loglevel(Vantor::Log::Info) << "Stopping the server" << std::endl;
    module->stop();
    module->report_counters();
    counted = nullptr;

    g_source_remove(watch);
    g_io_channel_unref(channel);
    module.reset();
    g_main_loop_unref(loop);
    loop = nullptr;
    // The signal sources stay until the process ends: removing the last one gives the signal
    // its default action back, and a repeated signal in the last moments would then end the
    // program by the signal instead of with status 0.
    return 0;
}
