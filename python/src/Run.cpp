// The run session and its settings, the figures of each module, and the run read back from a
// capture. run() and its steps release the GIL; the session asks Python between waits of at
// most 0.1 s whether to go on, so that Ctrl-C (or a go_on that says no) ends the run with its
// stop sent.
#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Bindings.h"
#include "Errors.h"
#include "RunOptions.h"
#include "SingleUser.h"
#include "daqhost/HostPace.h"
#include "daqhost/RecordedRun.h"
#include "daqhost/RunFigures.h"
#include "daqhost/RunSession.h"

namespace py = pybind11;

namespace daq::python {

namespace {

class Session {
  public:
    explicit Session(RunSettings settings) : session_(std::move(settings)) {
        session_.on_error([this](const std::string& message) { errors_.push_back(message); });
    }

    // Called as r.configure() rather than through a member pointer, so that a step's default
    // arguments (a go_on, say) need nothing here.
    template <typename Step>
    bool step(const Step& what) {
        const SingleUser::Use use(user_);
        py::gil_scoped_release release;
        return what(session_);
    }

    void stop() {
        const SingleUser::Use use(user_);
        py::gil_scoped_release release;
        session_.stop();
    }

    // run() or receive_until_done(), asking `go_on` (and whether a signal came) between waits.
    bool until_done(bool whole_run, const py::object& go_on) {
        const SingleUser::Use use(user_);
        std::optional<py::error_already_set> raised;
        const auto ask = [&]() -> bool {
            const py::gil_scoped_acquire acquire;
            try {
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                return go_on.is_none() || py::bool_(go_on());
            } catch (py::error_already_set& e) {
                raised.emplace(std::move(e));
                return false;
            }
        };
        bool done = false;
        {
            py::gil_scoped_release release;
            done = whole_run ? session_.run(ask) : session_.receive_until_done(ask);
        }
        if (raised) throw std::move(*raised);
        return done;
    }

    // The session to read, for as long as the expression that reads it: not while another
    // thread is in a call (the go_on callback, on the session's own thread, may read it).
    struct Reading {
        SingleUser::Use use;
        const RunSession& run;
    };
    Reading session() const { return {SingleUser::Use(user_), session_}; }
    size_t checked(size_t i) const {
        if (i >= session_.size()) throw py::index_error("no module " + std::to_string(i));
        return i;
    }
    std::vector<std::string> errors() const {
        const SingleUser::Use use(user_);
        return errors_;
    }

  private:
    RunSession session_;
    std::vector<std::string> errors_;
    mutable SingleUser user_{"RunSession"};
};

class Recorded {
  public:
    explicit Recorded(uint16_t module_port) : run_(module_port) {}
    void read(const std::string& path) {
        const SingleUser::Use use(user_);
        bool ok = false;
        {
            py::gil_scoped_release release;
            ok = run_.read(path);
        }
        if (!ok) throw RaisedError(capture_error_class, run_.error());
    }
    struct Reading {
        SingleUser::Use use;
        const RecordedRun& run;
    };
    Reading run() const { return {SingleUser::Use(user_), run_}; }
    size_t checked(size_t i) const {
        if (i >= run_.size()) throw py::index_error("no module " + std::to_string(i));
        return i;
    }

