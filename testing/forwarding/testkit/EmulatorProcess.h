// The test kit's old path, for the tests that still include it (see testing/CMakeLists.txt).
#pragma once

#include "testing/EmulatorProcess.h"
