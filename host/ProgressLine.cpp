#include "ProgressLine.h"

#include <cstdio>

namespace daq {

std::string ProgressLine::next(const RunSession& session, bool last) {
    const RunProgress p = session.progress();
    // At most ten lines a second.
    if (!last && shown_ && p.seconds - last_.seconds < 0.1) return "";
    const double span = p.seconds - last_.seconds;
    // With many modules, a line per module above the total, written over at each update.
    std::string line = "\r";
    if (!session.single()) {
        if (module_lines_ > 0) line += "\x1b[" + std::to_string(module_lines_) + "A";
        for (size_t i = 0; i < session.size(); ++i) {
            const ModuleFigures f = session.figures(i);
            line += session.client(i).module().text() + "  " + std::to_string(f.events) +
                    " events, missing " + std::to_string(f.missing);
            const std::string& failed_at = session.module(i).failed_at;
            if (!failed_at.empty()) line += ", failed at " + failed_at;
            if (session.module(i).left_s) line += ", left";
            line += "\x1b[K\n";
        }
        module_lines_ = session.size();
        line += std::to_string(p.started) + " modules, the fewest ";
    }
    line += std::to_string(p.fewest_events) + " events";
    char text[128];
    if (shown_ && span > 0) {
        std::snprintf(text, sizeof(text), ", %.0f packets/s, %.2f MB/s",
                      static_cast<double>(p.packets - last_.packets) / span,
                      static_cast<double>(p.bytes - last_.bytes) / span / 1e6);
        line += text;
    }
    line += ", missing";
    if (session.single()) {
        const StreamStatistics& statistics = session.module(0).statistics;
        for (int hybrid : statistics.hybrids()) {
            line += " " + std::to_string(hybrid) + ":" + std::to_string(statistics.missing(hybrid));
        }
    } else {
        line += " " + std::to_string(p.missing);
    }
    line += "\x1b[K";
    if (last) line += "\n";
    last_ = p;
    shown_ = true;
    return line;
}

}  // namespace daq
