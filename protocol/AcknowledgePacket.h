// The reply to every request: the request's code with the reply flag, an error code and
// three version bytes.
#pragma once

#include "protocol/BasePacket.h"

namespace daq {

class AcknowledgePacket : public BasePacket {
  public:
    AcknowledgePacket(unsigned char code, unsigned char first, unsigned char second,
                      unsigned char third);

    int size() const override;
    uint16_t word(int i) const override;

    void set_version(unsigned char first, unsigned char second, unsigned char third);
    void set_error(unsigned short error) { value = error; }
    unsigned short error() const { return value; }

    uint16_t version1 = 0;
    uint16_t version2 = 0;
    uint16_t reserved = 0;
};

}  // namespace daq
