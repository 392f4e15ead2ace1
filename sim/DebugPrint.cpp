// The debug-print driver's protocol: formatting and recording.
#include "sim/DebugPrint.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "sim/Firmware.h"

namespace sim {

namespace {

DebugPrint *gCurrent = nullptr;

EFI_STATUS EFIAPI PrintEntry(UINT64 Filter, CONST CHAR8 *Format, VA_LIST Marker) {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "sim::DebugPrint: print called with no live debug-print driver\n");
    std::abort();
  }
  return gCurrent->DoPrint(Filter, Format, Marker);
}

const char *const kErrorNames[] = {
    "Success",          "Load Error",           "Invalid Parameter",
    "Unsupported",      "Bad Buffer Size",      "Buffer Too Small",
    "Not Ready",        "Device Error",         "Write Protected",
    "Out of Resources", "Volume Corrupt",       "Volume Full",
    "No Media",         "Media changed",        "Not Found",
    "Access Denied",    "No Response",          "No mapping",
    "Time out",         "Not started",          "Already started",
    "Aborted",          "ICMP Error",           "TFTP Error",
    "Protocol Error",   "Incompatible Version", "Security Violation",
    "CRC Error",        "End of Media",         "Reserved (29)",
    "Reserved (30)",    "End of File",          "Invalid Language",
    "Compromised Data", "IP Address Conflict",  "HTTP Error",
};

const char *const kWarningNames[] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
    "Warning File System",
    "Warning Reset Required",
};

void Pad(std::string &Out, const std::string &Body, size_t Width, bool Left, char Fill) {
  if (Body.size() >= Width) {
    Out += Body;
    return;
  }
  const std::string Padding(Width - Body.size(), Fill);
  if (Left) {
    Out += Body;
    Out += std::string(Width - Body.size(), ' ');
  } else if (Fill == '0' && !Body.empty() && Body[0] == '-') {
    Out += '-';
    Out += Padding;
    Out += Body.substr(1);
  } else {
    Out += Padding;
    Out += Body;
  }
}

}  // namespace

std::string StatusName(EFI_STATUS Status) {
  const uint64_t Code = Status & ~EFI_ERROR_BIT;
  if (EfiError(Status) && Code < std::size(kErrorNames)) {
    return kErrorNames[Code];
  }
  if (!EfiError(Status) && Code < std::size(kWarningNames)) {
    return kWarningNames[Code];
  }
  char Text[24];
  std::snprintf(Text, sizeof Text, "%016llX", Status);
  return Text;
}

std::string FilterName(uint64_t Filter) {
  switch (Filter) {
    case FilterError:
      return "ERROR";
    case FilterFlow:
      return "FLOW";
    case FilterHub:
      return "HUB";
    case FilterTestPoint:
      return "TESTPOINT";
    default:
      break;
  }
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Filter));
  return Text;
}

