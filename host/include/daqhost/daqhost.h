// The host library in one include: the client of a module and of many, the run session, the
// acknowledge and data-packet readers, the request builders, the run statistics, and
// captures. Everything is in the namespace daq. Installed, it is found by
// find_package(daqhost) (the target daqhost::daqhost) or by pkg-config (daqhost).
#pragma once

#include "daqhost/CaptureDistributions.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/CaptureWriter.h"
#include "daqhost/DatagramClassifier.h"
#include "daqhost/DatagramDescription.h"
#include "daqhost/Endpoint.h"
#include "daqhost/EventReading.h"
#include "daqhost/HostPace.h"
#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleGroup.h"
#include "daqhost/ModuleList.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/ModuleRun.h"
#include "daqhost/RecordedRun.h"
#include "daqhost/RunFigures.h"
#include "daqhost/RunMetrics.h"
#include "daqhost/RunSession.h"
#include "daqhost/RunSnapshot.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Acknowledge.h"
#include "protocol/DataPacketView.h"
#include "protocol/ModuleRequest.h"
