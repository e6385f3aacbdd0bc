// A capture read into a RecordedRun at the pace it was recorded, or at once: for a live view of
// a recorded run (`daqhost monitor`), each datagram is counted once as long has passed since
// the first as had when it was recorded. The library's own (not installed).
#pragma once

#include <chrono>
#include <functional>

#include "daqhost/CaptureReader.h"
#include "daqhost/RecordedRun.h"

namespace daq {

class CapturePlayback {
  public:
    // How often, at most, `show` is asked for while the capture plays at its pace.
    static constexpr std::chrono::milliseconds kShowEvery{200};

    CapturePlayback(CaptureReader& reader, RecordedRun& run) : reader_(reader), run_(run) {}

    // Counts the capture's datagrams until it ends or `go_on` says no; at its pace unless
    // `at_once`, and then `show` is called at most every kShowEvery while it plays. The run is
    // not finished.
    void play(bool at_once, const std::function<bool()>& go_on, const std::function<void()>& show);

  private:
    CaptureReader& reader_;
    RecordedRun& run_;
};

}  // namespace daq
