#include "app/ServeLoop.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <iostream>
#include <utility>

#include "support/Vantor.h"
#include "support/utils.h"

namespace {

GMainLoop* loop = nullptr;
// What SIGUSR1 prints, while the loop runs.
std::function<void()> counters;

// Runs from the main loop (GLib turns the signal into an event), so it may call into GLib.
gboolean got_ctlc(gpointer) {
    if (loop != nullptr) g_main_loop_quit(loop);
    return G_SOURCE_CONTINUE;
}

// SIGUSR1: the counters, from the main loop, between two of its callbacks, so a run goes on.
gboolean print_counters(gpointer) {
    if (counters) counters();
    return G_SOURCE_CONTINUE;
}

gboolean server_request(GIOChannel*, GIOCondition, gpointer module) {
    static_cast<DAQmodule*>(module)->process_request();
    return TRUE;
}

}  // namespace

void print_startup_lines(const StartupSettings& settings) {
    std::cout << "Creating DAQModule for chip " << settings.chip_name << "[" << settings.chip_type
              << "]" << std::endl;
    std::cout << "Mask (" << settings.mask_text.value_or("1") << ") 0x" << std::hex
              << static_cast<int>(settings.mask) << std::dec << std::endl;
}

void set_up_module(DAQmodule& module, const StartupSettings& settings) {
    module.configure(settings.mask);
    module.set_period(1.0 / settings.rate);
    module.set_efficiency(settings.efficiency);
    if (settings.busy_poll) module.set_trigger_wait(DAQmodule::TriggerWait::kPoll);
}

guint watch_requests(DAQmodule& module) {
    GIOChannel* channel = g_io_channel_unix_new(module.fileno());
    const guint watch = g_io_add_watch(
        channel, static_cast<GIOCondition>(G_IO_IN | G_IO_PRI | G_IO_HUP), server_request, &module);
    g_io_channel_unref(channel);
    return watch;
}

void handle_signals(std::function<void()> report_counters) {
    // The sources stay until the process ends: removing the last one gives the signal its
    // default action back, and a repeated signal in the last moments would then end the
    // program by the signal instead of with status 0.
    g_unix_signal_add(SIGINT, got_ctlc, nullptr);
    g_unix_signal_add(SIGTERM, got_ctlc, nullptr);
    g_unix_signal_add(SIGUSR1, print_counters, nullptr);
    counters = std::move(report_counters);
}

void run_until_signalled() {
    loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    loop = nullptr;
}

void shut_down(const std::vector<DAQmodule*>& modules) {
    Vantor::ostream log;
    log << Vantor::loglevel(Vantor::Log::Info) << "Stopping the run" << std::endl;
    for (DAQmodule* module : modules) module->stop_run();
    DAQwait(1.0);
    log << Vantor::loglevel(Vantor::Log::Info) << "Stopping the server" << std::endl;
    for (DAQmodule* module : modules) {
        module->stop();
        module->report_counters();
    }
}

int serve_module(const StartupSettings& settings, const ModuleFactory& make_module) {
    Vantor::ostream log;
    print_startup_lines(settings);
    std::unique_ptr<DAQmodule> module = make_module(settings);
    set_up_module(*module, settings);
    handle_signals([&] { module->report_counters(); });

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

    const guint watch = watch_requests(*module);
    run_until_signalled();
    shut_down({module.get()});
    counters = nullptr;
    g_source_remove(watch);
    return 0;
}
