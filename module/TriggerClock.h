// What paces the trigger cycles of modules that share an event loop, in place of each module's
// own timer: a module whose run begins arms itself on its clock, and disarms itself when the
// run ends or the module goes. The clock calls the module back when its cycle is due
// (DAQmodule::queued_step or DAQmodule::common_cycle). A module paused in the middle of a run is
// held and released by whoever pauses it.
#pragma once

class DAQmodule;

class TriggerClock {
  public:
    virtual ~TriggerClock() = default;

    virtual void arm(DAQmodule& module) = 0;
    virtual void disarm(DAQmodule& module) = 0;
    // A paused module takes no cycles until released, and keeps its place meanwhile.
    virtual void hold(DAQmodule& module) { disarm(module); }
    virtual void release(DAQmodule& module) { arm(module); }
};
