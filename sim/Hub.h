// The I/O hub as the driver reaches it: the PCI configuration window of
// segment 0, one hub per instance bus with its index/data pair and sparse
// system-register space, and the embedded Qelt controller behind the
// mailbox registers.
//
// The window is a device on the machine's physical bus at 0xE0000000
// (256 MiB, 256 buses). Every access it decodes is appended to the access
// log as a CfgRead/CfgWrite entry whose address is the PciAddress; a hub
// adds a SysRegRead/SysRegWrite entry after every data-register access,
// addressed by HubRegister(bus, register). Configuration space outside the
// hubs reads as all ones (no device) and drops writes.
//
// Tests set up and inspect the hubs through the back doors (Peek*, Poke*,
// SetPowerOn, the controller's settings and message history), which never
// log and never move the controller's state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/Machine.h"

namespace sim {

// Key of a hub system register: the bus in bits 39:32, the register in
// 31:0. It is the Address of the hub's SysRegRead/SysRegWrite log entries.
constexpr uint64_t HubRegister(uint8_t Bus, uint32_t Register) { return (uint64_t{Bus} << 32) | Register; }
constexpr uint8_t HubRegisterBus(uint64_t Key) { return static_cast<uint8_t>(Key >> 32); }
constexpr uint32_t HubRegisterAddress(uint64_t Key) { return static_cast<uint32_t>(Key); }
static_assert(HubRegister(0x20, 0x101311AC) == 0x20101311ACULL && HubRegisterBus(0x20101311ACULL) == 0x20);
// "bus 0x20 reg 0x101311AC".
std::string HubRegisterName(uint64_t Key);

// ---------------------------------------------------------------------------
// Qelt controller
// ---------------------------------------------------------------------------
inline constexpr size_t QeltWords = 6;
using QeltWordArray = std::array<uint32_t, QeltWords>;

// What the controller answers to one message: the status byte (bits 7:0 of
// the answer) and the six response words.
struct QeltReply {
  uint8_t Status = 1;
  QeltWordArray Words{};
};

// A message handler: deterministic in the message id and the arguments, so
// that a replayed message gets the same answer.
using QeltHandler = std::function<QeltReply(uint32_t MessageId, const QeltWordArray &Arguments)>;

// The built-in message table.
inline constexpr uint32_t QeltMsgEcho = 0x001;      // response = arguments
inline constexpr uint32_t QeltMsgVersion = 0x002;   // word 0 = QeltFirmwareVersion, word 1 = bus
inline constexpr uint32_t QeltMsgChecksum = 0x010;  // word 0 = sum, word 1 = xor of the arguments
inline constexpr uint32_t QeltMsgNonZero = 0x020;   // echo; argument 0 must be non-zero
inline constexpr uint32_t QeltFirmwareVersion = 0x00020001;
inline constexpr uint8_t QeltStatusOk = 1;
inline constexpr uint8_t QeltStatusBadArgument = 3;  // error id in word 0: QeltErrorBadArgument
inline constexpr uint8_t QeltStatusUnknown = 2;      // error id in word 0: QeltErrorUnknown | id
inline constexpr uint32_t QeltErrorBadArgument = 0xE0020000;
inline constexpr uint32_t QeltErrorUnknown = 0xE0010000;

// The answer the register shows: bit 31, the message id in bits 19:8, the
// status byte.
constexpr uint32_t QeltAnswerValue(uint32_t MessageId, uint8_t Status) {
  return 0x80000000U | ((MessageId & 0xFFF) << 8) | Status;
}
static_assert(QeltAnswerValue(0x1010, 1) == 0x80001001U);

class QeltController {
 public:
  // One message taken at the doorbell.
  struct Message {
    uint32_t MessageId;  // bits 19:8 of the command
    uint32_t Command;    // the message register as written
    QeltWordArray Arguments;
    uint32_t Answer;  // the message register once answered
    QeltWordArray Response;
  };

  QeltController(Machine &M, uint8_t Bus);

  // ---- Settings (fixed configuration; kept by Reset) -----------------------
  // Reads of the message register that show "not ready" after power-on.
  void SetNotReadyReads(unsigned Reads) {
    NotReadyAtPowerOn = Reads;
    NotReadyLeft = Reads;
  }
  // Reads of the message register that show "busy" after the doorbell.
  void SetBusyReads(unsigned Reads) { BusyReads = Reads; }
  // A silent controller takes messages but never answers; after Budget busy
  // reads inside a guarded run it stops the run ("controller never
  // answered"). Outside a run it simply stays busy. The same budget bounds
  // the ready wait: a message register whose ready bit stays clear (a
  // power-on value without it) stops the run after Budget reads in a row
  // ("controller never answered: ..., ready bit never set"); the not-ready
  // reads of SetNotReadyReads are counted down first and never stop it.
  void SetNeverAnswer(bool Never, unsigned Budget = 10000) {
    NeverAnswer = Never;
    NeverBudget = Budget;
  }
  // Replaces (or adds) the handler of one message id; an empty handler
  // restores the built-in one or the unknown-id answer.
  void SetHandler(uint32_t MessageId, QeltHandler Handler);
  // Handler of ids that have none (default: status QeltStatusUnknown).
  void SetUnknownHandler(QeltHandler Handler);

