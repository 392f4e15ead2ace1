// The machine model: the processor and the physical bus as the driver sees
// them through its processor primitives.
//
// Every access the driver makes (ports, MSRs, CPUID, the simulator query,
// physical reads and writes) arrives here through the HOST_PROCESSOR_OPS
// table, in program order and at its exact width, and is appended to one
// ordered access log. Devices on the bus may add derived entries (a
// configuration-space or system-register access that a physical access
// caused). Tests set up and inspect the model through back doors (Set*,
// Peek/Poke, PortWrites) that never touch the log.
//
// Driver code is run under Run(), which stops it cleanly (longjmp back into
// Run) when it halts on an assertion, exceeds its watchdog budget or when a
// device gives up on it, so neither tests nor the program ever hang.
#pragma once

#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/HostProcessor.h"

namespace sim {

enum class AccessKind : uint8_t {
  PortRead,
  PortWrite,
  MsrRead,
  Cpuid,           // Address: leaf, Value: EAX returned
  SimulatorQuery,  // Address: the ECX value passed, Value: the answer (SI)
  PhysRead,
  PhysWrite,
  CfgRead,      // derived: configuration register (PciAddress encoding)
  CfgWrite,     // derived
  SysRegRead,   // derived: hub system register
  SysRegWrite,  // derived
};

// One access. Width is in bytes (8 for MSRs, 4 for CPUID, 2 for the query).
struct Access {
  AccessKind Kind;
  uint8_t Width;
  uint64_t Address;
  uint64_t Value;
  bool operator==(const Access &Other) const = default;
};

const char *KindName(AccessKind Kind);
// "PortWrite8 0x80 <- 0xB000A902" style one-line description.
std::string Describe(const Access &A);
std::ostream &operator<<(std::ostream &Os, const Access &A);
// gtest printer.
void PrintTo(const Access &A, std::ostream *Os);

// A device on the physical bus. Offsets are relative to the mapped base;
// Width is 1, 2 or 4 bytes. Values are little-endian in the low bits.
class PhysDevice {
 public:
  virtual ~PhysDevice() = default;
  virtual uint32_t Read(uint64_t Offset, uint8_t Width) = 0;
  virtual void Write(uint64_t Offset, uint8_t Width, uint32_t Value) = 0;
  // Plain memory may expose its bytes; the bus then accesses them directly
  // (no virtual call) on its fast path.
  virtual uint8_t *DirectBytes() { return nullptr; }
};

// Plain little-endian memory.
class RamDevice final : public PhysDevice {
 public:
  explicit RamDevice(size_t Size, uint8_t Fill = 0);
  uint32_t Read(uint64_t Offset, uint8_t Width) override;
  void Write(uint64_t Offset, uint8_t Width, uint32_t Value) override;
  uint8_t *DirectBytes() override { return Bytes.data(); }

  // Back doors: no log entry, no side effect. Width is 1, 2, 4 or 8 bytes.
  uint64_t Peek(uint64_t Offset, uint8_t Width = 1) const;
  void Poke(uint64_t Offset, uint64_t Value, uint8_t Width = 1);
  std::vector<uint8_t> &Data() { return Bytes; }
  const std::vector<uint8_t> &Data() const { return Bytes; }
  size_t Size() const { return Bytes.size(); }

 private:
  std::vector<uint8_t> Bytes;
};

enum class StopReason : uint8_t {
  None,
  AssertHalt,  // the driver halted on an assertion (hardware mode)
  Watchdog,    // access or virtual-time budget exhausted
  Device,      // a device model gave up (e.g. a controller that never answers)
};
const char *StopReasonName(StopReason Reason);

struct StopInfo {
  StopReason Reason = StopReason::None;
  uint32_t Code = 0;    // the assertion code for AssertHalt
  std::string Message;  // human-readable cause
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The table the driver image's processor primitives forward to; the
  // context to pass along with it is this machine.
  const HOST_PROCESSOR_OPS *Ops() const;

