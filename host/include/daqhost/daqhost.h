// The host library in one include: the client of a module and of many, the acknowledge and
// data-packet readers, the run statistics, and captures. Link the CMake target daq_host.
#pragma once

#include "daqhost/CaptureReader.h"
#include "daqhost/CaptureWriter.h"
#include "daqhost/Endpoint.h"
#include "daqhost/EventReading.h"
#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleGroup.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Acknowledge.h"
#include "protocol/DataPacketView.h"
