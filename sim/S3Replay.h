// The S3 resume replay: the resume script filed through the S3 Save State
// service, then the resume table the SMM handler received, played entry by
// entry onto the machine after the hubs' power-on reset; then every hub
// register the boot wrote is compared with its value at ready-to-boot.
//
// Writes go out as physical writes (PCI entries of segment 0 through the
// configuration window), so the hubs see them exactly as they saw the
// driver's own accesses; polls read back with a bounded loop. The hubs
// report which system register each access reached through derived
// SysRegWrite entries in the machine's log, which is how a register that is
// left different is traced to the entry that last wrote it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/Machine.h"
#include "sim/S3SaveState.h"
#include "sim/TableDecoder.h"

namespace sim {

enum class ReplayOrigin : uint8_t { Script, Table };
const char *ReplayOriginName(ReplayOrigin Origin);  // "script", "table"

// One entry to replay and where it came from.
struct ReplayItem {
  ScriptEntry Entry;
  ReplayOrigin Origin = ReplayOrigin::Script;
  size_t Index = 0;          // position in its script or table (from 0)
  uint64_t TableOffset = 0;  // table records: offset of the record
};
// "script #12" or "table #3 @0x0078".
std::string ItemName(const ReplayItem &Item);

enum class ReplayOutcome : uint8_t {
  Written,       // a write went out
  Matched,       // a poll saw its value
  NeverMatched,  // a poll gave up after the limit
  Unreachable,   // a PCI entry of a segment the platform does not decode
  BadWidth,      // a width the resume path cannot perform
};
const char *ReplayOutcomeName(ReplayOutcome Outcome);

struct ReplayStepResult {
  ReplayOutcome Outcome = ReplayOutcome::Written;
  uint64_t PhysAddress = 0;  // where the entry went
  unsigned Reads = 0;        // polls: reads made
  uint32_t LastRead = 0;     // polls: the last value read
  size_t LogBegin = 0;       // the machine-log entries this step made
  size_t LogEnd = 0;
  bool Failed() const { return Outcome == ReplayOutcome::NeverMatched || Outcome == ReplayOutcome::BadWidth; }
};

// The entries of a resume script, in order.
std::vector<ReplayItem> ScriptItems(const std::vector<ScriptEntry> &Script);
// A table record as an entry, for the four op codes the recorder produces;
// false for the others.
bool TableRecordEntry(const TableRecord &Record, ScriptEntry &Entry);
// The records of a decoded table, in table order; records of other op codes
// are left out and counted in *Skipped.
std::vector<ReplayItem> TableItems(const TableDecodeResult &Table, size_t *Skipped);

// Plays Items in order, appending one result per item to Results (owned by
// the caller, so a machine stop in the middle keeps what was played). Stops
// nothing itself: a failed poll is noted and the replay goes on with the next
// entry, so the comparison shows every consequence.
void ReplayItems(Machine &M, const std::vector<ReplayItem> &Items, uint64_t WindowBase, unsigned PollLimit,
                 std::vector<ReplayStepResult> &Results);

// A hub system register as the hubs name it in derived log entries (the
// Address of a SysRegWrite access).
using HubRegisterKey = uint64_t;

struct RegisterCheck {
  HubRegisterKey Key = 0;
  uint32_t BootValue = 0;    // at ready-to-boot
  uint32_t ResumeValue = 0;  // after the replay
  bool Restored = false;
  // The replay item that last wrote the register, or -1 when none did.
  long LastWriter = -1;
};

struct ReplayVerdict {
  bool Good = true;
  std::vector<std::string> Reasons;  // one per fault, naming the entry
};

// Compares the registers of Boot (value at ready-to-boot by key) with
// Resume (value after the replay), attributing each to the item that last
// wrote it in the log ranges of Steps.
std::vector<RegisterCheck> CompareRegisters(const Machine &M, const std::vector<ReplayStepResult> &Steps,
                                            const std::map<HubRegisterKey, uint32_t> &Boot,
                                            const std::map<HubRegisterKey, uint32_t> &Resume);

// The verdict: every poll matched, every write could be made, every
// register restored. RegisterName turns a key into text for the reasons.
ReplayVerdict JudgeReplay(const std::vector<ReplayItem> &Items, const std::vector<ReplayStepResult> &Steps,
                          const std::vector<RegisterCheck> &Registers, std::string (*RegisterName)(HubRegisterKey Key));

}  // namespace sim
