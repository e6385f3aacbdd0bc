// The gnuplot script of a capture's plot (what `daqhost plot` draws): per module and hybrid a
// row of three panels, the hit map on a square grid, the pedestals and the hit amplitudes, as
// one PNG. A hybrid without a hit, and those past the last row, are left out and named. The
// library's own (not installed).
#pragma once

#include <string>

#include "daqhost/CaptureDistributions.h"

namespace daq {

class PlotScript {
  public:
    // A module has four hybrids; more stream ids come only from stray packets, and an image
    // much taller than this one fails in cairo.
    static constexpr int kMaxRows = 16;

    // The plot of `capture` (its modules as kept) into the PNG `out`, titled by the capture's
    // name; `channels` (0: none) for a hybrid whose packets and configuration do not say, and
    // `one_module_chosen` when the title should name the module shown.
    PlotScript(const CaptureDistributions& capture, const std::string& capture_name,
               const std::string& out, int channels, bool one_module_chosen);

    const std::string& text() const { return text_; }
    // "FILE: N data packets of M modules, K malformed ones skipped"
    const std::string& title() const { return title_; }
    // The hybrids plotted, one row each.
    int rows() const { return rows_; }
    // The hybrids left out, "1, 10.0.0.2:10000 3": without a hit, and past the last row.
    const std::string& hitless() const { return hitless_; }
    const std::string& beyond() const { return beyond_; }

  private:
    std::string text_;
    std::string title_;
    int rows_ = 0;
    std::string hitless_;
    std::string beyond_;
};

}  // namespace daq
