// The S3 Save State service model and the replay of resume scripts.
#include "sim/S3SaveState.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "firmware/Firmware.h"
#include "sim/Firmware.h"

namespace sim {

namespace {

S3SaveState *LiveSaveState = nullptr;

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

unsigned WidthBytes(uint64_t Width) { return Width <= 3 ? 1U << Width : 0; }

uint64_t ReadValue(const void *Pointer, unsigned Bytes) {
  uint64_t Value = 0;
  std::memcpy(&Value, Pointer, Bytes);
  return Value;
}

EFI_STATUS EFIAPI SaveStateWrite(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *This, IN UINTN OpCode, ...) {
  VA_LIST Marker;
  VA_START(Marker, OpCode);
  const EFI_STATUS Status = LiveSaveState->DoWrite(This, OpCode, Marker);
  VA_END(Marker);
  return Status;
}

EFI_STATUS EFIAPI SaveStateInsert(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *, IN BOOLEAN, IN OUT VOID **, IN UINTN OpCode,
                                  ...) {
  LiveSaveState->AddViolation("Insert called (op code " + Hex(OpCode) + ")");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SaveStateLabel(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *, IN BOOLEAN, IN BOOLEAN, IN OUT VOID **,
                                 IN CONST CHAR8 *) {
  LiveSaveState->AddViolation("Label called");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SaveStateCompare(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *, IN VOID *, IN VOID *, OUT UINTN *) {
  LiveSaveState->AddViolation("Compare called");
  return EFI_UNSUPPORTED;
}

}  // namespace

const char *ScriptKindName(ScriptKind Kind) {
  switch (Kind) {
    case ScriptKind::MemWrite:
      return "MEM_WRITE";
    case ScriptKind::MemPoll:
      return "MEM_POLL";
    case ScriptKind::PciWrite:
      return "PCI_WRITE";
    case ScriptKind::PciPoll:
      return "PCI_POLL";
  }
  return "?";
}

std::string Describe(const ScriptEntry &Entry) {
  std::string Text = std::string(ScriptKindName(Entry.Kind)) + " width=" + std::to_string(Entry.Width);
  if (Entry.Kind == ScriptKind::PciWrite || Entry.Kind == ScriptKind::PciPoll) {
    Text += " segment=" + std::to_string(Entry.Segment);
  }
  Text += " address=" + Hex(Entry.Address) + " value=" + Hex(Entry.Value);
  if (Entry.Kind == ScriptKind::MemPoll || Entry.Kind == ScriptKind::PciPoll) {
    Text += " mask=" + Hex(Entry.Mask) + " extra=" + Hex(Entry.Extra);
  }
  return Text;
}

void PrintTo(const ScriptEntry &Entry, std::ostream *Os) { *Os << Describe(Entry); }

uint64_t BootScriptPciWindowAddress(uint64_t Base, uint64_t ScriptAddress) {
  const uint64_t Bus = (ScriptAddress >> 24) & 0xFF;
  const uint64_t Device = (ScriptAddress >> 16) & 0x1F;
  const uint64_t Function = (ScriptAddress >> 8) & 0x7;
  const uint64_t Extended = (ScriptAddress >> 32) & 0xFFF;
  const uint64_t Register = Extended != 0 ? Extended : (ScriptAddress & 0xFF);
  return Base + ((Bus << 20) | (Device << 15) | (Function << 12) | Register);
}

S3SaveState::S3SaveState() {
  if (LiveSaveState != nullptr) {
    std::fprintf(stderr, "sim::S3SaveState: only one instance may be alive\n");
    std::abort();
  }
  LiveSaveState = this;
  Instance.Write = SaveStateWrite;
  Instance.Insert = SaveStateInsert;
  Instance.Label = SaveStateLabel;
  Instance.Compare = SaveStateCompare;
}

S3SaveState::~S3SaveState() { LiveSaveState = nullptr; }

S3SaveState *S3SaveState::Current() { return LiveSaveState; }

void S3SaveState::Install(Firmware &Fw) { Fw.InstallProtocol(gEfiS3SaveStateProtocolGuid, &Instance); }

EFI_STATUS S3SaveState::DoWrite(const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, VA_LIST Marker) {
  const auto Refuse = [&](const std::string &Why, EFI_STATUS Status) {
    AddViolation("Write op code " + Hex(OpCode) + ": " + Why);
    CallLog.push_back({OpCode, Status});
    return Status;
  };
  if (This != &Instance) {
    return Refuse("called with a foreign This", EFI_INVALID_PARAMETER);
  }

  ScriptEntry Entry;
  switch (OpCode) {
    case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
    case EFI_BOOT_SCRIPT_PCI_CONFIG2_WRITE_OPCODE: {
      const bool Pci = OpCode == EFI_BOOT_SCRIPT_PCI_CONFIG2_WRITE_OPCODE;
      Entry.Kind = Pci ? ScriptKind::PciWrite : ScriptKind::MemWrite;
      Entry.Width = VA_ARG(Marker, UINTN);
      if (Pci) {
        Entry.Segment = VA_ARG(Marker, UINTN);
      }
      Entry.Address = VA_ARG(Marker, UINT64);
      const UINTN Count = VA_ARG(Marker, UINTN);
      const VOID *Buffer = VA_ARG(Marker, VOID *);
      if (WidthBytes(Entry.Width) == 0) {
        return Refuse("width " + Hex(Entry.Width), EFI_INVALID_PARAMETER);
      }
      if (Count != 1) {
        return Refuse("count " + std::to_string(Count), EFI_INVALID_PARAMETER);
      }
      if (Buffer == nullptr) {
        return Refuse("null buffer", EFI_INVALID_PARAMETER);
      }
      Entry.Value = ReadValue(Buffer, WidthBytes(Entry.Width));
      break;
    }
    case EFI_BOOT_SCRIPT_MEM_POLL_OPCODE:
    case EFI_BOOT_SCRIPT_PCI_CONFIG2_POLL_OPCODE: {
      const bool Pci = OpCode == EFI_BOOT_SCRIPT_PCI_CONFIG2_POLL_OPCODE;
      Entry.Kind = Pci ? ScriptKind::PciPoll : ScriptKind::MemPoll;
      Entry.Width = VA_ARG(Marker, UINTN);
      if (Pci) {
        Entry.Segment = VA_ARG(Marker, UINTN);
      }
      Entry.Address = VA_ARG(Marker, UINT64);
      const VOID *Data = VA_ARG(Marker, VOID *);
      const VOID *Mask = VA_ARG(Marker, VOID *);
      Entry.Extra = VA_ARG(Marker, UINT64);
      if (WidthBytes(Entry.Width) == 0) {
        return Refuse("width " + Hex(Entry.Width), EFI_INVALID_PARAMETER);
      }
      if (Data == nullptr || Mask == nullptr) {
        return Refuse("null data or mask", EFI_INVALID_PARAMETER);
      }
      Entry.Value = ReadValue(Data, WidthBytes(Entry.Width));
      Entry.Mask = ReadValue(Mask, WidthBytes(Entry.Width));
      break;
    }
    default:
      return Refuse("not an op code of this platform's driver", EFI_UNSUPPORTED);
  }

  CallLog.push_back({OpCode, Result});
  if (!EfiError(Result)) {
    Entries.push_back(Entry);
  }
  return Result;
}

}  // namespace sim
