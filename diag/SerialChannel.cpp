// Serial output channel: polled transmit on the first standard serial port.
#include "diag/Diag.h"

namespace {
constexpr UINT16 SerialTransmitPort = 0x3F8;
constexpr UINT16 SerialLineStatusPort = 0x3FD;
constexpr UINT8 TransmitterReady = 0x60;
constexpr UINT32 ReadyPollBudget = 2000;

BOOLEAN WaitTransmitterReady() {
  for (UINT32 Read = 0; Read < ReadyPollBudget; Read++) {
    if ((PortRead8(SerialLineStatusPort) & TransmitterReady) == TransmitterReady) {
      return TRUE;
    }
  }
  return FALSE;
}
}  // namespace

extern "C" VOID SerialPrint(const UINT8 *Text, UINT64 Length) {
  for (UINT64 Index = 0; Index < Length; Index++) {
    // A byte the port never becomes ready for is dropped.
    if (WaitTransmitterReady()) {
      PortWrite8(SerialTransmitPort, Text[Index]);
    }
  }
}