  // ---- Access log --------------------------------------------------------
  const std::vector<Access> &Log() const { return AccessLog; }
  void ClearLog() { AccessLog.clear(); }
  // Devices add derived entries (CfgRead/CfgWrite, SysRegRead/SysRegWrite).
  void Append(const Access &A) { AccessLog.push_back(A); }
  // The log entries of the given kinds, in order.
  std::vector<Access> LogOf(std::initializer_list<AccessKind> Kinds) const;

  // ---- I/O ports ---------------------------------------------------------
  // Reads are answered by the port's reader; without one, all ones of the
  // width. Port 0x3FD (serial line status) is scripted, see SetLineStatus.
  void SetPortReader(uint16_t Port, std::function<uint32_t(uint8_t Width)> Reader);
  // Called after a write has been logged and kept.
  void SetPortWriter(uint16_t Port, std::function<void(uint8_t Width, uint32_t Value)> Writer);
  // Values written to a port, in order (back door).
  std::vector<uint32_t> PortWrites(uint16_t Port) const;
  // Forgets the values written to every port (back door; long runs).
  void ClearPortWrites() { PortWritten.clear(); }
  // Line status at 0x3FD: Sequence is answered first, one value per read,
  // then Steady for ever. Default: no sequence, steady 0x60 (ready).
  void SetLineStatus(std::vector<uint8_t> Sequence, uint8_t Steady);

  // ---- MSRs, CPUID, simulator query -------------------------------------
  void SetMsr(uint32_t Index, uint64_t Value);  // unknown MSRs read 0
  uint64_t PeekMsr(uint32_t Index) const;
  void SetCpuid(uint32_t Leaf, uint32_t Eax, uint32_t Ebx = 0, uint32_t Ecx = 0, uint32_t Edx = 0);  // unknown: zeros
  // Non-zero (the default, 1) models a simulator; 0 models hardware.
  void SetSimulatorAnswer(uint16_t Answer) { SimulatorAnswer = Answer; }
  uint16_t GetSimulatorAnswer() const { return SimulatorAnswer; }
  bool HardwareMode() const { return SimulatorAnswer == 0; }

  // ---- Virtual time-stamp counter (counted, not logged) ------------------
  uint64_t Tsc() const { return TscNow; }
  void SetTsc(uint64_t Value) { TscNow = Value; }
  // A TscRead advances the counter by TscStep (default 100), a SpinPause by
  // PauseStep (default 25,000,000: a 2.5 s wait at 3.5 GHz takes 350 pauses).
  void SetTscStep(uint64_t Step) { TscStep = Step; }
  void SetPauseStep(uint64_t Step) { PauseStep = Step; }
  uint64_t TscReads() const { return TscReadCount; }
  uint64_t Pauses() const { return PauseCount; }

  // ---- Physical bus -------------------------------------------------------
  // Maps Device at [Base, Base + Size). Logged regions append each access to
  // the log. Regions must not overlap. The device must outlive the mapping.
  void Map(uint64_t Base, uint64_t Size, PhysDevice &Device, bool Logged);
  void Unmap(uint64_t Base);
  // Unmapped reads give all ones, unmapped writes are dropped; both logged.
  uint32_t PhysRead(uint64_t Address, uint8_t Width);
  void PhysWrite(uint64_t Address, uint8_t Width, uint32_t Value);
  // Back doors over the mapped devices that expose their bytes.
  uint64_t PeekPhys(uint64_t Address, uint8_t Width) const;
  void PokePhys(uint64_t Address, uint64_t Value, uint8_t Width);

