#include "daqhost/RunSnapshot.h"

#include <chrono>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "RunFiguresJson.h"
#include "daqhost/RunMetrics.h"

namespace daq {

namespace {

// Hit amplitudes are shown in bins of this many counts.
constexpr int kAmplitudeBin = 8;

// The summary's figures of a stream (`stream`), with what the page draws of it.
nlohmann::json hybrid_json(nlohmann::json stream, const StreamSummary& s, const StreamChannels& c) {
    nlohmann::json means = nlohmann::json::array();
    nlohmann::json sigmas = nlohmann::json::array();
    for (const ChannelPedestal& p : c.pedestals) {
        means.push_back(p.values > 0 ? nlohmann::json(p.mean) : nlohmann::json(nullptr));
        sigmas.push_back(p.values > 0 ? nlohmann::json(p.sigma) : nlohmann::json(nullptr));
    }
    // Both histograms go out whole, empty bins included, so that a chart steps down to 0
    // between the bins that were hit.
    nlohmann::json hit_map = nlohmann::json::array();
    const int channels = c.hit_channels.empty() ? 0 : c.hit_channels.rbegin()->first + 1;
    for (int channel = 0; channel < channels; ++channel) {
        const auto found = c.hit_channels.find(channel);
        hit_map.push_back({channel, found == c.hit_channels.end() ? 0 : found->second});
    }
    // Hit value less the stream's pedestal mean, binned.
    std::map<int, uint64_t> bins;
    const double pedestal = s.pedestal_mean.value_or(0);
    for (const auto& [value, n] : c.hit_values) {
        const int amplitude = static_cast<int>(std::lround(value - pedestal));
        const int bin =
            static_cast<int>(std::floor(static_cast<double>(amplitude) / kAmplitudeBin));
        bins[bin * kAmplitudeBin] += n;
    }
    nlohmann::json amplitudes = nlohmann::json::array();
    if (!bins.empty()) {
        for (int low = bins.begin()->first; low <= bins.rbegin()->first; low += kAmplitudeBin) {
            const auto found = bins.find(low);
            amplitudes.push_back({low, found == bins.end() ? 0 : found->second});
        }
    }
    stream["channel_means"] = means;
    stream["channel_sigmas"] = sigmas;
    stream["hit_map"] = hit_map;
    stream["amplitude_bin"] = kAmplitudeBin;
    stream["amplitudes"] = amplitudes;
    return stream;
}

// What the page's table says of a module. A module that ran to the end of the run without
// trouble has "ended" once the run has.
const char* module_state(const ModuleRun& run, bool done) {
    const std::vector<Outage>& outages = run.recovery.outages();
    if (run.left_s) return "left";
    if (run.recovery.given_up()) return "given up";
    if (!run.failed_at.empty()) return "failed";
    if (run.recovery.silent()) return "silent";
    if (!run.started) return run.joined_s ? "joining" : "not started";
    if (!outages.empty() && outages.back().end == Outage::End::kRecovered) return "recovered";
    return done ? "ended" : "running";
}

// The last outage's start and how it ended, and when (null while it goes on); null if none.
nlohmann::json last_outage_json(const ModuleRun& run) {
    const std::vector<Outage>& outages = run.recovery.outages();
    if (outages.empty()) return nullptr;
    const Outage& o = outages.back();
    return {{"start_s", o.start_s},
            {"end", describe(o.end)},
            {"end_s", o.end == Outage::End::kOngoing ? nlohmann::json(nullptr)
                                                     : nlohmann::json(o.start_s + o.seconds)}};
}

std::string page_json(const RunSummary& summary, const nlohmann::json& status, uint64_t sequence,
                      bool done) {
    nlohmann::json modules = nlohmann::json::array();
    for (size_t i = 0; i < summary.modules.size(); ++i) {
        const SummaryModule& m = summary.modules[i];
        const StreamStatistics& statistics = m.run->statistics;
        const nlohmann::json& streams =
            (summary.modules.size() == 1 ? status : status["modules"][i])["hybrids"];
        nlohmann::json hybrids = nlohmann::json::array();
        size_t k = 0;
        for (const StreamSummary& s : statistics.summaries()) {
            hybrids.push_back(hybrid_json(streams[k++], s, statistics.channels(s.hybrid)));
        }
        nlohmann::json module = module_figures_json(m.figures);
        module["module"] = m.name;
        module["last_outage"] = last_outage_json(*m.run);
        module["state"] = module_state(*m.run, done);
        module["given_up"] = m.run->recovery.given_up();
        module["joined_s"] =
            m.run->joined_s ? nlohmann::json(*m.run->joined_s) : nlohmann::json(nullptr);
        module["left_s"] = m.run->left_s ? nlohmann::json(*m.run->left_s) : nlohmann::json(nullptr);
        module["failed_at"] =
            m.run->failed_at.empty() ? nlohmann::json(nullptr) : nlohmann::json(m.run->failed_at);
        module["hybrids"] = hybrids;
        modules.push_back(module);
    }
    // The summary's total, whatever the number of modules.
    const nlohmann::json total = total_figures_json(summary.total, summary.running);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return nlohmann::json(
               {{"sequence", sequence},
                {"time_ms", std::chrono::duration_cast<std::chrono::milliseconds>(now).count()},
                {"seconds", summary.seconds},
                {"done", done},
                {"total", total},
                {"host", status["host"]},
                {"modules", modules}})
        .dump();
}

}  // namespace

RunSnapshot RunSnapshot::of(const RunSummary& summary, uint64_t sequence, bool done) {
    RunSnapshot snapshot;
    snapshot.sequence = sequence;
    snapshot.status = summary.json();
    snapshot.page = page_json(summary, nlohmann::json::parse(snapshot.status), sequence, done);
    snapshot.metrics = run_metrics(summary);
    return snapshot;
}

}  // namespace daq
