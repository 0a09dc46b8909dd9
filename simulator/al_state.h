// Application-layer states as they appear in a slave controller's AL status
// register; shared by the controller emulation and the network around it.
#pragma once

#include <cstdint>

namespace dcusim {

enum AlStateCode : uint8_t {
  kAlInit = 0x01,
  kAlPreOp = 0x02,
  kAlBoot = 0x03,
  kAlSafeOp = 0x04,
  kAlOp = 0x08,
  kAlErrorBit = 0x10,
};

}  // namespace dcusim
