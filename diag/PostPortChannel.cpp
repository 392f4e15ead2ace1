// Post-port output channel: the text between two markers on port 0x80.
#include "diag/Diag.h"

namespace {
constexpr UINT16 PostPort = 0x80;
constexpr UINT32 PostTextStart = 0x5F535452;  // "_STR", most significant byte first
constexpr UINT32 PostTextEnd = 0x5F454E44;    // "_END", most significant byte first
}  // namespace

extern "C" VOID PostPortPrint(const UINT8 *Text, UINT64 Length) {
  PortWrite32(PostPort, PostTextStart);
  for (UINT64 Index = 0; Index < Length; Index++) {
    PortWrite8(PostPort, Text[Index]);
  }
  PortWrite32(PostPort, PostTextEnd);
}
