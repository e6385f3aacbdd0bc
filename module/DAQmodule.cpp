#include "module/DAQmodule.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>

#include "module/GeneratedEvents.h"
#include "module/generation.h"
#include "protocol/PacketConversion.h"
#include "protocol/Request.h"
#include "support/Vantor.h"

using namespace daq;

std::allocator<char> DAQmodule::data_allocator;

namespace {

constexpr int kEventCounters = 32;
// How long one call of the signal generator may go on running trigger cycles that keep coming
// due, in seconds: a request waits for it at most this long (plus one cycle).
constexpr double kInlineTurnsBudget = 20e-6;
// How long one call of the pedestal generator may go on refilling the buffer, in seconds: a
// request waits for it at most this long (plus one block).
constexpr double kRefillBudget = 50e-6;
// The refill goes on in one call only while the next trigger is further off than this, far
// more than a block takes (about 2.5 us for 128 channels): at the highest rates, where the
// trigger is always nearer, every call makes what it made before, and so do the draws.
constexpr double kRefillMargin = 20e-6;

// What pedestals() gives for events made without pedestals.
const DataBuffer kNoPedestals{0};

// The module's sources are ids of the default main context; -1 (or 0) means none.
void remove_source(int& source) {
    if (source > 0) g_source_remove(static_cast<guint>(source));
    source = -1;
}

}  // namespace

DAQmodule::DAQmodule(const std::string& interface, int port, int chip_type)
    : DAQmodule(interface, port, chip_type, nullptr) {}

DAQmodule::DAQmodule(const std::string& interface, int port, int chip_type,
                     std::unique_ptr<EventSource> events)
    : DAQemulator(interface, port),
      events(events ? std::move(events) : std::make_unique<GeneratedEvents>(random)),
      pedestal_buffer(this->events->pedestal_buffer()),
      chip_type(chip_type) {
    if (pedestal_buffer != nullptr) {
        pedestal_source = static_cast<int>(g_idle_add(&DAQmodule::generate_pedestals, this));
    }
    // The first interval is drawn whatever the source, so that every module program's random
    // draws begin alike.
    interval = draw_interval(random, period);
    event_counter.assign(kEventCounters, 0);
}

DAQmodule::~DAQmodule() {
    if (trigger_clock != nullptr) trigger_clock->disarm(*this);
    clean();
    // Sources hold a plain pointer to the module: none may outlive it, not even one whose id
    // was dropped because the generator was called directly rather than by the loop.
    while (GSource* source = g_main_context_find_source_by_user_data(nullptr, this)) {
        g_source_destroy(source);
    }
}

void DAQmodule::clean() {
    for (DataStream* stream : streams) delete stream;
    streams.clear();
    nhybrid = 0;
}

void DAQmodule::configure(uint8_t mask) {
    clean();
    nhybrid = 0;
    for (int i = 0; i < 4; ++i) {
        std::cout << "mask " << i << std::endl;
        if (mask & (1 << i)) {
            std::cout << "...hybrid" << std::endl;
            ++nhybrid;
            streams.push_back(new DataStream(i + 1, 2));
        }
    }
    std::cout << "Number of Hybrids: " << nhybrid << std::endl;
    for (const DataStream* stream : streams) {
        std::cout << "... hybrid id=" << stream->id() << std::endl;
    }
}

DataStream* DAQmodule::find_stream(int id) const {
    auto found = std::find_if(streams.begin(), streams.end(), data_stream_finder(id));
    return found == streams.end() ? nullptr : *found;
}

uint32_t DAQmodule::event_count(int id) const {
    if (id < 0 || id >= static_cast<int>(event_counter.size())) return 0;
    return event_counter[static_cast<size_t>(id)];
}

void DAQmodule::filter(char* data, int size) { to_host_order(data, size); }

