#include "daqhost/ModuleClient.h"
