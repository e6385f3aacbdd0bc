#include "faultrelay/Report.h"

#include <iostream>

void report(const std::string& message) { std::cerr << "faultrelay: " << message << std::endl; }