unsigned short DAQmodule::take_request(const std::string& sender, unsigned short, const char* data,
                                       int size, AcknowledgePacket* ack) {
    const int code = Request(data, size).code();
    ack->set_version(2, 2, 4);
    int result;
    switch (code) {
        case packet::kConfigureStream:
            result = configure_stream(data, size);
            break;
        case packet::kHoldDelay:
            result = set_hold_delay(data, size);
            break;
        case packet::kBias:
            result = set_bias(data, size);
            break;
        case packet::kMbias:
            result = set_mbias(data, size);
            break;
        case packet::kCoincidenceTimeWindow:
            result = set_coinc_time_window(data, size);
            break;
        case packet::kNoAction:
            result = packet::kDone;
            break;
        case packet::kConfig:
            result = set_config(data, size);
            break;
        case packet::kReadoutMode:
            result = set_readout_mode(data, size);
            break;
        case packet::kTriggerType:
            result = set_trigger_type(data, size);
            break;
        case packet::kDaqCommand:
            result = daq_command(data, size);
            break;
        default:
            result = unknown_command(sender, size, code);
            break;
    }
    return static_cast<unsigned short>(result);
}

unsigned short DAQmodule::unknown_command(const std::string& sender, int size, int code) {
    std::cout << "Unknown command:" << std::endl;
    std::cout << "\tMessage from " << sender << "(" << size << " bytes)"
              << " code: " << code << std::endl;
    return packet::kUnknownCommand;
}

int DAQmodule::log_only(const char* prefix, const char* data, int size) {
    std::cout << prefix << dump_packet(data, size) << std::endl;
    return packet::kDone;
}

int DAQmodule::set_hold_delay(const char* data, int size) {
    return log_only("hold_delay: ", data, size);
}

int DAQmodule::set_bias(const char* data, int size) { return log_only("set_bias: ", data, size); }

int DAQmodule::set_mbias(const char* data, int size) { return log_only("set_mbias: ", data, size); }

int DAQmodule::set_coinc_time_window(const char* data, int size) {
    return log_only("ctw: ", data, size);
}

int DAQmodule::set_config(const char* data, int size) {
    return log_only("set_config: ", data, size);
}

int DAQmodule::set_trigger_type(const char* data, int size) {
    return log_only("trg_type: ", data, size);
}

int DAQmodule::configure_stream(const char* data, int size) {
    const Request request(data, size);
    std::cout << "config_init: " << dump_packet(data, size) << std::endl;
    const StreamConfiguration fields = request.fields().stream_configuration();
    DataStream* stream = find_stream(fields.hybrid);
    // The module-wide chip type changes even when no stream has the id.
    chip_type = static_cast<int>(fields.chip_type);
    const int nchip = static_cast<int>(fields.chips);
    std::cout << "Chip type is " << chip_type << std::endl;
    std::cout << "Number of chips is " << nchip << std::endl;
    if (stream == nullptr) return packet::kNoSuchHybrid;
    stream->set_chip_type(chip_type);
    stream->set_nchip(nchip);
    std::cout << "Found hybrid !!!" << std::endl;
    events->chips_set(*stream);
    return packet::kDone;
}

int DAQmodule::set_readout_mode(const char* data, int size) {
    const Request request(data, size);
    std::cout << "set_romode: " << dump_packet(data, size) << std::endl;
    const ReadoutModeSetting fields = request.fields().readout_mode();
    const int hybrid = static_cast<int>(fields.hybrid);
    const int mode = static_cast<int>(fields.mode);
    const int nadj = static_cast<int>(fields.nadj);
    // "Hybid" and "hybid" in this line and the one after the stream's settings are spelt so on
    // purpose: users' scripts match these texts as they are.
    std::cout << "... Hybid: " << hybrid << " ro_mode " << mode << " nadj " << nadj << std::endl;
    DataStream* stream = find_stream(hybrid);
    if (stream == nullptr) return packet::kDone;
    stream->set_readout_mode(mode, nadj);
    std::cout << "Values set for hybid " << hybrid << " ro_mode " << stream->readout_mode()
              << " nadj " << stream->nadj() << std::endl;
    events->readout_mode_set(*stream);
    return packet::kDone;
}

