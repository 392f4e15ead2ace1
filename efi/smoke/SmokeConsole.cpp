// Debug console, text formatting and the verdict of the smoke test.
#include "efi/smoke/Smoke.h"

namespace {

constexpr UINT16 DebugConsolePort = 0xE9;
constexpr UINT16 DebugExitPort = 0xF4;
constexpr UINT32 DebugExitPass = 0;
constexpr UINT32 DebugExitFail = 1;

UINTN mChecks;
UINTN mFailures;

struct TEXT_SINK {
  CHAR8 *Buffer;
  UINTN Size;
  UINTN Length;
};

VOID Put(TEXT_SINK *Sink, CHAR8 Character) {
  if (Sink->Length + 1 < Sink->Size) {
    Sink->Buffer[Sink->Length++] = Character;
    Sink->Buffer[Sink->Length] = 0;
  }
}

VOID PutString(TEXT_SINK *Sink, const CHAR8 *Text, UINTN Width, BOOLEAN LeftAlign) {
  UINTN Length = 0;
  while (Text[Length] != 0) {
    Length++;
  }
  for (UINTN Pad = Length; !LeftAlign && Pad < Width; Pad++) {
    Put(Sink, ' ');
  }
  for (UINTN Index = 0; Index < Length; Index++) {
    Put(Sink, Text[Index]);
  }
  for (UINTN Pad = Length; LeftAlign && Pad < Width; Pad++) {
    Put(Sink, ' ');
  }
}

VOID PutNumber(TEXT_SINK *Sink, UINT64 Value, UINT32 Radix, BOOLEAN Negative, UINTN Width, BOOLEAN ZeroPad,
               BOOLEAN LeftAlign) {
  CHAR8 Digits[24];
  UINTN Count = 0;
  do {
    const UINT32 Digit = static_cast<UINT32>(Value % Radix);
    Digits[Count++] = static_cast<CHAR8>(Digit < 10 ? '0' + Digit : 'A' + Digit - 10);
    Value /= Radix;
  } while (Value != 0);
  const UINTN Length = Count + (Negative ? 1 : 0);
  if (Negative && ZeroPad) {
    Put(Sink, '-');
  }
  for (UINTN Pad = Length; !LeftAlign && Pad < Width; Pad++) {
    Put(Sink, ZeroPad ? '0' : ' ');
  }
  if (Negative && !ZeroPad) {
    Put(Sink, '-');
  }
  while (Count > 0) {
    Put(Sink, Digits[--Count]);
  }
  for (UINTN Pad = Length; LeftAlign && Pad < Width; Pad++) {
    Put(Sink, ' ');
  }
}

VOID WriteConsole(const CHAR8 *Text) {
  for (; *Text != 0; Text++) {
    PortWrite8(DebugConsolePort, static_cast<UINT8>(*Text));
  }
}

}  // namespace

extern "C" {

const CHAR8 *SmokeStatusName(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS:
      return "Success";
    case EFI_LOAD_ERROR:
      return "Load Error";
    case EFI_INVALID_PARAMETER:
      return "Invalid Parameter";
    case EFI_UNSUPPORTED:
      return "Unsupported";
    case EFI_BAD_BUFFER_SIZE:
      return "Bad Buffer Size";
    case EFI_BUFFER_TOO_SMALL:
      return "Buffer Too Small";
    case EFI_NOT_READY:
      return "Not Ready";
    case EFI_DEVICE_ERROR:
      return "Device Error";
    case EFI_OUT_OF_RESOURCES:
      return "Out of Resources";
    case EFI_NOT_FOUND:
      return "Not Found";
    case EFI_ACCESS_DENIED:
      return "Access Denied";
    case EFI_ABORTED:
      return "Aborted";
    default:
      return nullptr;
  }
}

