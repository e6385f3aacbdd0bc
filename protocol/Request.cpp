#include "protocol/Request.h"

#include <cstring>

namespace daq {

uint16_t Request::word(int n) const {
    if (n < 0 || 2 * n + 2 > size_) return 0;
    uint16_t value;
    std::memcpy(&value, data_ + 2 * n, sizeof(value));
    return value;
}

}  // namespace daq