int DAQmodule::daq_command(const char* data, int size) {
    const Request request(data, size);
    std::cout << "daq_command: " << dump_packet(data, size) << std::endl;
    const int hybrid = request.hybrid();
    const unsigned command = request.word(3);
    if (find_stream(hybrid) == nullptr && hybrid != packet::kAllHybrids) {
        // Spelt so on purpose: users' scripts match this text as it is.
        std::cout << "Recived DAQ command for wrong Hybrid id" << std::endl;
        return packet::kNoSuchHybrid;
    }
    std::cout << "received DAQ command " << command << " for hybrid " << hybrid << std::endl;
    if (command == 0) {
        stop_run();
    } else if (signal_source < 0 && !start_pending()) {
        // A start while a start is pending would give the run a second signal generator.
        start_run();
    }
    return packet::kDone;
}

void DAQmodule::set_period(double period) {
    this->period = period;
    set_interval();
}

void DAQmodule::set_interval() { interval = next_interval(0.0); }

double DAQmodule::next_interval(double overrun) {
    return events->next_interval({period, overrun, run_active(), streams, random});
}

bool DAQmodule::check_interval() const { return !(interval > trigger_timer()); }

double DAQmodule::time_to_cycle() const {
    return run_active() ? time_to_trigger() : std::numeric_limits<double>::infinity();
}

double DAQmodule::time_to_trigger() const { return interval - trigger_timer(); }

void DAQmodule::reset_interval() {
    // The timer's reset and set_interval(), with the time the cycle ran past its interval.
    const double overrun = trigger_timer.restart() - interval;
    interval = next_interval(std::isfinite(overrun) ? overrun : 0.0);
}

void DAQmodule::start_run() {
    std::cout << "Starting run" << std::endl;
    ++activity_.runs_started;
    run_timer.start();
    std::fill(event_counter.begin(), event_counter.end(), 0);
    start_source = static_cast<int>(g_timeout_add(10, &DAQmodule::delayed_start, this));
    if (const auto first = events->start_run({period, 0.0, run_active(), streams, random})) {
        interval = *first;
    }
}

gboolean DAQmodule::delayed_start(gpointer data) {
    auto* module = static_cast<DAQmodule*>(data);
    module->start_source = -1;
    if (module->trigger_clock != nullptr) {
        // Id 0: a run under way, with no source of the module's own to remove.
        module->signal_source = 0;
        module->trigger_timer.start();
        module->trigger_clock->arm(*module);
        return FALSE;
    }
    guint source = 0;
    if (module->trigger_wait == TriggerWait::kPoll) {
        source = g_idle_add(&DAQmodule::generate_signal, module);
    } else {
        // Asks for the time left on every turn of the loop, as polling would, but sleeps
        // while the trigger is far off. Same priority as the idle source it stands for.
        const DeadlineSource::Remaining remaining = [](gpointer m) {
            return static_cast<const DAQmodule*>(m)->time_to_trigger();
        };
        source = DeadlineSource::attach(&DAQmodule::generate_signal, remaining, module,
                                        G_PRIORITY_DEFAULT_IDLE);
    }
    module->signal_source = static_cast<int>(source);
    module->trigger_timer.start();
    return FALSE;
}

std::optional<DeadlineSource::Wakeups> DAQmodule::running_wakeups() const {
    if (signal_source <= 0) return std::nullopt;
    return DeadlineSource::wakeups(static_cast<guint>(signal_source));
}

void DAQmodule::stop_run() {
    std::cout << "Stopping run" << std::endl;
    if (const auto wakeups = running_wakeups()) activity_.timer_wakeups += *wakeups;
    // A stop inside the start window also cancels the pending start.
    remove_source(start_source);
    remove_source(signal_source);
    if (trigger_clock != nullptr) trigger_clock->disarm(*this);
}

gboolean DAQmodule::generate_pedestals(gpointer data) {
    auto* module = static_cast<DAQmodule*>(data);
    if (!module->pedestal_turn()) return FALSE;
    // Beyond that, blocks go on being made in this call while the next trigger is further off
    // than a block can take, as the loop would make them one per turn: the same blocks before
    // the same trigger, without the turns. Nearer, one per call again, so that a trigger that
    // comes due waits for one block at most; a request waits for the budget at most.
    const DAQTimer spent;
    while (module->time_to_cycle() > kRefillMargin && spent() < kRefillBudget) {
        if (!module->pedestal_step()) return FALSE;
    }
    return TRUE;
}

