// host_throughput: whether `daqhost run` keeps up with testModule at its highest rate, and with
// a paced module at the rates of faster machines, measured against a bare receive loop of this
// program's own in the same run, and printed as one Markdown table.
//
//   host_throughput [--quick] [--events N] [--rounds R] [--paced-rates R1,R2,...]
//
// It enters a network namespace of its own (testModule always binds port 10000), starts
// `testModule -r 1000000 -m 1111 -e 1` and takes, each round, N events of 4 hybrids in readout
// mode 1 with: daqhost recording a capture file, daqhost without one, and the bare loop (this
// program run again as `--bare-loop N SECONDS`). Then, testModule stopped, the same daqhost runs
// against this program run again as `--paced-module RATE SECONDS` at each rate (packets/s;
// 170000 and 250000 unless given). Each host is a child process whose processor time is its
// whole rusage, from exec to exit. Rates come from the data packets' time stamps. Progress goes
// to standard error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Report.h"
#include "protocol/Acknowledge.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPayload.h"
#include "protocol/ModuleRequest.h"
#include "protocol/PacketConversion.h"
#include "protocol/Request.h"
#include "testing/EmulatorProcess.h"
#include "testing/NetworkNamespace.h"

using namespace daq;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void progress(const std::string& text) { std::cerr << "[host_throughput] " << text << std::endl; }

// What the bare loop knows of one stream.
struct Stream {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t first_event = 0;
    uint64_t last_event = 0;  // unwrapped from the 16-bit event numbers
    uint16_t last_raw_event = 0;
    // Time stamps wrap after 2^32 µs, far longer than a run here.
    uint32_t first_time = 0;
    uint32_t last_time = 0;
};

uint16_t word(const uint8_t* bytes, size_t i) {
    return static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
}

// The bare loop: as `daqhost run 127.0.0.1 --hybrids 1,2,3,4 --chip-type 1 --chips 2 --mode 1
// -n N --json`, on a plain socket, reading of each data packet only the header words that its
// summary needs. It is the whole of a short-lived process, whose end closes the socket.
int bare_loop_main(uint64_t events, double timeout_s) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int buffer = 64 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    // Every wait on the socket is bounded, so that the loop notices its deadline.
    const timeval wait = {0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    sockaddr_in module = {};
    module.sin_family = AF_INET;
    module.sin_port = htons(10000);
    module.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&module), sizeof(module)) != 0) return 1;

    constexpr unsigned kBatch = 64;
    constexpr size_t kRoom = 65536;
    std::vector<uint8_t> room(kBatch * kRoom);
    std::array<iovec, kBatch> vectors;
    std::array<mmsghdr, kBatch> messages = {};
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {room.data() + i * kRoom, kRoom};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::array<Stream, 256> streams = {};
    uint64_t reached = 0;
    uint8_t awaited = 0;
    bool acknowledged = false;
    // One batch: waits up to 0.1 s for the first datagram, then takes what is queued.
    const auto receive = [&] {
        const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < n; ++i) {
            const uint8_t* bytes = room.data() + i * kRoom;
            const size_t length = messages[i].msg_len;
            // An acknowledge is of 16 bytes: a data packet never gets this far.
            if (const std::optional<Acknowledge> ack = Acknowledge::parse(bytes, length)) {
                acknowledged = acknowledged || ack->answers(awaited);
                continue;
            }
            if (length < 20 || word(bytes, 0) != packet::kMagic ||
                (word(bytes, 1) & 0xFF) != packet::kData) {
                continue;
            }
            Stream& s = streams[word(bytes, 8) >> 8];
            const uint16_t event = word(bytes, 3);
            const uint32_t time = static_cast<uint32_t>(word(bytes, 4)) << 16 | word(bytes, 5);
            if (s.packets == 0) {
                s.first_event = s.last_event = event;
                s.first_time = time;
            } else if (const uint16_t step = event - s.last_raw_event; step < 0x8000) {
                s.last_event += step;
            }
            s.last_raw_event = event;
            s.last_time = time;
            ++s.packets;
            s.bytes += length;
            reached = std::max(reached, s.last_event);
        }
        return n > 0;
    };
    // Sends the request, as the host library does, until the acknowledge of `code` comes: three
    // attempts, 1 s each.
    const auto request = [&](const ModuleRequest& r) {
        const auto wire = r.wire();
        awaited = r.code;
        for (int attempt = 0; attempt < 3; ++attempt) {
            acknowledged = false;
            if (::send(fd, wire.data(), wire.size(), 0) != static_cast<ssize_t>(wire.size())) {
                return false;
            }
            const auto sent = Clock::now();
            while (!acknowledged && seconds_since(sent) < 1.0) receive();
            if (acknowledged) return true;
        }
        return false;
    };

    bool ok = request(ModuleRequest::discovery());
    for (unsigned hybrid = 1; ok && hybrid <= 4; ++hybrid) {
        ok = request(ModuleRequest::stream_configuration({hybrid, 1, 2})) &&
             request(ModuleRequest::readout_mode({hybrid, DataPacket::kAllChannels, 0}));
    }
    if (ok && request(ModuleRequest::daq_command(packet::kAllHybrids, true))) {
        const auto started = Clock::now();
        while (reached < events && seconds_since(started) < timeout_s) receive();
        ok = request(ModuleRequest::daq_command(packet::kAllHybrids, false));
        // What the module sent before the stop: until nothing has come for 0.2 s, 2 s at most.
        const auto draining = Clock::now();
        for (auto last = draining; seconds_since(last) < 0.2 && seconds_since(draining) < 2.0;) {
            if (receive()) last = Clock::now();
        }
    } else {
        ok = false;
    }

    std::array<uint32_t, SK_MEMINFO_VARS> memory = {};
    socklen_t length = sizeof(memory);
    ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory.data(), &length);
    // The fields of daqhost's JSON summary that the table uses, with the same meanings. A
    // summary that cannot be made fails the run, as one that cannot be read does.
    try {
        nlohmann::json hybrids = nlohmann::json::array();
        for (size_t id = 0; id < streams.size(); ++id) {
            const Stream& s = streams[id];
            const uint32_t span_us = s.last_time - s.first_time;
            if (s.packets == 0) continue;
            hybrids.push_back(
                {{"hybrid", id},
                 {"packets", s.packets},
                 {"bytes", s.bytes},
                 {"first_event", s.first_event},
                 {"last_event", s.last_event},
                 {"trigger_rate_hz",
                  span_us > 0 ? (s.last_event - s.first_event) * 1e6 / span_us : 0.0}});
        }
        const nlohmann::json summary = {{"hybrids", hybrids},
                                        {"kernel_drops", memory[SK_MEMINFO_DROPS]}};
        std::cout << summary.dump() << std::endl;
    } catch (const nlohmann::json::exception&) {
        return 1;
    }
    return ok ? 0 : 1;
}