  // ---- Back doors -----------------------------------------------------------
  const std::vector<Message> &Messages() const { return History; }
  void ClearMessages() { History.clear(); }
  bool Busy() const { return State == Phase::Busy; }
  // The value the next read would show, without counting it.
  uint32_t PeekRegister(uint32_t Register) const;
  void PokeRegister(uint32_t Register, uint32_t Value);
  // The answer for a message, as the controller would give it.
  QeltReply Answer(uint32_t MessageId, const QeltWordArray &Arguments) const;

  static bool Owns(uint32_t Register);

  // ---- Access path (the hub's data register) -------------------------------
  uint32_t Read(uint32_t Register);
  void Write(uint32_t Register, uint32_t Value);
  // Power-on state: idle, registers cleared, not-ready count reloaded.
  void Reset();

  const std::vector<std::string> &Violations() const { return Problems; }

 private:
  enum class Phase : uint8_t { Idle, Busy, Answered };
  QeltReply Builtin(uint32_t MessageId, const QeltWordArray &Arguments) const;
  void Complete();

  Machine &Mach;
  uint8_t Bus;
  unsigned NotReadyAtPowerOn = 0;
  unsigned NotReadyLeft = 0;
  unsigned BusyReads = 2;
  unsigned BusyLeft = 0;
  bool NeverAnswer = false;
  unsigned NeverBudget = 10000;
  unsigned BusySeen = 0;
  unsigned UnreadySeen = 0;  // idle reads in a row without the ready bit
  std::map<uint32_t, QeltHandler> Handlers;
  QeltHandler Unknown;

  Phase State = Phase::Idle;
  bool CommandPending = false;
  uint32_t MessageReg = 0x80000000U;
  QeltWordArray Words{};
  uint32_t DoorbellReg = 0;
  std::string StopText;
  std::vector<Message> History;
  std::vector<std::string> Problems;
};

// ---------------------------------------------------------------------------
// Hub: configuration registers of device 0, function 0 on its bus, the
// index/data pair and the system-register space behind it.
// ---------------------------------------------------------------------------
class Hub {
 public:
  Hub(Machine &M, uint8_t Bus);
  Hub(const Hub &) = delete;
  Hub &operator=(const Hub &) = delete;

  uint8_t Bus() const { return BusNumber; }
  QeltController &Qelt() { return Controller; }
  const QeltController &Qelt() const { return Controller; }

  // ---- Back doors -----------------------------------------------------------
  // Power-on value of a system register (the lock registers, for one); also
  // sets the current value. Bit 0 of a lock register, once written set,
  // stays set until Reset.
  void SetPowerOn(uint32_t Register, uint32_t Value);
  uint32_t PeekSysReg(uint32_t Register) const;
  void PokeSysReg(uint32_t Register, uint32_t Value);
  uint32_t PeekIndex() const { return IndexReg; }
  void PokeIndex(uint32_t Value) { IndexReg = Value; }
  // Every system register that holds a value (mailbox included), by key.
  std::map<uint64_t, uint32_t> Registers() const;
  // Power-on state, as after an S3 resume: index 0, power-on values, the
  // controller idle. Settings are kept.
  void Reset();

  // ---- Access path: configuration register Register (0..0xFFF) ----------
  uint32_t CfgRead(uint32_t Register, uint8_t Width);
  void CfgWrite(uint32_t Register, uint8_t Width, uint32_t Value);

  std::vector<std::string> Violations() const;

 private:
  uint32_t SysRegRead();
  void SysRegWrite(uint32_t Value);

  Machine &Mach;
  uint8_t BusNumber;
  uint32_t IndexReg = 0;
  std::map<uint32_t, uint32_t> PowerOn;
  std::map<uint32_t, uint32_t> SysRegs;
  std::map<uint32_t, uint32_t> CfgSpace;  // other dwords of the function
  QeltController Controller;
};

// ---------------------------------------------------------------------------
// Configuration window of segment 0.
// ---------------------------------------------------------------------------
class ConfigWindow final : public PhysDevice {
 public:
  explicit ConfigWindow(Machine &M) : Mach(M) {}
  ~ConfigWindow() override;
  // Maps the window at ConfigWindowBase (unlogged: it logs CfgRead and
  // CfgWrite itself).
  void Install();
  // Decodes device 0, function 0 of H.Bus() to H. One hub per bus.
  void Attach(Hub &H);

  uint32_t Read(uint64_t Offset, uint8_t Width) override;
  void Write(uint64_t Offset, uint8_t Width, uint32_t Value) override;

  // Accesses the window refused: a width other than 1, 2, 4 or one that is
  // not naturally aligned.
  const std::vector<std::string> &Violations() const { return Problems; }

 private:
  Hub *Decode(uint64_t Offset) const;
  bool Check(uint64_t Offset, uint8_t Width, const char *What);

  Machine &Mach;
  bool Mapped = false;
  std::array<Hub *, 256> Hubs{};
  std::vector<std::string> Problems;
};

}  // namespace sim
