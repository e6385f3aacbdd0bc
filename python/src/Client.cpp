// Endpoint, the client's settings, the acknowledge and ModuleClient. Every call that waits on
// the network releases the GIL; one client is used by one thread at a time (a mutex), so that
// a close() from another thread waits for the receive under way.
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "Bindings.h"
#include "ClientSettings.h"
#include "Errors.h"
#include "PacketBatch.h"
#include "daqhost/ModuleClient.h"
#include "protocol/BasePacket.h"

namespace py = pybind11;

namespace daq::python {

Endpoint to_endpoint(const EndpointText& given, uint16_t port) {
    if (const auto* endpoint = std::get_if<Endpoint>(&given)) return *endpoint;
    const auto& text = std::get<std::string>(given);
    const auto parsed = Endpoint::parse_with_port(text, port, 0);
    if (!parsed) {
        throw RaisedError(PyExc_ValueError,
                          "'" + text + "' is not an IPv4 address, as a.b.c.d or a.b.c.d:port");
    }
    return *parsed;
}

ModuleClient::Settings client_settings(const EndpointText& module, double timeout_s, int retries,
                                       int receive_buffer, const EndpointText& local) {
    ModuleClient::Settings settings;
    settings.module = to_endpoint(module, ModuleClient::kModulePort);
    settings.timeout_s = timeout_s;
    settings.retries = retries;
    settings.receive_buffer = receive_buffer;
    settings.local = to_endpoint(local, 0);
    return settings;
}

namespace {

// The Python ModuleClient: the library's client, made by open() and ended by close().
class Client {
  public:
    explicit Client(ModuleClient::Settings settings) : settings_(std::move(settings)) {}

    void open() {
        py::gil_scoped_release release;
        const std::lock_guard lock(mutex_);
        if (client_) return;
        auto client = std::make_unique<ModuleClient>(settings_);
        client->on_receive(
            [this](const Datagram& d) { pending_.take(d.time_ns, d.source, d.data, d.length); });
        if (!client->open()) throw RaisedError(PyExc_OSError, client->error());
        client_ = std::move(client);
    }

    void close() {
        py::gil_scoped_release release;
        const std::lock_guard lock(mutex_);
        client_.reset();
        pending_ = {};
    }

    bool is_open() {
        const std::lock_guard lock(mutex_);
        return client_ != nullptr;
    }

    Acknowledge request(const ModuleRequest& request) {
        py::gil_scoped_release release;
        const std::lock_guard lock(mutex_);
        ModuleClient& client = live();
        const RequestOutcome outcome = client.request(request);
        switch (outcome.status) {
            case RequestOutcome::kSendFailed:
                throw RaisedError(PyExc_OSError, client.unacknowledged_text(request.code, outcome));
            case RequestOutcome::kNoAcknowledge:
                throw RaisedError(no_acknowledge_class,
                                  client.unacknowledged_text(request.code, outcome),
                                  client.module());
            case RequestOutcome::kAcknowledged:
                break;
        }
        if (outcome.ack.error != packet::kDone) {
            // As a run session names a module among many: "a.b.c.d:port: " first.
            throw ModuleErrorRaised(client.module(), request.code, outcome.ack.error,
                                    client.module().text() + ": " + command_name(request.code) +
                                        ": error " + std::to_string(outcome.ack.error) + " (" +
                                        error_text(outcome.ack.error) + ")");
        }
        return outcome.ack;
    }

    PacketBatch receive(double timeout_s, size_t max_packets) {
        if (timeout_s < 0) throw RaisedError(PyExc_ValueError, "timeout must not be negative");
        PacketCollector collected;
        {
            py::gil_scoped_release release;
            const std::lock_guard lock(mutex_);
            ModuleClient& client = live();
            pending_.reserve(max_packets);
            // Waits only when nothing is held from before; then takes what is queued already.
            int got = pending_.packets() == 0 ? client.receive(timeout_s) : 1;
            while (got > 0 && pending_.packets() < max_packets) got = client.receive(0);
            if (got < 0) throw RaisedError(PyExc_OSError, client.error());
            collected = std::exchange(pending_, {});
        }
        return PacketBatch(std::move(collected));
    }

