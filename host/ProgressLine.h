// The progress of a run as a terminal shows it, written over in place: the fewest events of
// the modules that started, packets and megabytes a second since the last line, and the
// events missing (per hybrid for one module); with many modules, a line per module above it.
// At most ten a second, and always the last. The library's own (not installed).
#pragma once

#include <cstddef>
#include <string>

#include "daqhost/RunSession.h"

namespace daq {

class ProgressLine {
  public:
    // The text that brings the terminal up to `session`'s progress (ending the line when
    // `last`); empty when the last was written less than a tenth of a second ago.
    std::string next(const RunSession& session, bool last);

  private:
    RunProgress last_;
    bool shown_ = false;
    size_t module_lines_ = 0;  // written above the total, to go back up over
};

}  // namespace daq
