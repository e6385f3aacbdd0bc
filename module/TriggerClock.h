// What paces the trigger cycles of modules that share an event loop, in place of each module's
// own timer: a module whose run begins arms itself on its clock, and disarms itself when the
// run ends or the module goes. The clock calls the module back when its cycle is due
// (DAQmodule::queued_step or DAQmodule::common_cycle).
#pragma once

class DAQmodule;

class TriggerClock {
  public:
    virtual ~TriggerClock() = default;

    virtual void arm(DAQmodule& module) = 0;
    virtual void disarm(DAQmodule& module) = 0;
};
