// Byte helpers for slot encodings and the real-time thread set-up.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

namespace zorvik_utils {

// Writers put the least significant byte first.
void FloatToBytes(float value, uint8_t* out);
void Uint16ToBytes(uint16_t value, uint8_t* out);
// Readers take the most significant byte first.
float BytesToFloat(const uint8_t* in);
uint16_t BytesToUint16(const uint8_t* in);

// Names a thread, gives it a SCHED_FIFO priority (capped at the policy's
// maximum) and binds it to one CPU, each only when asked for (empty name,
// negative priority or cpu = leave alone). False when a requested priority or
// binding failed.
bool SetRealTimeThread(pthread_t thread, std::string name, int32_t priority, int32_t cpu);

}  // namespace zorvik_utils