UINTN SmokeFormat(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, VA_LIST Marker) {
  TEXT_SINK Sink = {Buffer, Size, 0};
  if (Size > 0) {
    Buffer[0] = 0;
  }
  for (const CHAR8 *At = Format; *At != 0; At++) {
    if (*At != '%') {
      Put(&Sink, *At);
      continue;
    }
    At++;
    BOOLEAN LeftAlign = FALSE;
    BOOLEAN ZeroPad = FALSE;
    for (;; At++) {
      if (*At == '-') {
        LeftAlign = TRUE;
      } else if (*At == '0') {
        ZeroPad = TRUE;
      } else {
        break;
      }
    }
    UINTN Width = 0;
    BOOLEAN HasWidth = FALSE;
    if (*At == '*') {
      Width = static_cast<UINT32>(VA_ARG(Marker, UINT64));
      HasWidth = TRUE;
      At++;
    }
    for (; *At >= '0' && *At <= '9'; At++) {
      Width = Width * 10 + static_cast<UINTN>(*At - '0');
      HasWidth = TRUE;
    }
    BOOLEAN Long = FALSE;
    while (*At == 'l' || *At == 'L') {
      Long = TRUE;
      At++;
    }
    switch (*At) {
      case 'a': {
        const CHAR8 *Text = reinterpret_cast<const CHAR8 *>(VA_ARG(Marker, UINT64));
        PutString(&Sink, Text != nullptr ? Text : "<null>", Width, LeftAlign);
        break;
      }
      case 's': {
        const CHAR16 *Text = reinterpret_cast<const CHAR16 *>(VA_ARG(Marker, UINT64));
        for (; Text != nullptr && *Text != 0; Text++) {
          Put(&Sink, static_cast<CHAR8>(*Text < 0x80 ? *Text : '?'));
        }
        break;
      }
      case 'c':
        Put(&Sink, static_cast<CHAR8>(VA_ARG(Marker, UINT64)));
        break;
      case 'd':
      case 'i': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        const INT64 Value = Long ? static_cast<INT64>(Slot) : static_cast<INT32>(static_cast<UINT32>(Slot));
        const UINT64 Magnitude = Value < 0 ? 0 - static_cast<UINT64>(Value) : static_cast<UINT64>(Value);
        PutNumber(&Sink, Magnitude, 10, Value < 0, Width, ZeroPad, LeftAlign);
        break;
      }
      case 'u': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        PutNumber(&Sink, Long ? Slot : static_cast<UINT32>(Slot), 10, FALSE, Width, ZeroPad, LeftAlign);
        break;
      }
      case 'x':
      case 'X': {
        const UINT64 Slot = VA_ARG(Marker, UINT64);
        if (*At == 'X' && !HasWidth) {
          Width = Long ? 16 : 8;
          ZeroPad = TRUE;
        }
        PutNumber(&Sink, Long ? Slot : static_cast<UINT32>(Slot), 16, FALSE, Width, ZeroPad, LeftAlign);
        break;
      }
      case 'p':
        PutNumber(&Sink, VA_ARG(Marker, UINT64), 16, FALSE, 16, TRUE, FALSE);
        break;
      case 'r': {
        const EFI_STATUS Status = VA_ARG(Marker, UINT64);
        const CHAR8 *Name = SmokeStatusName(Status);
        if (Name != nullptr) {
          PutString(&Sink, Name, Width, LeftAlign);
        } else {
          PutNumber(&Sink, Status, 16, FALSE, 16, TRUE, FALSE);
        }
        break;
      }
      case '%':
        Put(&Sink, '%');
        break;
      case 0:
        return Sink.Length;
      default:
        Put(&Sink, '%');
        Put(&Sink, *At);
        break;
    }
  }
  return Sink.Length;
}

VOID EFIAPI SmokeLog(const CHAR8 *Format, ...) {
  CHAR8 Line[256];
  VA_LIST Marker;
  VA_START(Marker, Format);
  SmokeFormat(Line, sizeof(Line), Format, Marker);
  VA_END(Marker);
  WriteConsole(Line);
}

BOOLEAN EFIAPI SmokeCheck(BOOLEAN Passed, const CHAR8 *Format, ...) {
  CHAR8 Line[256];
  VA_LIST Marker;
  VA_START(Marker, Format);
  SmokeFormat(Line, sizeof(Line), Format, Marker);
  VA_END(Marker);
  mChecks++;
  if (!Passed) {
    mFailures++;
  }
  WriteConsole(Passed ? "ok   " : "FAIL ");
  WriteConsole(Line);
  WriteConsole("\n");
  return Passed;
}

BOOLEAN SmokeCheckEqual(UINT64 Actual, UINT64 Expected, const CHAR8 *What) {
  if (Actual == Expected) {
    return SmokeCheck(TRUE, "%a (0x%lx)", What, Actual);
  }
  return SmokeCheck(FALSE, "%a: 0x%lx, expected 0x%lx", What, Actual, Expected);
}

EFI_STATUS SmokeFinish(VOID) {
  if (mFailures == 0 && mChecks > 0) {
    SmokeLog("PIRN SMOKE: PASS (%u checks)\n", static_cast<UINT32>(mChecks));
    PortWrite32(DebugExitPort, DebugExitPass);
    return EFI_SUCCESS;
  }
  SmokeLog("PIRN SMOKE: FAIL (%u of %u checks failed)\n", static_cast<UINT32>(mFailures), static_cast<UINT32>(mChecks));
  PortWrite32(DebugExitPort, DebugExitFail);
  return EFI_ABORTED;
}

}  // extern "C"
