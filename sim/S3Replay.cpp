// S3 resume replay onto the machine, and the register comparison.
#include "sim/S3Replay.h"

#include <cstdio>

#include "sim/TableDecoder.h"

namespace sim {
namespace {

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

void WriteWidth(Machine &M, uint64_t Address, unsigned Bytes, uint64_t Value) {
  if (Bytes == 8) {
    M.PhysWrite(Address, 4, static_cast<uint32_t>(Value));
    M.PhysWrite(Address + 4, 4, static_cast<uint32_t>(Value >> 32));
  } else {
    M.PhysWrite(Address, static_cast<uint8_t>(Bytes), static_cast<uint32_t>(Value));
  }
}

}  // namespace

const char *ReplayOriginName(ReplayOrigin Origin) { return Origin == ReplayOrigin::Script ? "script" : "table"; }

std::string ItemName(const ReplayItem &Item) {
  std::string Name = std::string(ReplayOriginName(Item.Origin)) + " #" + std::to_string(Item.Index + 1);
  if (Item.Origin == ReplayOrigin::Table) {
    // Four digits at least, as the decoded table lists its records.
    char Offset[24];
    std::snprintf(Offset, sizeof Offset, " @0x%04llX", static_cast<unsigned long long>(Item.TableOffset));
    Name += Offset;
  }
  return Name;
}

const char *ReplayOutcomeName(ReplayOutcome Outcome) {
  switch (Outcome) {
    case ReplayOutcome::Written:
      return "written";
    case ReplayOutcome::Matched:
      return "matched";
    case ReplayOutcome::NeverMatched:
      return "never matched";
    case ReplayOutcome::Unreachable:
      return "unreachable";
    case ReplayOutcome::BadWidth:
      return "bad width";
  }
  return "?";
}

std::vector<ReplayItem> ScriptItems(const std::vector<ScriptEntry> &Script) {
  std::vector<ReplayItem> Items;
  Items.reserve(Script.size());
  for (size_t I = 0; I < Script.size(); I++) {
    Items.push_back({Script[I], ReplayOrigin::Script, I, 0});
  }
  return Items;
}

bool TableRecordEntry(const TableRecord &Record, ScriptEntry &Entry) {
  const std::vector<uint64_t> &Op = Record.Operands;
  switch (Record.OpCode) {
    case 3:
      Entry = {ScriptKind::MemWrite, Op[0], 0, Op[1], Op[2], 0, 0};
      return true;
    case 5:
      Entry = {ScriptKind::MemPoll, Op[0], 0, Op[1], Op[2], Op[3], Op[4]};
      return true;
    case 6:
      Entry = {ScriptKind::PciWrite, Op[0], Op[1], Op[2], Op[3], 0, 0};
      return true;
    case 8:
      Entry = {ScriptKind::PciPoll, Op[0], Op[1], Op[2], Op[3], Op[4], Op[5]};
      return true;
    default:
      return false;
  }
}

std::vector<ReplayItem> TableItems(const TableDecodeResult &Table, size_t *Skipped) {
  std::vector<ReplayItem> Items;
  size_t Other = 0;
  for (size_t I = 0; I < Table.Records.size(); I++) {
    ScriptEntry Entry;
    if (TableRecordEntry(Table.Records[I], Entry)) {
      Items.push_back({Entry, ReplayOrigin::Table, I, Table.Records[I].Offset});
    } else {
      Other++;
    }
  }
  if (Skipped != nullptr) {
    *Skipped = Other;
  }
  return Items;
}

void ReplayItems(Machine &M, const std::vector<ReplayItem> &Items, uint64_t WindowBase, unsigned PollLimit,
                 std::vector<ReplayStepResult> &Results) {
  Results.reserve(Results.size() + Items.size());
  for (const ReplayItem &Item : Items) {
    const ScriptEntry &E = Item.Entry;
    ReplayStepResult R;
    R.LogBegin = M.Log().size();
    const bool Pci = E.Kind == ScriptKind::PciWrite || E.Kind == ScriptKind::PciPoll;
    const bool Poll = E.Kind == ScriptKind::MemPoll || E.Kind == ScriptKind::PciPoll;
    const unsigned Bytes = BootScriptWidthBytes(E.Width);
    if (Pci && E.Segment != 0) {
      R.Outcome = ReplayOutcome::Unreachable;
    } else if (Bytes == 0 || (Poll && Bytes == 8)) {
      R.Outcome = ReplayOutcome::BadWidth;
    } else {
      R.PhysAddress = Pci ? BootScriptPciWindowAddress(WindowBase, E.Address) : E.Address;
      if (!Poll) {
        WriteWidth(M, R.PhysAddress, Bytes, E.Value);
        R.Outcome = ReplayOutcome::Written;
      } else {
        const uint64_t Want = E.Value & E.Mask;
        R.Outcome = ReplayOutcome::NeverMatched;
        while (R.Reads < PollLimit) {
          R.LastRead = M.PhysRead(R.PhysAddress, static_cast<uint8_t>(Bytes));
          R.Reads++;
          if ((R.LastRead & E.Mask) == Want) {
            R.Outcome = ReplayOutcome::Matched;
            break;
          }
        }
      }
    }
    R.LogEnd = M.Log().size();
    Results.push_back(R);
  }
}

std::vector<RegisterCheck> CompareRegisters(const Machine &M, const std::vector<ReplayStepResult> &Steps,
                                            const std::map<HubRegisterKey, uint32_t> &Boot,
                                            const std::map<HubRegisterKey, uint32_t> &Resume) {
  std::map<HubRegisterKey, long> LastWriter;
  const auto &Log = M.Log();
  for (size_t I = 0; I < Steps.size(); I++) {
    for (size_t At = Steps[I].LogBegin; At < Steps[I].LogEnd && At < Log.size(); At++) {
      if (Log[At].Kind == AccessKind::SysRegWrite) {
        LastWriter[Log[At].Address] = static_cast<long>(I);
      }
    }
  }
  std::vector<RegisterCheck> Checks;
  for (const auto &[Key, Value] : Boot) {
    RegisterCheck C;
    C.Key = Key;
    C.BootValue = Value;
    const auto After = Resume.find(Key);
    C.ResumeValue = After != Resume.end() ? After->second : 0;
    C.Restored = After != Resume.end() && After->second == Value;
    const auto Writer = LastWriter.find(Key);
    C.LastWriter = Writer != LastWriter.end() ? Writer->second : -1;
    Checks.push_back(C);
  }
  return Checks;
}

ReplayVerdict JudgeReplay(const std::vector<ReplayItem> &Items, const std::vector<ReplayStepResult> &Steps,
                          const std::vector<RegisterCheck> &Registers,
                          std::string (*RegisterName)(HubRegisterKey Key)) {
  ReplayVerdict V;
  for (size_t I = 0; I < Steps.size() && I < Items.size(); I++) {
    const ReplayStepResult &R = Steps[I];
    if (R.Outcome == ReplayOutcome::NeverMatched) {
      V.Good = false;
      V.Reasons.push_back(ItemName(Items[I]) + ": poll of " + Hex(R.PhysAddress) + " for " + Hex(Items[I].Entry.Value) +
                          " under mask " + Hex(Items[I].Entry.Mask) + " never matched; last read " + Hex(R.LastRead) +
                          " after " + std::to_string(R.Reads) + " reads");
    } else if (R.Outcome == ReplayOutcome::BadWidth) {
      V.Good = false;
      V.Reasons.push_back(ItemName(Items[I]) + ": boot-script width " + std::to_string(Items[I].Entry.Width) +
                          " cannot be replayed");
    }
  }
  for (const RegisterCheck &C : Registers) {
    if (C.Restored) {
      continue;
    }
    V.Good = false;
    std::string Cause = C.LastWriter >= 0 && static_cast<size_t>(C.LastWriter) < Items.size()
                            ? "last written by " + ItemName(Items[static_cast<size_t>(C.LastWriter)])
                            : "no resume entry writes it";
    V.Reasons.push_back(RegisterName(C.Key) + " is " + Hex(C.ResumeValue) + " after the replay, " + Hex(C.BootValue) +
                        " at ready-to-boot; " + Cause);
  }
  return V;
}

}  // namespace sim