bool DAQmodule::pedestal_turn() {
    // The blocks that the next trigger cycle still lacks are made in one call: the cycle
    // cannot fire before the last of them, so one per turn of the loop would only add turns.
    // The random draws come in the same order either way. Beyond that need, one block.
    int lacking = blocks_needed() - pedestals().items_left();
    do {
        if (!pedestal_step()) return false;
    } while (--lacking > 0);
    return true;
}

gboolean DAQmodule::generate_signal(gpointer data) {
    return static_cast<DAQmodule*>(data)->signal_step() ? TRUE : FALSE;
}

const DataBuffer& DAQmodule::pedestals() const {
    return pedestal_buffer != nullptr ? *pedestal_buffer : kNoPedestals;
}

bool DAQmodule::pedestal_step() {
    if (pedestal_buffer == nullptr || pedestal_buffer->full()) {
        pedestal_source = -1;
        return false;
    }
    events->make_pedestal_block(channels_per_chip());
    ++activity_.pedestal_blocks;
    return true;
}

int DAQmodule::blocks_needed() const {
    if (pedestal_buffer == nullptr) return 0;
    int needed = 0;
    for (const DataStream* stream : streams) needed += std::max(stream->nchip(), 0);
    return needed;
}

bool DAQmodule::signal_step() {
    // At the highest rates a turn of the event loop costs about a sixth of a one-hybrid trigger
    // cycle. While cycles keep coming due, the turns that would follow are run here instead:
    // the pedestal generator's call, then this one's, as the loop would make them (the two
    // idle sources take turns), so the random draws, and the data, stay the same.
    const DAQTimer turns;
    for (;;) {
        if (!check_interval()) return true;
        if (!trigger()) return true;
        reset_interval();
        if (signal_source < 0) return false;
        if (pedestal_source < 0 || turns() > kInlineTurnsBudget) return true;
        const DataBuffer& buffer = pedestals();
        const int lacking = std::max(blocks_needed() - buffer.items_left(), 1);
        // A pedestal generator that fills the buffer takes itself out of the loop, which only
        // the loop can do: that call is left to the loop.
        if (buffer.items_left() + lacking >= buffer.capacity()) return true;
        pedestal_turn();
    }
}

bool DAQmodule::queued_step(double window) {
    if (signal_source < 0) return false;
    const double left = time_to_trigger();
    if (left > window) return true;
    if (!trigger()) return true;
    reset_interval();
    interval += std::clamp(left, -0.5 * period, 0.5 * period);
    return signal_source >= 0;
}

bool DAQmodule::common_cycle(uint32_t event) {
    // A cycle held for blocks would put the module out of step with the others: the blocks it
    // lacks are made now, and the buffer is filled again between the triggers rather than only
    // once it has run dry. The trigger's own times pace it: the module's interval never ends.
    interval = std::numeric_limits<double>::infinity();
    if (pedestals().items_left() < blocks_needed()) pedestal_turn();
    for (const DataStream* stream : streams) {
        event_counter[static_cast<size_t>(stream->id())] = event - 1;
    }
    holding_send = true;
    const bool fired = trigger();
    holding_send = false;
    if (!fired) cycle_datagrams.clear();
    if (pedestal_buffer != nullptr && pedestal_source < 0 && !pedestal_buffer->full()) {
        pedestal_source = static_cast<int>(g_idle_add(&DAQmodule::generate_pedestals, this));
    }
    return fired;
}

bool DAQmodule::trigger() {
    const double elapsed_us = run_timer() * 1000000.0;
    const auto time_stamp = static_cast<uint32_t>(static_cast<int64_t>(elapsed_us));
    const int cpc = channels_per_chip();

    const int needed = blocks_needed();
    if (pedestals().items_left() < needed) {
        if (needed > pedestals().max_items() && needed != reported_need) {
            Vantor::ostream log;
            log << Vantor::loglevel(Vantor::Log::Error) << "No trigger can fire: one trigger needs "
                << needed << " pedestal blocks (one per chip of every hybrid), but the buffer "
                << "holds at most " << pedestals().max_items() << ". Configure fewer chips."
                << std::endl;
            reported_need = needed;
        }
        if (pedestal_source < 0) {
            pedestal_source = static_cast<int>(g_idle_add(&DAQmodule::generate_pedestals, this));
        }
        return false;
    }
    reported_need = 0;

    cycle_bytes.clear();
    cycle_datagrams.clear();
    for (int i = 0; i < nhybrid; ++i) {
        const DataStream& stream = *streams[static_cast<size_t>(i)];
        const uint32_t event = ++event_counter[static_cast<size_t>(stream.id())];
        const Trigger counted{static_cast<uint16_t>(event), time_stamp, cpc};
        if (!passes_efficiency_test()) {
            events->pass_over(stream);
            continue;
        }
        const std::span<const uint8_t> packet = events->make_event(stream, counted);
        if (!packet.empty()) queue_data(packet);
    }
    if (!holding_send) send_cycle();
    ++activity_.trigger_cycles;
    return true;
}

