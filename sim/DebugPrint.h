// The debug-print protocol of another driver (TEV_DEBUG_PRINT_PROTOCOL),
// as this platform provides it: it formats each line the way the firmware's
// print library does and records it.
//
// Conversions: %a (ASCII string), %s (UCS-2 string), %c, %d and %i
// (signed), %u, %x and %X (hexadecimal, upper-case digits as the firmware
// prints them), %p, %r (EFI status name, e.g. "Not Found"), %%. Flags '-'
// and '0', a width (digits or '*'), and the size prefixes 'l'/'ll'/'L'
// (64-bit). Without a size prefix an integer is the low 32 bits of its
// 8-byte slot. %X without a width pads to 8 (16 with a size prefix) digits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diag/Diag.h"

namespace sim {

class Firmware;

// "Success", "Invalid Parameter", "Out of Resources", ...
std::string StatusName(EFI_STATUS Status);
// "ERROR", "FLOW", "HUB", "TESTPOINT", or the value in hex for other filters.
std::string FilterName(uint64_t Filter);
// Formats Format with the arguments behind Marker.
std::string FormatLine(const char *Format, VA_LIST Marker);

class DebugPrint {
 public:
  struct Line {
    uint64_t Filter;
    std::string Format;
    std::string Text;  // formatted, trailing newline kept
  };

  // Only one DebugPrint may be alive at a time.
  DebugPrint();
  ~DebugPrint();
  DebugPrint(const DebugPrint &) = delete;
  DebugPrint &operator=(const DebugPrint &) = delete;

  // Installs the protocol into Fw under gTevDebugPrintProtocolGuid.
  void Install(Firmware &Fw);
  TEV_DEBUG_PRINT_PROTOCOL *Protocol() { return &Instance; }

  const std::vector<Line> &Lines() const { return Recorded; }
  void Clear() { Recorded.clear(); }
  // The texts of the lines with this filter, in order.
  std::vector<std::string> Texts(uint64_t Filter) const;
  // Whether some line's text equals Text.
  bool Contains(const std::string &Text) const;

  // Echo each line to stdout as "[FILTER] text".
  void SetEcho(bool On) { Echo = On; }
  // Status the print function returns (default EFI_SUCCESS).
  void SetStatus(EFI_STATUS Status) { Result = Status; }

  EFI_STATUS DoPrint(uint64_t Filter, const char *Format, VA_LIST Marker);
  static DebugPrint *Current();

 private:
  TEV_DEBUG_PRINT_PROTOCOL Instance{};
  std::vector<Line> Recorded;
  bool Echo = false;
  EFI_STATUS Result = EFI_SUCCESS;
};

}  // namespace sim