    template <typename Value>
    Value with_client(Value (*get)(const ModuleClient&)) {
        const std::lock_guard lock(mutex_);
        return get(live());
    }

    const ModuleClient::Settings& settings() const { return settings_; }

  private:
    ModuleClient& live() {
        if (!client_) {
            throw RaisedError(PyExc_ValueError,
                              "the ModuleClient is not open: call open() first, or use it in a "
                              "with block");
        }
        return *client_;
    }

    ModuleClient::Settings settings_;
    std::mutex mutex_;
    std::unique_ptr<ModuleClient> client_;
    // What arrived during requests and receives, until the next receive() hands it over.
    PacketCollector pending_;
};

}  // namespace

void bind_client(py::module_& m) {
    m.attr("MODULE_PORT") = ModuleClient::kModulePort;
    m.def("command_name", &command_name, py::arg("code"),
          "The name of a request code: 'stream configuration', 'readout mode', ..., 'unknown'.");
    m.def("error_text", &error_text, py::arg("error"),
          "'done', 'no such hybrid', 'unknown command', or 'error N' for an acknowledge's error "
          "code.");

    py::class_<Endpoint>(m, "Endpoint", "An IPv4 address and UDP port.")
        .def(py::init([](const std::string& text, uint16_t port) {
                 return to_endpoint(EndpointText(text), port);
             }),
             py::arg("address") = "0.0.0.0", py::arg("port") = 0,
             "From 'a.b.c.d' (with `port`) or 'a.b.c.d:port'; ValueError for anything else.")
        .def_readonly("address", &Endpoint::address, "The IPv4 address as an integer, host order.")
        .def_readonly("port", &Endpoint::port)
        .def_property_readonly("text", &Endpoint::text, "'a.b.c.d:port'")
        .def_property_readonly("address_text", &Endpoint::address_text, "'a.b.c.d'")
        .def(py::self == py::self)
        .def("__hash__",
             [](const Endpoint& e) {
                 return std::hash<uint64_t>()(uint64_t{e.address} << 16 | e.port);
             })
        .def("__str__", &Endpoint::text)
        .def("__repr__", [](const Endpoint& e) { return "Endpoint('" + e.text() + "')"; });

    py::class_<ModuleClient::Settings>(m, "ClientSettings",
                                       "How a client reaches its module: the module's address, "
                                       "the timeout of each attempt and the retries after it.")
        .def(py::init(&client_settings), py::arg("module") = "127.0.0.1",
             py::arg("timeout_s") = 1.0, py::arg("retries") = 2,
             py::arg("receive_buffer") = 64 << 20, py::arg("local") = "0.0.0.0:0",
             "module: 'a.b.c.d[:port]' (port 10000 when not given) or an Endpoint; local: the "
             "address and port to bind, 0.0.0.0:0 lets the system choose.")
        .def_readwrite("module", &ModuleClient::Settings::module)
        .def_readwrite("timeout_s", &ModuleClient::Settings::timeout_s)
        .def_readwrite("retries", &ModuleClient::Settings::retries)
        .def_readwrite("receive_buffer", &ModuleClient::Settings::receive_buffer)
        .def_readwrite("local", &ModuleClient::Settings::local)
        .def("__repr__", [](const ModuleClient::Settings& s) {
            return "ClientSettings('" + s.module.text() +
                   "', timeout_s=" + std::to_string(s.timeout_s) +
                   ", retries=" + std::to_string(s.retries) + ")";
        });

    py::class_<Acknowledge>(m, "Acknowledge", "The acknowledge a module sent for a request.")
        .def_readonly("code", &Acknowledge::code, "The request's code, without the reply flag.")
        .def_readonly("code_byte", &Acknowledge::code_byte, "As sent, with the reply flag.")
        .def_readonly("error", &Acknowledge::error, "0 done, 1 no such hybrid, 255 unknown.")
        .def_property_readonly("version", &Acknowledge::version_text, "'2.2.4'")
        .def("__repr__", [](const Acknowledge& a) {
            return "<Acknowledge of " + std::string(command_name(a.code)) + ": " +
                   error_text(a.error) + ", version " + a.version_text() + ">";
        });

    py::class_<Client>(m, "ModuleClient", R"doc(
The host's side of one module: a UDP socket, discovery, requests with a timeout and retries,
and the reception of data packets in batches.

The module answers only the host that last discovered it: discover() first, from the same
client. A request whose acknowledge carries an error raises ModuleError; one without an
acknowledge after every attempt raises NoAcknowledge. Every call that waits releases the GIL.
Used as a context manager, the client is opened on entry and closed on exit.)doc")
        .def(py::init<ModuleClient::Settings>(), py::arg("settings"))
        .def(py::init([](const EndpointText& module, double timeout_s, int retries,
                         int receive_buffer, const EndpointText& local) {
                 return std::make_unique<Client>(
                     client_settings(module, timeout_s, retries, receive_buffer, local));
             }),
             py::arg("module") = "127.0.0.1", py::arg("timeout_s") = 1.0, py::arg("retries") = 2,
             py::arg("receive_buffer") = 64 << 20, py::arg("local") = "0.0.0.0:0")
        .def("open", &Client::open, "Opens and binds the socket; OSError when it cannot.")
        .def("close", &Client::close, "Closes the socket; safe to call twice.")
        .def_property_readonly("is_open", &Client::is_open)
        .def("__enter__",
             [](Client& c) -> Client& {
                 c.open();
                 return c;
             })
        .def("__exit__", [](Client& c, const py::args&) { c.close(); })
        .def_property_readonly("settings", &Client::settings)
        .def_property_readonly(
            "local",
            [](Client& c) {
                return c.with_client<Endpoint>([](const ModuleClient& mc) { return mc.local(); });
            },
            "The address and port the module sees this host at.")
        .def_property_readonly(
            "kernel_drops",
            [](Client& c) {
                return c.with_client<uint64_t>(
                    [](const ModuleClient& mc) { return mc.kernel_drops(); });
            },
            "Datagrams the system dropped at this socket (queue full).")
        .def(
            "request",
            [](Client& c, uint8_t code, uint16_t word2, uint16_t word3) {
                return c.request(ModuleRequest{code, word2, word3});
            },
            py::arg("code"), py::arg("word2") = 0, py::arg("word3") = 0,
            "Sends the request of `code` with words 2 and 3 and returns its acknowledge.")
        .def(
            "discover", [](Client& c) { return c.request(ModuleRequest::discovery()); },
            "Discovery: makes this client the module's host.")
        .def(
            "configure_stream",
            [](Client& c, unsigned hybrid, unsigned chip_type, unsigned chips) {
                return c.request(ModuleRequest::stream_configuration({hybrid, chip_type, chips}));
            },
            py::arg("hybrid"), py::arg("chip_type"), py::arg("chips"),
            "Stream configuration (code 1). The chip type is module-wide.")
        .def(
            "set_readout_mode",
            [](Client& c, unsigned hybrid, unsigned mode, unsigned nadj) {
                return c.request(ModuleRequest::readout_mode({hybrid, mode, nadj}));
            },
            py::arg("hybrid"), py::arg("mode"), py::arg("nadj") = 0,
            "Readout mode (code 8): 1 all channels, 2 the hit, 4 the hit and nadj neighbours.")
        .def(
            "daq_command",
            [](Client& c, unsigned hybrid, bool start) {
                return c.request(ModuleRequest::daq_command(hybrid, start));
            },
            py::arg("hybrid"), py::arg("start"),
            "DAQ command (code 10): start or stop the whole module's run; the hybrid must be "
            "present or 255.")
        .def(
            "start",
            [](Client& c, unsigned hybrid) {
                return c.request(ModuleRequest::daq_command(hybrid, true));
            },
            py::arg("hybrid") = packet::kAllHybrids, "Starts a run (DAQ command).")
        .def(
            "stop",
            [](Client& c, unsigned hybrid) {
                return c.request(ModuleRequest::daq_command(hybrid, false));
            },
            py::arg("hybrid") = packet::kAllHybrids, "Stops the run (DAQ command).")
        .def("receive", &Client::receive, py::arg("timeout_s") = 0.1, py::arg("max_packets") = 1024,
             R"doc(
Waits up to timeout_s for data packets, then takes every one already queued, and returns them
as a PacketBatch (empty after a timeout). Taking stops once max_packets are held (a system
call can bring up to 64 more). Packets that arrived during requests come first.)doc");
}

}  // namespace daq::python