  private:
    RecordedRun run_;
    mutable SingleUser user_{"RecordedRun"};
};

}  // namespace

void bind_run(py::module_& m) {
    py::class_<HybridSettings>(m, "HybridSettings",
                               "How one hybrid is configured: chips, readout mode and nadj.")
        .def(py::init([](unsigned hybrid, unsigned chips, unsigned mode, unsigned nadj) {
                 return HybridSettings{hybrid, chips, mode, nadj};
             }),
             py::arg("hybrid") = 1, py::arg("chips") = 2, py::arg("mode") = 1, py::arg("nadj") = 0)
        .def_readwrite("hybrid", &HybridSettings::hybrid)
        .def_readwrite("chips", &HybridSettings::chips)
        .def_readwrite("mode", &HybridSettings::mode)
        .def_readwrite("nadj", &HybridSettings::nadj)
        .def("__repr__", [](const HybridSettings& h) {
            return "HybridSettings(hybrid=" + std::to_string(h.hybrid) +
                   ", chips=" + std::to_string(h.chips) + ", mode=" + std::to_string(h.mode) +
                   ", nadj=" + std::to_string(h.nadj) + ")";
        });

    py::class_<RecoverySettings>(m, "RecoverySettings", R"doc(
How a run brings back a module that falls silent: silent after silence_s seconds without a data
packet (or ten of its trigger periods, when longer); given up after give_up_s seconds.)doc")
        .def(py::init([](double silence_s, double give_up_s) {
                 return RecoverySettings{silence_s, give_up_s};
             }),
             py::arg("silence_s") = 1.0, py::arg("give_up_s") = 30.0)
        .def_readwrite("silence_s", &RecoverySettings::silence_s)
        .def_readwrite("give_up_s", &RecoverySettings::give_up_s);

    py::class_<Outage>(m, "Outage", "A time a module fell silent during a run, and its end.")
        .def_readonly("start_s", &Outage::start_s,
                      "The run's time of the last data packet before the silence.")
        .def_readonly("seconds", &Outage::seconds)
        .def_readonly("events_lost_estimate", &Outage::events_lost_estimate,
                      "An estimate: the triggers its rate before gives over the outage's length.")
        .def_readonly("events_lost", &Outage::events_lost_estimate,
                      "The former name of events_lost_estimate.")
        .def_readonly("attempts", &Outage::attempts, "Rediscoveries tried.")
        .def_property_readonly(
            "end", [](const Outage& o) { return describe(o.end); },
            "'recovered', 'given up', 'left' or 'ongoing'.");

    py::class_<FollowSettings>(m, "FollowSettings", R"doc(
DNS names whose modules come and go (a scaled service's tasks), looked up again every every_s
seconds during the run: a new address is a module that joins, one gone a module that left.
A joining module takes common's settings (its port, timeout and retries) with its address.)doc")
        .def(py::init(
                 [](std::vector<std::string> names, double every_s, ModuleClient::Settings common) {
                     FollowSettings f;
                     f.names = std::move(names);
                     f.every_s = every_s;
                     f.common = common;
                     return f;
                 }),
             py::arg("names"), py::arg("every_s") = 1.0,
             py::arg("common") = ModuleClient::Settings{})
        .def_readwrite("names", &FollowSettings::names)
        .def_readwrite("every_s", &FollowSettings::every_s)
        .def_readwrite("common", &FollowSettings::common);

    py::class_<ModuleRunSettings>(m, "ModuleRunSettings", R"doc(
One module's own configuration in a run: its hybrids and its chip type, each None for the
run's. RunSettings.per_module holds them by the module's index.)doc")
        .def(py::init([](std::optional<std::vector<HybridSettings>> hybrids,
                         std::optional<unsigned> chip_type) {
                 return ModuleRunSettings{std::move(hybrids), chip_type};
             }),
             py::arg("hybrids") = py::none(), py::arg("chip_type") = py::none())
        .def_readwrite("hybrids", &ModuleRunSettings::hybrids)
        .def_readwrite("chip_type", &ModuleRunSettings::chip_type);

    py::class_<RunSettings>(m, "RunSettings", R"doc(
A run: the modules (ClientSettings), the hybrids and the module-wide chip type of every module,
each module's own ones where per_module (ModuleRunSettings, by the module's index; a module past
its end takes the run's) gives them, when it ends
(events reached by every module, seconds, 0 for no bound), a capture file ('' for none),
with recover (RecoverySettings) the recovery of modules that fall silent (None: they are only
waited for), and with follow (FollowSettings) modules that join and leave under DNS names; the
run then succeeds when expect_modules modules (0: as many as it was given) run at its end.
Lists are copied in and out: assign a whole list to change one.)doc")
        .def(
            py::init(
                [](std::vector<ModuleClient::Settings> modules, std::vector<HybridSettings> hybrids,
                   unsigned chip_type, uint64_t events, double seconds, std::string capture,
                   std::optional<RecoverySettings> recover, std::optional<FollowSettings> follow,
                   size_t expect_modules, std::vector<ModuleRunSettings> per_module) {
                    RunSettings s;
                    s.modules = std::move(modules);
                    s.hybrids = std::move(hybrids);
                    s.chip_type = chip_type;
                    s.events = events;
                    s.seconds = seconds;
                    s.capture = std::move(capture);
                    s.recover = recover;
                    s.follow = std::move(follow);
                    s.expect_modules = expect_modules;
                    s.per_module = std::move(per_module);
                    return s;
                }),
            py::arg("modules") = std::vector<ModuleClient::Settings>{},
            py::arg("hybrids") = std::vector<HybridSettings>{HybridSettings{}},
            py::arg("chip_type") = 1, py::arg("events") = 0, py::arg("seconds") = 0.0,
            py::arg("capture") = "", py::arg("recover") = py::none(),
            py::arg("follow") = py::none(), py::arg("expect_modules") = 0,
            py::arg("per_module") = std::vector<ModuleRunSettings>{})
        .def_readwrite("modules", &RunSettings::modules)
        .def_readwrite("hybrids", &RunSettings::hybrids)
        .def_readwrite("chip_type", &RunSettings::chip_type)
        .def_readwrite("events", &RunSettings::events)
        .def_readwrite("seconds", &RunSettings::seconds)
        .def_readwrite("capture", &RunSettings::capture)
        .def_readwrite("recover", &RunSettings::recover)
        .def_readwrite("follow", &RunSettings::follow)
        .def_readwrite("expect_modules", &RunSettings::expect_modules)
        .def_readwrite("per_module", &RunSettings::per_module)
        .def_static(
            "from_options",
            [](const std::vector<std::string>& options) {
                std::string error;
                std::optional<RunSettings> settings = RunOptions::read(options, error);
                if (!settings) throw RaisedError(PyExc_ValueError, error);
                return *settings;
            },
            py::arg("options"),
            R"doc(The settings that the words of `daqhost run` give (its modules, hybrids, bounds,
capture, recovery and following: ["10.0.0.2", "--module", "10.0.0.3 --hybrids 1,2",
"--hybrid", "2:mode=4", "-n", "1000", "--recover"]), read by the same grammar; ValueError,
with daqhost's message, for words it does not take.)doc");

    py::class_<ModuleFigures> figures(
        m, "ModuleFigures", "A module's figures in the summary of a run, or the total of many.");
    figures.def_readonly("hybrids", &ModuleFigures::hybrids, "'1,2'")
        .def_readonly("modules", &ModuleFigures::modules, "In a total: how many modules.")
        .def_readonly("started", &ModuleFigures::started, "In a total: how many ran.")
        .def_readonly("failed", &ModuleFigures::failed, "In a total: how many failed.");
    for (const RunFigure& figure : run_figures()) {
        if (!figure.of_module()) continue;
        figures.def_property_readonly(
            figure.key,
            [&figure](const ModuleFigures& f) { return figure_object(figure, figure.value(f)); },
            figure.help);
    }

    py::class_<ModuleRun>(m, "ModuleRun", "One module's part in a run.")
        .def_readonly("statistics", &ModuleRun::statistics)
        .def_readonly("started", &ModuleRun::started)
        .def_readonly("live", &ModuleRun::live, "Every request so far acknowledged with error 0.")
        .def_readonly("failed_at", &ModuleRun::failed_at,
                      "The request that left the module out; '' if none.")
        .def_readonly("acknowledges", &ModuleRun::acknowledges)
        .def_readonly("missing_acknowledges", &ModuleRun::missing_acknowledges)
        .def_readonly("retries", &ModuleRun::retries)
        .def_property_readonly(
            "outages", [](const ModuleRun& r) { return r.recovery.outages(); },
            "Each time it fell silent, when the run recovers silent modules.")
        .def_property_readonly(
            "given_up", [](const ModuleRun& r) { return r.recovery.given_up(); },
            "Silent for too long: stopped and left out of the run.")
        .def_readonly("after_give_up", &ModuleRun::after_give_up,
                      "Datagrams it sent after it was given up, not in its figures.")
        .def_readonly("joined_s", &ModuleRun::joined_s,
                      "The run's time it joined; None for a module there from the start.")
        .def_readonly("left_s", &ModuleRun::left_s,
                      "The run's time its address went away; None while it is there.");

    py::class_<HostPace> pace(m, "HostPace", R"doc(
How far the host fell behind during a run: when it is late, its own delay may look like the
modules' silence or loss. kept_up is False once the sockets dropped a datagram, or the loop's
lateness or the backlog went beyond half the silence bound.)doc");
    for (const HostPaceFigure& figure : host_pace_figures()) {
        pace.def_property_readonly(
            figure.key,
            [&figure](const HostPace& p) -> py::object {
                const double value = figure.value(p);
                switch (figure.kind) {
                    case HostPaceFigure::Kind::kFlag:
                        return py::bool_(value != 0);
                    case HostPaceFigure::Kind::kCount:
                        return py::int_(static_cast<uint64_t>(value));
                    case HostPaceFigure::Kind::kSeconds:
                        break;
                }
                return py::float_(value);
            },
            figure.help);
    }
    pace.def_readonly("silence_s", &HostPace::silence_s, "The bound it is weighed against.")
        .def("__repr__", [](const HostPace& p) { return "<HostPace " + p.text() + ">"; });

    py::class_<Session>(m, "RunSession", R"doc(
A run of one module or of many, as `daqhost run` takes it: discovery, the stop of a run left
going, the configuration of every hybrid, the start, reception until done, the stop. run() does
it all; open(), configure(), start(), receive_until_done(), stop() and close() are the steps.
The GIL is released while it runs; go_on (a callable, asked every 0.1 s at most) and Ctrl-C end
the reception early, the stop still being sent. Each failure is a line in errors. While a
call is under way, a call from another thread raises RuntimeError: read the progress in go_on,
which runs on the session's own thread.)doc")
        .def(py::init<RunSettings>(), py::arg("settings"))
        .def(
            "run", [](Session& s, const py::object& go_on) { return s.until_done(true, go_on); },
            py::arg("go_on") = py::none(), "The whole run; True when every module ran to the end.")
        .def(
            "open", [](Session& s) { return s.step([](RunSession& r) { return r.open(); }); },
            "Opens the sockets and the capture; False when no module is left.")
        .def(
            "configure",
            [](Session& s) { return s.step([](RunSession& r) { return r.configure(); }); },
            "Discovery, stop, stream configuration and readout mode of every hybrid.")
        .def(
            "start", [](Session& s) { return s.step([](RunSession& r) { return r.start(); }); },
            "The start; False when no module took it.")
        .def(
            "receive_until_done",
            [](Session& s, const py::object& go_on) { return s.until_done(false, go_on); },
            py::arg("go_on") = py::none(), "Receives until the run is done.")
        .def("stop", &Session::stop, "The stop, and what the modules sent before it.")
        .def(
            "close", [](Session& s) { return s.step([](RunSession& r) { return r.close(); }); },
            "Closes the capture; False when it could not be written whole.")
        .def_property_readonly("errors", &Session::errors, "Every failure met, one line each.")
        .def_property_readonly("seconds",
                               [](const Session& s) { return s.session().run.seconds(); })
        .def("__len__", [](const Session& s) { return s.session().run.size(); })
        .def(
            "module",
            [](const Session& s, size_t i) -> const ModuleRun& {
                return s.session().run.module(s.checked(i));
            },
            py::arg("i"), py::return_value_policy::reference_internal)
        .def(
            "figures",
            [](const Session& s, size_t i) { return s.session().run.figures(s.checked(i)); },
            py::arg("i"))
        .def("total", [](const Session& s) { return s.session().run.total(); })
        .def_property_readonly(
            "pace", [](const Session& s) { return s.session().run.pace(); },
            "How far the host fell behind so far (HostPace).")
        .def_property_readonly("every_module_ran",
                               [](const Session& s) { return s.session().run.every_module_ran(); })
        .def_property_readonly("settings",
                               [](const Session& s) { return s.session().run.settings(); });

    py::class_<Recorded>(m, "RecordedRun", R"doc(
A run read back from its capture: per module (the far end of the datagrams to and from
module_port), the figures a RunSession keeps live. read() raises CaptureError when the file
cannot be read whole; what came before the damage is counted.)doc")
        .def(py::init<uint16_t>(), py::arg("module_port") = ModuleClient::kModulePort)
        .def("read", &Recorded::read, py::arg("path"))
        .def_property_readonly("records", [](const Recorded& r) { return r.run().run.records(); })
        .def_property_readonly(
            "seconds", [](const Recorded& r) { return r.run().run.seconds(); },
            "From the last start request to the first stop after it.")
        .def("__len__", [](const Recorded& r) { return r.run().run.size(); })
        .def(
            "endpoint",
            [](const Recorded& r, size_t i) { return r.run().run.endpoint(r.checked(i)); },
            py::arg("i"))
        .def(
            "module",
            [](const Recorded& r, size_t i) -> const ModuleRun& {
                return r.run().run.module(r.checked(i));
            },
            py::arg("i"), py::return_value_policy::reference_internal)
        .def(
            "figures",
            [](const Recorded& r, size_t i) { return r.run().run.figures(r.checked(i)); },
            py::arg("i"))
        .def("total", [](const Recorded& r) { return r.run().run.total(); });
}

}  // namespace daq::python
