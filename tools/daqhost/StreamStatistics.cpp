#include "daqhost/StreamStatistics.h"
