// The machine model: ports, MSRs, CPUID, time-stamp counter, physical bus,
// the access log and stop control.
#include "sim/Machine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

UINT32 OpPortRead(VOID *Ctx, UINT16 Port, UINT8 Width) { return static_cast<Machine *>(Ctx)->PortRead(Port, Width); }
VOID OpPortWrite(VOID *Ctx, UINT16 Port, UINT8 Width, UINT32 Value) {
  static_cast<Machine *>(Ctx)->PortWrite(Port, Width, Value);
}
UINT64 OpMsrRead(VOID *Ctx, UINT32 Index) { return static_cast<Machine *>(Ctx)->MsrRead(Index); }
VOID OpCpuid(VOID *Ctx, UINT32 Leaf, UINT32 Subleaf, UINT32 Out[4]) {
  static_cast<Machine *>(Ctx)->Cpuid(Leaf, Subleaf, Out);
}
UINT16 OpSimulatorQuery(VOID *Ctx, UINT32 Ecx) { return static_cast<Machine *>(Ctx)->SimulatorQuery(Ecx); }
UINT64 OpTscRead(VOID *Ctx) { return static_cast<Machine *>(Ctx)->TscRead(); }
VOID OpSpinPause(VOID *Ctx) { static_cast<Machine *>(Ctx)->SpinPause(); }
UINT32 OpPhysRead(VOID *Ctx, UINT64 Address, UINT8 Width) {
  return static_cast<Machine *>(Ctx)->PhysRead(Address, Width);
}
VOID OpPhysWrite(VOID *Ctx, UINT64 Address, UINT8 Width, UINT32 Value) {
  static_cast<Machine *>(Ctx)->PhysWrite(Address, Width, Value);
}

const HOST_PROCESSOR_OPS kOps = {OpPortRead, OpPortWrite, OpMsrRead,  OpCpuid,    OpSimulatorQuery,
                                 OpTscRead,  OpSpinPause, OpPhysRead, OpPhysWrite};

constexpr uint32_t AllOnes(uint8_t Width) { return Width >= 4 ? 0xFFFFFFFFu : (1u << (8 * Width)) - 1; }

constexpr uint64_t RotateLeft(uint64_t V, unsigned Bits) { return (V << Bits) | (V >> (64 - Bits)); }

[[noreturn]] void Misuse(const char *What) {
  std::fprintf(stderr, "sim::Machine misuse: %s\n", What);
  std::abort();
}

}  // namespace

// ---------------------------------------------------------------------------
// Access descriptions
// ---------------------------------------------------------------------------
const char *KindName(AccessKind Kind) {
  switch (Kind) {
    case AccessKind::PortRead:
      return "PortRead";
    case AccessKind::PortWrite:
      return "PortWrite";
    case AccessKind::MsrRead:
      return "MsrRead";
    case AccessKind::Cpuid:
      return "Cpuid";
    case AccessKind::SimulatorQuery:
      return "SimulatorQuery";
    case AccessKind::PhysRead:
      return "PhysRead";
    case AccessKind::PhysWrite:
      return "PhysWrite";
    case AccessKind::CfgRead:
      return "CfgRead";
    case AccessKind::CfgWrite:
      return "CfgWrite";
    case AccessKind::SysRegRead:
      return "SysRegRead";
    case AccessKind::SysRegWrite:
      return "SysRegWrite";
  }
  return "?";
}

std::string Describe(const Access &A) {
  char Text[128];
  const bool Write = A.Kind == AccessKind::PortWrite || A.Kind == AccessKind::PhysWrite ||
                     A.Kind == AccessKind::CfgWrite || A.Kind == AccessKind::SysRegWrite;
  std::snprintf(Text, sizeof Text, "%s%u 0x%" PRIX64 " %s 0x%" PRIX64, KindName(A.Kind), 8u * A.Width, A.Address,
                Write ? "<-" : "->", A.Value);
  return Text;
}

std::ostream &operator<<(std::ostream &Os, const Access &A) { return Os << Describe(A); }
void PrintTo(const Access &A, std::ostream *Os) { *Os << Describe(A); }

