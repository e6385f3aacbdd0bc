#include "MonitorServer.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <utility>

#include "MonitorPage.h"
#include "daqhost/Endpoint.h"

namespace daq {

namespace {

// Each browser's event stream holds one thread for as long as it is open.
constexpr size_t kThreads = 16;
// A browser that takes no data for this long is let go.
constexpr time_t kWriteTimeout_s = 5;

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool parse_monitor_address(const std::string& text, std::string& address, uint16_t& port) {
    const std::optional<Endpoint> endpoint = Endpoint::parse_with_port(
        text.find(':') == std::string::npos ? "127.0.0.1:" + text : text, 0, 0);
    if (!endpoint) return false;
    address = endpoint->address_text();
    port = endpoint->port;
    return true;
}

MonitorServer::MonitorServer() : server_(std::make_unique<httplib::Server>()) {}

MonitorServer::~MonitorServer() { stop(); }

std::string MonitorServer::url() const {
    return "http://" + address_ + ":" + std::to_string(port_) + "/";
}

// "ADDR:PORT" with this server's port, where ADDR is an IPv4 address or localhost: a name that
// some DNS server could point here is refused.
bool MonitorServer::allowed_host(const std::string& host) const {
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port_)) return false;
    const std::string name = host.substr(0, colon);
    return name == "localhost" || Endpoint::parse(name, 0);
}

bool MonitorServer::start(const std::string& address, uint16_t port) {
    chart_script_ = file_text(DAQ_JAVASCRIPT_DIR "/dygraphs/dygraph.min.js");
    chart_style_ = file_text(DAQ_JAVASCRIPT_DIR "/dygraphs/dygraph.min.css");
    server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server_->set_write_timeout(kWriteTimeout_s, 0);
    server_->set_payload_max_length(64 * 1024);
    route();
    const int bound = port == 0 ? server_->bind_to_any_port(address)
                                : (server_->bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        error_ = "monitor: cannot serve on " + address + ":" + std::to_string(port) +
                 " (a local IPv4 address and a free port?)";
        return false;
    }
    address_ = address;
    port_ = static_cast<uint16_t>(bound);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void MonitorServer::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    published_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

void MonitorServer::publish(RunSnapshot snapshot) {
    auto shared = std::make_shared<const RunSnapshot>(std::move(snapshot));
    {
        const std::lock_guard lock(mutex_);
        snapshot_ = std::move(shared);
    }
    published_.notify_all();
}

std::shared_ptr<const RunSnapshot> MonitorServer::latest() const {
    const std::lock_guard lock(mutex_);
    return snapshot_;
}

bool MonitorServer::next(uint64_t seen, int timeout_ms,
                         std::shared_ptr<const RunSnapshot>& latest) const {
    std::unique_lock lock(mutex_);
    published_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return stopping_ || (snapshot_ && snapshot_->sequence != seen); });
    latest = snapshot_;
    return !stopping_;
}

void MonitorServer::route() {
    server_->set_pre_routing_handler([this](const httplib::Request& request,
                                            httplib::Response& response) {
        const std::string origin = request.get_header_value("Origin");
        const std::string prefix = "http://";
        const bool origin_ok = origin.empty() || (origin.compare(0, prefix.size(), prefix) == 0 &&
                                                  allowed_host(origin.substr(prefix.size())));
        if (allowed_host(request.get_header_value("Host")) && origin_ok) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 403;
        response.set_content("forbidden: the Host or Origin is not this server's address\n",
                             "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    server_->set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; style-src 'self' 'unsafe-inline'");
    });
    const auto page = [](std::string_view text, const char* type) {
        return [text, type](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(text), type);
        };
    };
    server_->Get("/", page(kMonitorIndex, "text/html; charset=utf-8"));
    server_->Get("/monitor.js", page(kMonitorScript, "text/javascript; charset=utf-8"));
    server_->Get("/monitor.css", page(kMonitorStyle, "text/css; charset=utf-8"));
    server_->Get("/dygraph.min.js", [this](const httplib::Request&, httplib::Response& response) {
        if (chart_script_.empty()) {
            response.status = 404;
            return;
        }
        response.set_content(chart_script_, "text/javascript; charset=utf-8");
    });
    server_->Get("/dygraph.min.css", [this](const httplib::Request&, httplib::Response& response) {
        if (chart_style_.empty()) {
            response.status = 404;
            return;
        }
        response.set_content(chart_style_, "text/css; charset=utf-8");
    });
    server_->Get("/api/status", [this](const httplib::Request&, httplib::Response& response) {
        const auto snapshot = latest();
        if (!snapshot) {
            response.status = 503;
            response.set_content("{\"error\": \"no figures yet\"}\n", "application/json");
            return;
        }
        response.set_content(snapshot->status, "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const auto snapshot = latest();
        response.set_content(snapshot ? snapshot->metrics : std::string(),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
    // Each new snapshot's page figures as one event; a comment every second keeps a quiet
    // connection open and finds a browser that has gone.
    server_->Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        auto seen = std::make_shared<uint64_t>(0);
        response.set_chunked_content_provider("text/event-stream",
                                              [this, seen](size_t, httplib::DataSink& sink) {
                                                  std::shared_ptr<const RunSnapshot> snapshot;
                                                  if (!next(*seen, 1000, snapshot)) return false;
                                                  std::string text;
                                                  if (!snapshot || snapshot->sequence == *seen) {
                                                      text = ": waiting\n\n";
                                                  } else {
                                                      *seen = snapshot->sequence;
                                                      text = "data: " + snapshot->page + "\n\n";
                                                  }
                                                  return sink.write(text.data(), text.size());
                                              });
    });
}

}  // namespace daq
