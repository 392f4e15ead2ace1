// The firmware's S3 Save State service (EFI_S3_SAVE_STATE_PROTOCOL) as this
// platform provides it, and the resume-script entries it keeps.
//
// Write is variadic in the firmware calling convention. For each of the four
// op codes the driver files it reads exactly the arguments of that op code
// and no more, copies the values behind the pointers at call time, and
// appends one typed entry to the script:
//
//   0x02 memory write         Width, Address (UINT64), Count, Buffer
//   0x0E memory poll          Width, Address (UINT64), Data, Mask, one UINT64
//   0x0B PCI config2 write    Width, Segment, Address (UINT64), Count, Buffer
//   0x10 PCI config2 poll     Width, Segment, Address (UINT64), Data, Mask,
//                             one UINT64
//
// Widths and the segment arrive as UINTN, the count as UINTN. Any other op
// code is refused (EFI_UNSUPPORTED) without reading a further argument,
// since the model cannot know how many there are.
//
// The same entry type describes a table record handed to SMM (SmmComm.h),
// so that both can be replayed onto the machine alike (S3Replay.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "firmware/Uefi.h"

namespace sim {

class Firmware;

enum class ScriptKind : uint8_t { MemWrite, MemPoll, PciWrite, PciPoll };
const char *ScriptKindName(ScriptKind Kind);

// One resume-script entry.
struct ScriptEntry {
  ScriptKind Kind = ScriptKind::MemWrite;
  uint64_t Width = 0;    // boot-script width: 0..3 for 8..64 bits
  uint64_t Segment = 0;  // PCI entries
  uint64_t Address = 0;  // physical address, or boot-script PCI address
  uint64_t Value = 0;    // value written, or data expected by a poll
  uint64_t Mask = 0;     // polls
  uint64_t Extra = 0;    // the trailing 64-bit argument of a poll
  bool operator==(const ScriptEntry &Other) const = default;
};
std::string Describe(const ScriptEntry &Entry);
void PrintTo(const ScriptEntry &Entry, std::ostream *Os);

// Window address of a boot-script PCI address of segment 0 in the
// configuration window at Base: bus, device, function and register (taken
// from bits 7:0, or from bits 43:32 when those are non-zero).
uint64_t BootScriptPciWindowAddress(uint64_t Base, uint64_t ScriptAddress);

class S3SaveState {
 public:
  struct WriteCall {
    UINTN OpCode;
    EFI_STATUS Status;
  };

  // Only one S3SaveState may be alive at a time (Write dispatches to it).
  S3SaveState();
  ~S3SaveState();
  S3SaveState(const S3SaveState &) = delete;
  S3SaveState &operator=(const S3SaveState &) = delete;
  static S3SaveState *Current();

  // Installs the protocol into Fw, as the firmware's boot-script driver does.
  void Install(Firmware &Fw);
  EFI_S3_SAVE_STATE_PROTOCOL *Protocol() { return &Instance; }

  // Status Write returns from now on (default EFI_SUCCESS). An error status
  // keeps nothing; a warning (non-zero, bit 63 clear) keeps the entry.
  void SetStatus(EFI_STATUS Status) { Result = Status; }

  const std::vector<ScriptEntry> &Script() const { return Entries; }
  void ClearScript() { Entries.clear(); }
  // Every Write call in order, refused ones included.
  const std::vector<WriteCall> &Calls() const { return CallLog; }
  void ClearCalls() { CallLog.clear(); }
  // Misuse: unknown op codes or widths, a count other than 1, null
  // pointers, calls of Insert, Label or Compare.
  const std::vector<std::string> &Violations() const { return ViolationLog; }

  // Write's implementation; Marker is positioned after OpCode.
  EFI_STATUS DoWrite(const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, VA_LIST Marker);
  void AddViolation(std::string What) { ViolationLog.push_back(std::move(What)); }

 private:
  EFI_S3_SAVE_STATE_PROTOCOL Instance{};
  EFI_STATUS Result = EFI_SUCCESS;
  std::vector<ScriptEntry> Entries;
  std::vector<WriteCall> CallLog;
  std::vector<std::string> ViolationLog;
};

}  // namespace sim