const char *StopReasonName(StopReason Reason) {
  switch (Reason) {
    case StopReason::None:
      return "none";
    case StopReason::AssertHalt:
      return "assertion halt";
    case StopReason::Watchdog:
      return "watchdog";
    case StopReason::Device:
      return "device";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// RAM
// ---------------------------------------------------------------------------
RamDevice::RamDevice(size_t Size, uint8_t Fill) : Bytes(Size, Fill) {}

uint32_t RamDevice::Read(uint64_t Offset, uint8_t Width) { return static_cast<uint32_t>(Peek(Offset, Width)); }
void RamDevice::Write(uint64_t Offset, uint8_t Width, uint32_t Value) { Poke(Offset, Value, Width); }

uint64_t RamDevice::Peek(uint64_t Offset, uint8_t Width) const {
  if (Width > 8 || Offset > Bytes.size() || Bytes.size() - Offset < Width) {
    Misuse("RamDevice::Peek outside the device");
  }
  uint64_t Value = 0;
  std::memcpy(&Value, Bytes.data() + Offset, Width);
  return Value;
}

void RamDevice::Poke(uint64_t Offset, uint64_t Value, uint8_t Width) {
  if (Width > 8 || Offset > Bytes.size() || Bytes.size() - Offset < Width) {
    Misuse("RamDevice::Poke outside the device");
  }
  std::memcpy(Bytes.data() + Offset, &Value, Width);
}

// ---------------------------------------------------------------------------
// Machine
// ---------------------------------------------------------------------------
Machine::Machine() = default;
Machine::~Machine() = default;

const HOST_PROCESSOR_OPS *Machine::Ops() const { return &kOps; }

std::vector<Access> Machine::LogOf(std::initializer_list<AccessKind> Kinds) const {
  std::vector<Access> Out;
  for (const Access &A : AccessLog) {
    if (std::find(Kinds.begin(), Kinds.end(), A.Kind) != Kinds.end()) {
      Out.push_back(A);
    }
  }
  return Out;
}

void Machine::CountAccess() {
  ++Accesses;
  if (Accesses > AccessBudget && !Guards.empty()) {
    char Text[96];
    std::snprintf(Text, sizeof Text, "watchdog: more than %" PRIu64 " accesses in one run", AccessBudget);
    Stop(StopReason::Watchdog, Text);
  }
}

// ---- Ports -----------------------------------------------------------------
void Machine::SetPortReader(uint16_t Port, std::function<uint32_t(uint8_t)> Reader) {
  PortReaders[Port] = std::move(Reader);
}

void Machine::SetPortWriter(uint16_t Port, std::function<void(uint8_t, uint32_t)> Writer) {
  PortWriters[Port] = std::move(Writer);
}

std::vector<uint32_t> Machine::PortWrites(uint16_t Port) const {
  auto It = PortWritten.find(Port);
  return It == PortWritten.end() ? std::vector<uint32_t>{} : It->second;
}

void Machine::SetLineStatus(std::vector<uint8_t> Sequence, uint8_t Steady) {
  LineStatusSequence = std::move(Sequence);
  LineStatusNext = 0;
  LineStatusSteady = Steady;
}

uint32_t Machine::PortRead(uint16_t Port, uint8_t Width) {
  CountAccess();
  uint32_t Value;
  auto It = PortReaders.find(Port);
  if (It != PortReaders.end()) {
    Value = It->second(Width);
  } else if (Port == 0x3FD) {
    Value = LineStatusNext < LineStatusSequence.size() ? LineStatusSequence[LineStatusNext++] : LineStatusSteady;
  } else {
    Value = 0xFFFFFFFFu;
  }
  Value &= AllOnes(Width);
  AccessLog.push_back({AccessKind::PortRead, Width, Port, Value});
  return Value;
}

void Machine::PortWrite(uint16_t Port, uint8_t Width, uint32_t Value) {
  CountAccess();
  Value &= AllOnes(Width);
  AccessLog.push_back({AccessKind::PortWrite, Width, Port, Value});
  PortWritten[Port].push_back(Value);
  auto It = PortWriters.find(Port);
  if (It != PortWriters.end()) {
    It->second(Width, Value);
  }
  WatchMarquee(Port, Width, Value);
}

// Recognises the assertion halt of hardware mode: 0xDEAD to port 0xE0, the
// code to port 0x80, then the windows of the 64-bit ring 0xDEAD:code:0000
// rotated left by 8 bits each (and 16 more after the sixth).
void Machine::WatchMarquee(uint16_t Port, uint8_t Width, uint32_t Value) {
  if (Port == 0xE0) {
    Marquee = (Width == 2 && Value == 0xDEAD) ? MarqueeState::Marked : MarqueeState::Idle;
    return;
  }
  if (Port != 0x80 || Marquee == MarqueeState::Idle) {
    return;
  }
  if (Width != 4) {
    Marquee = MarqueeState::Idle;
    return;
  }
  if (Marquee == MarqueeState::Marked) {
    if (!HardwareMode()) {
      Marquee = MarqueeState::Idle;
      return;
    }
    Marquee = MarqueeState::Showing;
    MarqueeCode = Value;
    MarqueeRing = (0xDEADULL << 48) | (static_cast<uint64_t>(Value) << 16);
    MarqueeSeen = 0;
    MarqueeStep = 0;
  } else {
    const uint64_t Next = RotateLeft(MarqueeRing, 8);
    if (Value != static_cast<uint32_t>(Next)) {
      Marquee = MarqueeState::Idle;  // not the marquee after all
      return;
    }
    MarqueeRing = Next;
    ++MarqueeSeen;
    if (++MarqueeStep == 6) {
      MarqueeRing = RotateLeft(MarqueeRing, 16);
      MarqueeStep = 0;
    }
  }
  if (MarqueeSeen >= MarqueeLimit) {
    char Text[64];
    std::snprintf(Text, sizeof Text, "assertion halt 0x%08" PRIX32 " (marquee on port 0x80)", MarqueeCode);
    Stop(StopReason::AssertHalt, Text, MarqueeCode);
  }
}

// ---- MSRs, CPUID, simulator query -----------------------------------------
void Machine::SetMsr(uint32_t Index, uint64_t Value) { Msrs[Index] = Value; }

uint64_t Machine::PeekMsr(uint32_t Index) const {
  auto It = Msrs.find(Index);
  return It == Msrs.end() ? 0 : It->second;
}

uint64_t Machine::MsrRead(uint32_t Index) {
  CountAccess();
  const uint64_t Value = PeekMsr(Index);
  AccessLog.push_back({AccessKind::MsrRead, 8, Index, Value});
  return Value;
}

void Machine::SetCpuid(uint32_t Leaf, uint32_t Eax, uint32_t Ebx, uint32_t Ecx, uint32_t Edx) {
  CpuidLeaves[Leaf] = {Eax, Ebx, Ecx, Edx};
}

void Machine::Cpuid(uint32_t Leaf, uint32_t Subleaf, uint32_t Out[4]) {
  (void)Subleaf;
  CountAccess();
  auto It = CpuidLeaves.find(Leaf);
  for (int I = 0; I < 4; I++) {
    Out[I] = It == CpuidLeaves.end() ? 0 : It->second[I];
  }
  AccessLog.push_back({AccessKind::Cpuid, 4, Leaf, Out[0]});
}

uint16_t Machine::SimulatorQuery(uint32_t Ecx) {
  CountAccess();
  AccessLog.push_back({AccessKind::SimulatorQuery, 2, Ecx, SimulatorAnswer});
  return SimulatorAnswer;
}

// ---- Time ------------------------------------------------------------------
uint64_t Machine::TscRead() {
  TscNow += TscStep;
  ++TscReadCount;
  if (!Guards.empty() && TscNow - RunStartTsc > TimeBudget) {
    Stop(StopReason::Watchdog, "watchdog: virtual time budget of the run exhausted");
  }
  return TscNow;
}

void Machine::SpinPause() {
  TscNow += PauseStep;
  ++PauseCount;
  if (!Guards.empty() && TscNow - RunStartTsc > TimeBudget) {
    Stop(StopReason::Watchdog, "watchdog: virtual time budget of the run exhausted");
  }
}

// ---- Physical bus ------------------------------------------------------------
void Machine::Map(uint64_t Base, uint64_t Size, PhysDevice &Device, bool Logged) {
  if (Size == 0 || Base + Size < Base) {
    Misuse("Map: empty or wrapping region");
  }
  for (const Region &R : Regions) {
    if (Base < R.Base + R.Size && R.Base < Base + Size) {
      Misuse("Map: region overlaps an existing one");
    }
  }
  Regions.push_back({Base, Size, &Device, Device.DirectBytes(), Logged});
  std::sort(Regions.begin(), Regions.end(), [](const Region &A, const Region &B) { return A.Base < B.Base; });
  LastRegion = nullptr;
}

void Machine::Unmap(uint64_t Base) {
  std::erase_if(Regions, [Base](const Region &R) { return R.Base == Base; });
  LastRegion = nullptr;
}

const Machine::Region *Machine::FindRegion(uint64_t Address, uint8_t Width) {
  // Regions are few; a linear search behind the one-entry cache is enough.
  for (const Region &R : Regions) {
    if (Address >= R.Base && Address - R.Base <= R.Size - Width) {
      LastRegion = &R;
      return &R;
    }
  }
  return nullptr;
}

uint32_t Machine::PhysRead(uint64_t Address, uint8_t Width) {
  const Region *R = LastRegion;
  if (R == nullptr || Address < R->Base || Address - R->Base > R->Size - Width) {
    R = FindRegion(Address, Width);
  }
  CountAccess();
  if (R == nullptr) {
    AccessLog.push_back({AccessKind::PhysRead, Width, Address, AllOnes(Width)});
    return AllOnes(Width);
  }
  const uint64_t Offset = Address - R->Base;
  if (R->Direct != nullptr && !R->Logged) {
    uint32_t Value = 0;
    std::memcpy(&Value, R->Direct + Offset, Width);
    return Value;
  }
  // Log first, so entries a device derives from this access follow it.
  size_t Slot = 0;
  if (R->Logged) {
    Slot = AccessLog.size();
    AccessLog.push_back({AccessKind::PhysRead, Width, Address, 0});
  }
  uint32_t Value;
  if (R->Direct != nullptr) {
    Value = 0;
    std::memcpy(&Value, R->Direct + Offset, Width);
  } else {
    Value = R->Device->Read(Offset, Width) & AllOnes(Width);
  }
  if (R->Logged) {
    AccessLog[Slot].Value = Value;
  }
  return Value;
}

void Machine::PhysWrite(uint64_t Address, uint8_t Width, uint32_t Value) {
  const Region *R = LastRegion;
  if (R == nullptr || Address < R->Base || Address - R->Base > R->Size - Width) {
    R = FindRegion(Address, Width);
  }
  CountAccess();
  Value &= AllOnes(Width);
  if (R == nullptr || R->Logged) {
    AccessLog.push_back({AccessKind::PhysWrite, Width, Address, Value});
  }
  if (R == nullptr) {
    return;
  }
  const uint64_t Offset = Address - R->Base;
  if (R->Direct != nullptr) {
    std::memcpy(R->Direct + Offset, &Value, Width);
  } else {
    R->Device->Write(Offset, Width, Value);
  }
}

uint64_t Machine::PeekPhys(uint64_t Address, uint8_t Width) const {
  for (const Region &R : Regions) {
    if (Address >= R.Base && Address - R.Base <= R.Size - Width) {
      if (R.Direct == nullptr) {
        Misuse("PeekPhys: the device there has no back door; peek the device itself");
      }
      uint64_t Value = 0;
      std::memcpy(&Value, R.Direct + (Address - R.Base), Width);
      return Value;
    }
  }
  return Width >= 8 ? ~0ULL : (1ULL << (8 * Width)) - 1;
}

void Machine::PokePhys(uint64_t Address, uint64_t Value, uint8_t Width) {
  for (const Region &R : Regions) {
    if (Address >= R.Base && Address - R.Base <= R.Size - Width) {
      if (R.Direct == nullptr) {
        Misuse("PokePhys: the device there has no back door; poke the device itself");
      }
      std::memcpy(R.Direct + (Address - R.Base), &Value, Width);
      return;
    }
  }
  Misuse("PokePhys: nothing mapped there");
}

// ---- Stop control ------------------------------------------------------------
bool Machine::Run(const std::function<void()> &Fn) {
  std::jmp_buf Guard;
  if (Guards.empty()) {
    Accesses = 0;
    RunStartTsc = TscNow;
    Last = StopInfo{};
    Marquee = MarqueeState::Idle;
  }
  Guards.push_back(&Guard);
  if (setjmp(Guard) == 0) {
    try {
      Fn();
    } catch (...) {
      Guards.pop_back();
      throw;
    }
    Guards.pop_back();
    return true;
  }
  // Stop() has popped this guard already.
  return false;
}

void Machine::Stop(StopReason Reason, const char *Message, uint32_t Code) {
  Last.Reason = Reason;
  Last.Code = Code;
  Last.Message = Message;
  Marquee = MarqueeState::Idle;
  if (Guards.empty()) {
    std::fprintf(stderr, "sim::Machine stopped outside Machine::Run (%s): %s\n", StopReasonName(Reason), Message);
    std::abort();
  }
  std::jmp_buf *Guard = Guards.back();
  Guards.pop_back();
  std::longjmp(*Guard, 1);
}

}  // namespace sim