void DAQmodule::send_common_cycle() {
    send_cycle();
    cycle_datagrams.clear();
}

bool DAQmodule::passes_efficiency_test() { return !(random.randuniform() > efficiency); }

void DAQmodule::queue_data(std::span<const uint8_t> packet) {
    cycle_bytes.insert(cycle_bytes.end(), packet.begin(), packet.end());
    cycle_datagrams.push_back({nullptr, static_cast<int>(packet.size()), false});
}

void DAQmodule::send_cycle() {
    if (cycle_datagrams.empty()) return;
    // The pointers are taken once every packet is in: until then the bytes may move.
    const char* next = reinterpret_cast<const char*>(cycle_bytes.data());
    for (OutgoingDatagram& datagram : cycle_datagrams) {
        datagram.data = next;
        next += datagram.length;
    }
    send_packets(peer_address, peer_port, cycle_datagrams);
    for (const OutgoingDatagram& datagram : cycle_datagrams) {
        if (!datagram.sent) continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data);
        const auto size = static_cast<size_t>(datagram.length);
        // The id byte: the high byte of word 1.
        HybridTraffic& traffic = activity_.data[size > 2 ? bytes[2] : 0];
        ++traffic.packets;
        traffic.bytes += size;
    }
}

void DAQmodule::report_counters() const {
    Vantor::ostream log;
    const Requests& taken = requests();
    uint64_t total = 0;
    std::ostringstream codes;
    for (size_t code = 0; code < taken.by_code.size(); ++code) {
        if (taken.by_code[code] == 0) continue;
        codes << (total == 0 ? "" : ", ") << "code " << code << ": " << taken.by_code[code];
        total += taken.by_code[code];
    }
    log << Vantor::loglevel(Vantor::Log::Info) << "Counters: requests " << total;
    if (total > 0) log << " (" << codes.str() << ")";
    log << std::endl;
    log << Vantor::loglevel(Vantor::Log::Info) << "Counters: acknowledges sent "
        << taken.acknowledges << ", send failures " << traffic().send_failures << std::endl;
    log << Vantor::loglevel(Vantor::Log::Info) << "Counters: malformed datagrams dropped "
        << taken.malformed + traffic().empty_received << ", own datagrams dropped " << taken.own
        << std::endl;
    log << Vantor::loglevel(Vantor::Log::Info) << "Counters: runs started "
        << activity_.runs_started << ", trigger cycles " << activity_.trigger_cycles
        << ", pedestal blocks generated " << activity_.pedestal_blocks << std::endl;
    DeadlineSource::Wakeups wakeups = activity_.timer_wakeups;
    const auto running = running_wakeups();
    if (running) wakeups += *running;
    if (wakeups.count > 0) {
        log << Vantor::loglevel(Vantor::Log::Info) << "Counters: trigger timer wake-ups "
            << wakeups.count << ", late by "
            << std::lround(wakeups.late_total / wakeups.count * 1e6) << " us on average and "
            << std::lround(wakeups.late_most * 1e6) << " us at most";
        if (running) log << ", armed " << std::lround(running->early * 1e6) << " us early";
        log << std::endl;
    }
    for (const DataStream* stream : streams) {
        const HybridTraffic& data = activity_.data[static_cast<uint8_t>(stream->id())];
        log << Vantor::loglevel(Vantor::Log::Info) << "Counters: hybrid " << stream->id() << ": "
            << data.packets << " data packets, " << data.bytes << " bytes" << std::endl;
    }
}