volatile sig_atomic_t paced_module_ending = 0;

void end_paced_module(int) { paced_module_ending = 1; }

// The paced module: stands in for testModule where this machine cannot run it fast enough. It
// answers every request as testModule does, and while a run is on sends the packets of hybrids
// 1 to 4 in turn (mode 1, 256 values) at `rate` packets per second by the clock. It says
// "serving" once bound, and ends on SIGTERM or after `lifetime_s`, printing what the last run
// sent and the rate it kept.
int paced_module_main(double rate, double lifetime_s) {
    struct sigaction action = {};
    action.sa_handler = end_paced_module;
    ::sigaction(SIGTERM, &action, nullptr);
    // The default timer slack, 50 µs, is most of a batch's period at these rates.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_port = htons(10000);
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof(self)) != 0) {
        std::cerr << "paced module: cannot bind 127.0.0.1:10000: " << std::strerror(errno)
                  << std::endl;
        return 1;
    }
    std::cout << "serving" << std::endl;

    // One packet per hybrid, made once; a run patches only its event and time-stamp words.
    constexpr int kHybrids = 4;
    constexpr int kValues = 256;
    std::array<WireWords, kHybrids> templates;
    int bytes = 0;
    for (int h = 0; h < kHybrids; ++h) {
        std::array<uint16_t, kValues> values;
        for (int c = 0; c < kValues; ++c) values[c] = static_cast<uint16_t>(2000 + c * 7 % 9);
        const int hit = 100 + 10 * h;
        values[hit] += 500;
        DataPacket::Ptr packet =
            DataPacket::create(h + 1, h + 1, kValues, DataPacket::kAllChannels);
        packet->words()[DataPacket::kTimeValue] = floating_point_binary(25.0);
        encode_payload(packet->payload(), DataPacket::kAllChannels, values.data(), kValues, hit, 0);
        bytes = packet->packet_size();
        templates[h] = convert_packet(reinterpret_cast<const char*>(packet->words()), bytes);
    }

    constexpr unsigned kBatch = 16;
    const size_t room = static_cast<size_t>(bytes) / 2;
    std::vector<uint16_t> slots(kBatch * room);
    std::array<iovec, kBatch> vectors;
    std::array<mmsghdr, kBatch> messages = {};
    sockaddr_in peer = {};
    bool have_peer = false;
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {slots.data() + i * room, static_cast<size_t>(bytes)};
        messages[i].msg_hdr.msg_name = &peer;
        messages[i].msg_hdr.msg_namelen = sizeof(peer);
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    bool streaming = false;
    uint64_t sent = 0;  // in this run; packet k is of hybrid k % 4 and trigger k / 4
    uint32_t trigger_time = 0;
    auto run_start = Clock::now();
    auto last_send = run_start;
    const auto answer_requests = [&] {
        for (int i = 0; i < 64; ++i) {
            char in[1500];
            sockaddr_in from = {};
            socklen_t from_length = sizeof(from);
            const ssize_t n = ::recvfrom(fd, in, sizeof(in), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &from_length);
            if (n < 0) return;
            to_host_order(in, static_cast<int>(n));
            const Request request(in, static_cast<int>(n));
            if (n < 4 || request.word(0) != packet::kMagic) continue;
            const uint8_t code = request.code();
            AcknowledgePacket ack(code, 0, 0, 0);
            if (code == packet::kDiscovery) {
                peer = from;
                have_peer = true;
            } else {
                ack.set_version(2, 2, 4);
            }
            if (code == packet::kDaqCommand && n >= 8) {
                streaming = request.word(3) != 0;
                if (streaming) {
                    sent = 0;
                    run_start = last_send = Clock::now();
                }
            }
            int length = 0;
            const WireWords wire = convert_packet(&ack, length);
            if (have_peer) {
                ::sendto(fd, wire.get(), static_cast<size_t>(length), 0,
                         reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
            }
        }
    };

    const auto end = Clock::now() + std::chrono::duration<double>(lifetime_s);
    while (paced_module_ending == 0 && Clock::now() < end) {
        // Never ahead of the clock: a batch goes once the last of its packets is due.
        std::chrono::duration<double> left(0.1);
        if (streaming)
            left = run_start + std::chrono::duration<double>((sent + kBatch) / rate) - Clock::now();
        const double wait_s = std::max(left.count(), 0.0);
        const timespec wait = {static_cast<time_t>(wait_s),
                               static_cast<long>((wait_s - static_cast<time_t>(wait_s)) * 1e9)};
        pollfd poll_fd = {fd, POLLIN, 0};
        if (::ppoll(&poll_fd, 1, &wait, nullptr) > 0) answer_requests();
        if (!streaming || left.count() > 0) continue;
        const auto now = Clock::now();
        for (unsigned i = 0; i < kBatch; ++i) {
            const uint64_t k = sent + i;
            if (k % kHybrids == 0) {
                trigger_time = static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(now - run_start).count());
            }
            uint16_t* words = slots.data() + i * room;
            std::memcpy(words, templates[k % kHybrids].get(), static_cast<size_t>(bytes));
            words[DataPacket::kEvent] = htons(static_cast<uint16_t>(k / kHybrids + 1));
            words[DataPacket::kTimeHigh] = htons(static_cast<uint16_t>(trigger_time >> 16));
            words[DataPacket::kTimeLow] = htons(static_cast<uint16_t>(trigger_time & 0xFFFF));
        }
        const int n = ::sendmmsg(fd, messages.data(), kBatch, 0);
        if (n > 0) {
            sent += static_cast<uint64_t>(n);
            last_send = now;
        }
    }
    const double span_s = std::chrono::duration<double>(last_send - run_start).count();
    std::cout << nlohmann::json({{"sent", sent}, {"rate", span_s > 0 ? sent / span_s : 0.0}})
              << std::endl;
    return 0;
}

