// The monitor's HTTP server: the page, pushed the figures of each new snapshot (server-sent
// events); /api/status, the summary as `run --json` prints it; /metrics in the Prometheus text
// format; and the charting library from the system's installed files, so the page needs no
// internet. It only reads: nothing on it starts or stops a run.
//
// The thread that receives only hands over a snapshot (a pointer swap under a lock); the
// server's threads make and send the responses, so a slow or vanished browser slows only its
// own connection. Requests whose Host or Origin is not an address of this server (an IPv4
// address or localhost, with its port) are refused, so that a page elsewhere cannot read it
// through a name that resolves here (DNS rebinding); no CORS header is sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "daqhost/RunSnapshot.h"

namespace httplib {
class Server;
}

namespace daq {

// "[ADDR:]PORT", ADDR a dotted IPv4 address (127.0.0.1 when not given) and PORT 0 to 65535;
// false for anything else.
bool parse_monitor_address(const std::string& text, std::string& address, uint16_t& port);

class MonitorServer {
  public:
    MonitorServer();
    ~MonitorServer();
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // Serves ADDR:PORT (port 0: one the system picks) from a thread of its own; false, with
    // error() set, when it cannot bind.
    bool start(const std::string& address, uint16_t port);
    // Ends every connection and the server's threads; also done by the destructor.
    void stop();

    uint16_t port() const { return port_; }
    std::string url() const;
    const std::string& error() const { return error_; }

    // The figures the server shows from now on.
    void publish(RunSnapshot snapshot);

  private:
    std::shared_ptr<const RunSnapshot> latest() const;
    // Waits until a snapshot other than `seen` is published, or `timeout_ms` have passed, and
    // gives the latest (none before the first); false when the server is stopping.
    bool next(uint64_t seen, int timeout_ms, std::shared_ptr<const RunSnapshot>& latest) const;
    bool allowed_host(const std::string& host) const;
    void route();

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string address_;
    uint16_t port_ = 0;
    std::string error_;
    std::string chart_script_;  // the charting library's files, read once at start
    std::string chart_style_;

    mutable std::mutex mutex_;
    mutable std::condition_variable published_;
    std::shared_ptr<const RunSnapshot> snapshot_;
    bool stopping_ = false;
};

}  // namespace daq