  // ---- Stop control -------------------------------------------------------
  // Runs Fn under a guard. Returns true when Fn returned, false when the
  // machine stopped it (LastStop() tells why). Guards nest: a stop unwinds
  // to the innermost one. The access and time budgets count from the start
  // of each outermost Run. A stop skips the destructors of the frames it
  // unwinds: Fn should call driver code directly and keep its own objects
  // outside.
  bool Run(const std::function<void()> &Fn);
  bool Running() const { return !Guards.empty(); }
  // Stops the innermost guarded run. Message must be a C string (it is
  // copied before the unwind, so no temporary std::string is skipped).
  // Outside Run there is nothing to return to: the process aborts with the
  // message, which beats hanging in the driver's endless loop.
  [[noreturn]] void Stop(StopReason Reason, const char *Message, uint32_t Code = 0);
  const StopInfo &LastStop() const { return Last; }
  void ClearStop() { Last = StopInfo{}; }

  // Assertion-halt recognition, hardware mode only: 0xDEAD written (16-bit)
  // to port 0xE0, then the code (32-bit) to port 0x80, then the marquee
  // windows on port 0x80. After this many windows (default 6, one full
  // cycle) the run stops with AssertHalt and the code.
  void SetMarqueeWindowLimit(unsigned Windows) { MarqueeLimit = Windows; }
  // Watchdog budgets of one guarded run (defaults: 50,000,000 accesses and
  // 2^40 time-stamp ticks, about five minutes at 3.5 GHz).
  void SetAccessBudget(uint64_t Accesses) { AccessBudget = Accesses; }
  void SetTimeBudget(uint64_t Ticks) { TimeBudget = Ticks; }
  // Accesses made since the outermost Run began (or since construction).
  uint64_t AccessCount() const { return Accesses; }

  // ---- Access entry points (what the Ops table calls) ---------------------
  uint32_t PortRead(uint16_t Port, uint8_t Width);
  void PortWrite(uint16_t Port, uint8_t Width, uint32_t Value);
  uint64_t MsrRead(uint32_t Index);
  void Cpuid(uint32_t Leaf, uint32_t Subleaf, uint32_t Out[4]);
  uint16_t SimulatorQuery(uint32_t Ecx);
  uint64_t TscRead();
  void SpinPause();

 private:
  struct Region {
    uint64_t Base;
    uint64_t Size;
    PhysDevice *Device;
    uint8_t *Direct;  // the device's bytes, or null
    bool Logged;
  };
  const Region *FindRegion(uint64_t Address, uint8_t Width);
  void CountAccess();
  void WatchMarquee(uint16_t Port, uint8_t Width, uint32_t Value);

  std::vector<Access> AccessLog;

  std::map<uint16_t, std::function<uint32_t(uint8_t)>> PortReaders;
  std::map<uint16_t, std::function<void(uint8_t, uint32_t)>> PortWriters;
  std::map<uint16_t, std::vector<uint32_t>> PortWritten;
  std::vector<uint8_t> LineStatusSequence;
  size_t LineStatusNext = 0;
  uint8_t LineStatusSteady = 0x60;

  std::map<uint32_t, uint64_t> Msrs;
  std::map<uint32_t, std::array<uint32_t, 4>> CpuidLeaves;
  uint16_t SimulatorAnswer = 1;

  uint64_t TscNow = 0;
  uint64_t TscStep = 100;
  uint64_t PauseStep = 25000000;
  uint64_t TscReadCount = 0;
  uint64_t PauseCount = 0;

  std::vector<Region> Regions;  // sorted by base
  const Region *LastRegion = nullptr;

  // Stop control.
  std::vector<std::jmp_buf *> Guards;  // innermost last
  StopInfo Last;
  uint64_t Accesses = 0;
  uint64_t AccessBudget = 50000000;
  uint64_t TimeBudget = 1ULL << 40;
  uint64_t RunStartTsc = 0;

  // Marquee recognition state.
  enum class MarqueeState : uint8_t { Idle, Marked, Showing };
  MarqueeState Marquee = MarqueeState::Idle;
  uint32_t MarqueeCode = 0;
  uint64_t MarqueeRing = 0;
  unsigned MarqueeSeen = 0;  // windows shown so far
  unsigned MarqueeStep = 0;  // window index inside the cycle, 0..5
  unsigned MarqueeLimit = 6;
};

}  // namespace sim