std::string FormatLine(const char *Format, VA_LIST Marker) {
  std::string Out;
  if (Format == nullptr) {
    return Out;
  }
  for (const char *P = Format; *P != 0; ++P) {
    if (*P != '%') {
      Out += *P;
      continue;
    }
    const char *Start = P;
    ++P;
    bool Left = false;
    char Fill = ' ';
    for (;; ++P) {
      if (*P == '-') {
        Left = true;
      } else if (*P == '0') {
        Fill = '0';
      } else if (*P == ',' || *P == ' ' || *P == '+') {
        // accepted, no effect here
      } else {
        break;
      }
    }
    size_t Width = 0;
    bool HasWidth = false;
    if (*P == '*') {
      Width = static_cast<size_t>(VA_ARG(Marker, UINT64) & 0xFFFF);
      HasWidth = true;
      ++P;
    } else {
      while (*P >= '0' && *P <= '9') {
        Width = Width * 10 + static_cast<size_t>(*P - '0');
        HasWidth = true;
        ++P;
      }
    }
    if (*P == '.') {  // precision: accepted and skipped
      ++P;
      while ((*P >= '0' && *P <= '9') || *P == '*') {
        if (*P == '*') {
          (void)VA_ARG(Marker, UINT64);
        }
        ++P;
      }
    }
    bool Long = false;
    while (*P == 'l' || *P == 'L') {
      Long = true;
      ++P;
    }
    char Number[32];
    switch (*P) {
      case 'a': {
        const char *S = reinterpret_cast<const char *>(VA_ARG(Marker, UINT64));
        Pad(Out, S == nullptr ? "<null string>" : S, Width, Left, ' ');
        break;
      }
      case 's':
      case 'S': {
        const CHAR16 *S = reinterpret_cast<const CHAR16 *>(VA_ARG(Marker, UINT64));
        std::string Narrow;
        if (S == nullptr) {
          Narrow = "<null string>";
        } else {
          for (; *S != 0; ++S) {
            Narrow += *S < 0x80 ? static_cast<char>(*S) : '?';
          }
        }
        Pad(Out, Narrow, Width, Left, ' ');
        break;
      }
      case 'c': {
        Pad(Out, std::string(1, static_cast<char>(VA_ARG(Marker, UINT64) & 0xFF)), Width, Left, ' ');
        break;
      }
      case 'd':
      case 'i': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        const int64_t Value = Long ? static_cast<int64_t>(Slot) : static_cast<int32_t>(Slot & 0xFFFFFFFF);
        std::snprintf(Number, sizeof Number, "%lld", static_cast<long long>(Value));
        Pad(Out, Number, Width, Left, Left ? ' ' : Fill);
        break;
      }
      case 'u': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        std::snprintf(Number, sizeof Number, "%llu", Long ? Slot : (Slot & 0xFFFFFFFF));
        Pad(Out, Number, Width, Left, Left ? ' ' : Fill);
        break;
      }
      case 'x':
      case 'X': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        std::snprintf(Number, sizeof Number, "%llX", Long ? Slot : (Slot & 0xFFFFFFFF));
        if (*P == 'X' && !HasWidth) {
          Width = Long ? 16 : 8;
          Fill = '0';
        }
        Pad(Out, Number, Width, Left, Left ? ' ' : Fill);
        break;
      }
      case 'p': {
        std::snprintf(Number, sizeof Number, "%016llX", VA_ARG(Marker, UINT64));
        Pad(Out, Number, Width, Left, ' ');
        break;
      }
      case 'r': {
        Pad(Out, StatusName(VA_ARG(Marker, UINT64)), Width, Left, ' ');
        break;
      }
      case '%':
        Out += '%';
        break;
      case 0:  // lone '%' at the end
        Out.append(Start);
        return Out;
      default:  // unknown conversion: shown as written
        Out.append(Start, static_cast<size_t>(P - Start) + 1);
        break;
    }
  }
  return Out;
}

DebugPrint::DebugPrint() {
  if (gCurrent != nullptr) {
    std::fprintf(stderr, "sim::DebugPrint: only one may be alive at a time\n");
    std::abort();
  }
  gCurrent = this;
  Instance.Print = PrintEntry;
}

DebugPrint::~DebugPrint() { gCurrent = nullptr; }

DebugPrint *DebugPrint::Current() { return gCurrent; }

void DebugPrint::Install(Firmware &Fw) { Fw.InstallProtocol(gTevDebugPrintProtocolGuid, &Instance); }

EFI_STATUS DebugPrint::DoPrint(uint64_t Filter, const char *Format, VA_LIST Marker) {
  Recorded.push_back({Filter, Format == nullptr ? "" : Format, FormatLine(Format, Marker)});
  if (Echo) {
    std::printf("[%s] %s", FilterName(Filter).c_str(), Recorded.back().Text.c_str());
    if (Recorded.back().Text.empty() || Recorded.back().Text.back() != '\n') {
      std::printf("\n");
    }
    std::fflush(stdout);
  }
  return Result;
}

std::vector<std::string> DebugPrint::Texts(uint64_t Filter) const {
  std::vector<std::string> Out;
  for (const Line &L : Recorded) {
    if (L.Filter == Filter) {
      Out.push_back(L.Text);
    }
  }
  return Out;
}

bool DebugPrint::Contains(const std::string &Text) const {
  for (const Line &L : Recorded) {
    if (L.Text == Text) {
      return true;
    }
  }
  return false;
}

}  // namespace sim