std::string file_text(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

struct ChildRun {
    std::string out;
    std::string error;  // empty when the child exited with status 0
    double cpu_s = 0;
    uint64_t waits = 0;  // voluntary context switches: the times it slept, mostly for data
};

// Runs `args` (the program first) on processor `cpu` (any when negative), its standard output
// and error written to files in `dir`; kills it by its PID after `timeout_s`. The processor
// time is its rusage, user plus system, from exec to exit.
ChildRun run_child(std::vector<std::string> args, int cpu, const std::filesystem::path& dir,
                   double timeout_s) {
    ChildRun run;
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out = ::open((dir / "stdout").c_str(), flags, 0600);
    const int err = ::open((dir / "stderr").c_str(), flags, 0600);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) CPU_SET(cpu, &set);
    const pid_t parent = ::getpid();
    const pid_t pid = out >= 0 && err >= 0 ? ::fork() : -1;
    if (pid == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        if (cpu >= 0) ::sched_setaffinity(0, sizeof(set), &set);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    if (pid < 0) {
        run.error = "cannot start " + args[0];
        return run;
    }
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    int status = 0;
    rusage usage = {};
    pid_t reaped = 0;
    while ((reaped = ::wait4(pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (reaped == 0) {
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
        run.error = "did not end in time; killed";
        return run;
    }
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.waits = static_cast<uint64_t>(usage.ru_nvcsw);
    run.out = file_text(dir / "stdout");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.error = "wait status " + std::to_string(status) + ": " + file_text(dir / "stderr");
    }
    return run;
}

// One host's run, from its JSON summary and its rusage.
struct Measurement {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    // With efficiency 1 the emulator sends one packet per hybrid and event number: as far as
    // the last packet received, the sum of the hybrids' last event numbers.
    uint64_t sent = 0;
    uint64_t drops = 0;
    double span_s = 0;  // from the time stamps of the first and last packet of a stream
    double cpu_s = 0;
    uint64_t waits = 0;
    double module_rate = 0;  // the paced module's own, from its clock; 0 for testModule

    double received() const { return sent > 0 ? static_cast<double>(packets) / sent : 0; }
    double packet_rate() const { return span_s > 0 ? packets / span_s : 0; }
    double megabytes_per_second() const { return span_s > 0 ? bytes / span_s / 1e6 : 0; }
    double cpu_us() const { return packets > 0 ? cpu_s * 1e6 / packets : 0; }
    double packets_per_wait() const { return waits > 0 ? static_cast<double>(packets) / waits : 0; }
};

std::optional<Measurement> measure(const ChildRun& run) {
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    if (!run.error.empty() || json.is_discarded()) return std::nullopt;
    Measurement m;
    m.cpu_s = run.cpu_s;
    m.waits = run.waits;
    // A summary without the fields, or with fields of other types, is a failed run.
    try {
        m.drops = json.at("kernel_drops").get<uint64_t>();
        for (const auto& h : json.at("hybrids")) {
            const auto first = h.at("first_event").get<uint64_t>();
            const auto last = h.at("last_event").get<uint64_t>();
            m.packets += h.at("packets").get<uint64_t>();
            m.bytes += h.at("bytes").get<uint64_t>();
            m.sent += last;
            const nlohmann::json& rate = h.at("trigger_rate_hz");
            if (rate.is_number() && rate.get<double>() > 0) {
                m.span_s = std::max(m.span_s, (last - first) / rate.get<double>());
            }
        }
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    return m;
}

void pin_to(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(pid, sizeof(set), &set);
}

// One run of `host` against a paced module of its own, on processor 0 as testModule is. What
// was sent is the module's count, not inferred from what the host received.
std::optional<Measurement> measure_paced(const std::vector<std::string>& host, double rate,
                                         const std::filesystem::path& dir, double timeout, bool pin,
                                         std::string& error) {
    EmulatorProcess module({"--paced-module", fixed(rate, 0), fixed(timeout + 10, 0)}, self_path());
    if (!module.start()) {
        error = "cannot start the paced module";
        return std::nullopt;
    }
    if (pin) pin_to(module.pid(), 0);
    if (!module.wait_for_stdout("serving\n", 10)) {
        error = "the paced module did not start: " + module.stderr_text();
        return std::nullopt;
    }
    const ChildRun run = run_child(host, pin ? 1 : -1, dir, timeout);
    module.send_signal(SIGTERM);
    module.wait_exit(5.0);
    std::optional<Measurement> m = measure(run);
    if (!m) {
        error = run.error.empty() ? run.out : run.error;
        return std::nullopt;
    }
    const std::string out = module.stdout_text();
    const auto report =
        nlohmann::json::parse(out.substr(std::min(out.find('{'), out.size())), nullptr, false);
    try {
        m->sent = report.at("sent").get<uint64_t>();
        m->module_rate = report.at("rate").get<double>();
    } catch (const nlohmann::json::exception&) {
        error = "the paced module gave no count: " + out + module.stderr_text();
        return std::nullopt;
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--bare-loop") == 0) {
        return bare_loop_main(std::strtoull(argv[2], nullptr, 10), std::atof(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "--paced-module") == 0) {
        return paced_module_main(std::atof(argv[2]), std::atof(argv[3]));
    }
    uint64_t events = 200000;
    int rounds = 3;
    bool quick = false;
    std::vector<double> paced_rates;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
            events = 20000;
            rounds = 1;
        } else if (arg == "--events" && i + 1 < argc) {
            events = std::max<uint64_t>(1, std::strtoull(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--paced-rates" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string rate; std::getline(list, rate, ',');) {
                paced_rates.push_back(std::atof(rate.c_str()));
            }
        } else {
            paced_rates = {0};  // not a rate: the usage below
            break;
        }
    }
    if (std::any_of(paced_rates.begin(), paced_rates.end(), [](double r) { return r <= 0; })) {
        std::cerr << "usage: host_throughput [--quick] [--events N] [--rounds R] "
                     "[--paced-rates R1,R2,...]"
                  << std::endl;
        return 2;
    }
    if (paced_rates.empty()) {
        paced_rates = quick ? std::vector{170000.0} : std::vector{170000.0, 250000.0};
    }
    if (!enter_private_network_namespace()) {
        std::cerr << "host_throughput: cannot enter a network namespace of its own (run as root); "
                     "testModule binds port 10000, which others may be using."
                  << std::endl;
        return 2;
    }
    const std::string load_before = load_average();
    const bool pin = std::thread::hardware_concurrency() >= 2;
    EmulatorProcess emulator({"-r", "1000000", "-m", "1111", "-e", "1"});
    if (!emulator.start()) return 1;
    if (pin) pin_to(emulator.pid(), 0);
    if (!emulator.wait_until_serving(10)) {
        progress("testModule did not start: " + emulator.stderr_text());
        return 1;
    }
    char pattern[] = "/tmp/host_throughput.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const std::filesystem::path dir = pattern;
    const std::string capture = (dir / "run.pcap").string();
    const std::string n = std::to_string(events);
    // Far beyond what the slowest machine needs: only a host that hangs meets it.
    const double timeout = 30 + static_cast<double>(events) / 2000;
    std::vector<std::string> daqhost = {DAQHOST_PATH,  "run", "127.0.0.1", "--hybrids", "1,2,3,4",
                                        "--chip-type", "1",   "--chips",   "2",         "--mode",
                                        "1",           "-n",  n,           "--json"};
    std::vector<std::string> with_out = daqhost;
    with_out.insert(with_out.end(), {"--out", capture});
    struct Scenario {
        std::string name;
        std::vector<std::string> args;
        double paced_rate = 0;                           // 0: against testModule
        std::vector<std::optional<Measurement>> rounds;  // empty where the round failed
    };
    std::vector<Scenario> scenarios = {
        {"daqhost run, --out capture", with_out, 0, {}},
        {"daqhost run, no --out", daqhost, 0, {}},
        {"Bare receive loop", {self_path(), "--bare-loop", n, fixed(timeout - 10, 0)}, 0, {}}};
    const size_t daqhost_row = 1;
    const size_t bare_row = 2;
#ifdef DAQ_PYTHON
    // The package and its interpreter of the build, for this child alone.
    ::setenv("PYTHONPATH", DAQ_PYTHON_PATH, 1);
    ::setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    scenarios.push_back({"Python host, ModuleClient.receive",
                         {DAQ_PYTHON, DAQ_PYTHON_RECEIVE, n, fixed(timeout - 10, 0)},
                         0,
                         {}});
    const size_t python_row = scenarios.size() - 1;
#endif
    for (double rate : paced_rates) {
        const std::string paced = ", paced " + grouped(rate) + "/s";
        scenarios.push_back({"daqhost run, --out capture" + paced, with_out, rate, {}});
        if (!quick) scenarios.push_back({"daqhost run, no --out" + paced, daqhost, rate, {}});
    }
    int failures = 0;
    // testModule and the paced module both bind port 10000: the paced runs come after it ends.
    const auto take_round = [&](bool paced, int round) {
        for (Scenario& s : scenarios) {
            if ((s.paced_rate > 0) != paced) continue;
            progress(s.name + ", round " + std::to_string(round + 1));
            std::string why;
            if (paced) {
                s.rounds.push_back(measure_paced(s.args, s.paced_rate, dir, timeout, pin, why));
            } else {
                const ChildRun run = run_child(s.args, pin ? 1 : -1, dir, timeout);
                s.rounds.push_back(measure(run));
                why = run.error.empty() ? run.out : run.error;
            }
            std::error_code error;
            std::filesystem::remove(capture, error);
            if (s.rounds.back()) continue;
            progress(s.name + " failed: " + why);
            ++failures;
        }
    };
    for (int round = 0; round < rounds; ++round) take_round(false, round);
    emulator.send_signal(SIGTERM);
    emulator.wait_exit(5.0);
    for (int round = 0; round < rounds; ++round) take_round(true, round);
    std::error_code error;
    std::filesystem::remove_all(dir, error);

    // Each row shows its median round by processor time per packet; the ratio is the median of
    // the rounds' ratios to the bare loop of the same round, which the load shifts alike.
    const auto& bare = scenarios[bare_row].rounds;
    std::cout
        << "| Scenario | Packets received | Received ÷ sent | Kernel drops | Packets/s | MB/s "
           "| CPU µs per packet | ÷ bare loop | Packets per wait | Module packets/s |\n"
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    std::string worst;
    for (const Scenario& s : scenarios) {
        std::cout << "| " << s.name << " | ";
        std::vector<Measurement> done;
        std::vector<double> ratios;
        for (size_t i = 0; i < s.rounds.size(); ++i) {
            if (!s.rounds[i]) continue;
            done.push_back(*s.rounds[i]);
            if (bare[i]) ratios.push_back(s.rounds[i]->cpu_us() / bare[i]->cpu_us());
        }
        if (done.empty()) {
            std::cout << "– | – | – | – | – | – | – | – | – |\n";
            continue;
        }
        std::sort(done.begin(), done.end(),
                  [](const auto& a, const auto& b) { return a.cpu_us() < b.cpu_us(); });
        const Measurement& m = done[done.size() / 2];
        std::cout << grouped(m.packets) << " | " << fixed(m.received(), 3) << " | " << m.drops
                  << " | " << grouped(m.packet_rate()) << " | "
                  << fixed(m.megabytes_per_second(), 1) << " | " << fixed(m.cpu_us(), 2) << " | "
                  << (&s == &scenarios[bare_row] || ratios.empty() ? "–" : fixed(median(ratios), 2))
                  << " | " << fixed(m.packets_per_wait(), 1) << " | "
                  << (s.paced_rate > 0 ? grouped(m.module_rate) : "–") << " |\n";
        double lowest = 1;
        double slowest = s.paced_rate;
        uint64_t missing = 0;  // what three decimals of received ÷ sent can hide
        uint64_t drops = 0;
        for (const Measurement& r : done) {
            lowest = std::min(lowest, r.received());
            slowest = std::min(slowest, r.module_rate);
            missing += r.sent > r.packets ? r.sent - r.packets : 0;
            drops += r.drops;
        }
        worst += (worst.empty() ? "" : "; ") + s.name + " " + fixed(lowest, 3) + ", " +
                 std::to_string(missing) + " missing, " + std::to_string(drops) + " dropped" +
                 (s.paced_rate > 0 ? ", module at " + grouped(slowest) + "/s or more" : "");
    }
#ifdef DAQ_PYTHON
    // The Python host against daqhost without --out, each round against its own.
    std::vector<double> python_ratios;
    for (size_t i = 0; i < scenarios[python_row].rounds.size(); ++i) {
        const auto& python = scenarios[python_row].rounds[i];
        const auto& daqhost_run = scenarios[daqhost_row].rounds[i];
        if (python && daqhost_run)
            python_ratios.push_back(daqhost_run->cpu_us() / python->cpu_us());
    }
    std::cout << "\nPython host ÷ daqhost run (no --out), packets per processor second: "
              << (python_ratios.empty() ? "–" : fixed(median(python_ratios), 2))
              << " (median of the rounds' ratios). The Python host is bench/python_receive.py: "
                 "the package's ModuleClient.receive, every batch added to a StreamStatistics.\n";
#endif
    std::cout << "\nEvents per run: " << events << ", rounds: " << rounds
              << ". Over all rounds, lowest received ÷ sent, packets missing and kernel drops: "
              << worst
              << ".\nProcessor time: the host process's rusage (user + system), exec to exit. "
                 "Packets/s and MB/s: from the data packets' time stamps. Packets per wait: per "
                 "voluntary context switch of the host. Paced rows: this program's paced module "
                 "in place of testModule, asked for the rate in the row's name; sent is its own "
                 "count, and Module packets/s its rate by its own clock.\n";
    std::cout << "Machine: " << std::thread::hardware_concurrency() << " cores, " << cpu_model()
              << "; load average before " << load_before << ", after " << load_average() << ".\n";
    return failures == 0 ? 0 : 1;
}
