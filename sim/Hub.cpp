// The configuration window, the hubs and the Qelt controller.
#include "sim/Hub.h"

#include <cinttypes>
#include <cstdio>

#include "driver/Driver.h"

namespace sim {

namespace {

std::string Format(const char *Fmt, uint64_t A, uint64_t B = 0, uint64_t C = 0) {
  char Text[160];
  std::snprintf(Text, sizeof Text, Fmt, A, B, C);
  return Text;
}

// Merges Width bytes of Value into the dword Old at byte Lane.
uint32_t Merge(uint32_t Old, unsigned Lane, uint8_t Width, uint32_t Value) {
  const uint32_t Mask = Width == 4 ? 0xFFFFFFFFU : ((1U << (8 * Width)) - 1);
  return (Old & ~(Mask << (8 * Lane))) | ((Value & Mask) << (8 * Lane));
}

uint32_t Extract(uint32_t Dword, unsigned Lane, uint8_t Width) {
  const uint32_t Mask = Width == 4 ? 0xFFFFFFFFU : ((1U << (8 * Width)) - 1);
  return (Dword >> (8 * Lane)) & Mask;
}

bool IsLockRegister(uint32_t Register) {
  for (uint32_t Lock : HwInitLockRegs) {
    if (Lock == Register) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string HubRegisterName(uint64_t Key) {
  return Format("bus 0x%02" PRIX64 " reg 0x%08" PRIX64, HubRegisterBus(Key), HubRegisterAddress(Key));
}

// ---------------------------------------------------------------------------
// Qelt controller
// ---------------------------------------------------------------------------
QeltController::QeltController(Machine &M, uint8_t Bus) : Mach(M), Bus(Bus) {}

bool QeltController::Owns(uint32_t Register) {
  return Register == QeltMessageReg || Register == QeltDoorbellReg ||
         (Register >= QeltArgReg && Register < QeltArgReg + 4 * QeltWords && (Register - QeltArgReg) % 4 == 0);
}

void QeltController::SetHandler(uint32_t MessageId, QeltHandler Handler) {
  if (Handler) {
    Handlers[MessageId] = std::move(Handler);
  } else {
    Handlers.erase(MessageId);
  }
}

void QeltController::SetUnknownHandler(QeltHandler Handler) { Unknown = std::move(Handler); }

QeltReply QeltController::Builtin(uint32_t MessageId, const QeltWordArray &Arguments) const {
  QeltReply Reply;
  switch (MessageId) {
    case QeltMsgEcho:
      Reply.Words = Arguments;
      return Reply;
    case QeltMsgVersion:
      Reply.Words[0] = QeltFirmwareVersion;
      Reply.Words[1] = Bus;
      return Reply;
    case QeltMsgChecksum:
      for (uint32_t Word : Arguments) {
        Reply.Words[0] += Word;
        Reply.Words[1] ^= Word;
      }
      return Reply;
    case QeltMsgNonZero:
      if (Arguments[0] == 0) {
        Reply.Status = QeltStatusBadArgument;
        Reply.Words[0] = QeltErrorBadArgument;
        return Reply;
      }
      Reply.Words = Arguments;
      return Reply;
    default:
      if (Unknown) {
        return Unknown(MessageId, Arguments);
      }
      Reply.Status = QeltStatusUnknown;
      Reply.Words[0] = QeltErrorUnknown | MessageId;
      return Reply;
  }
}

QeltReply QeltController::Answer(uint32_t MessageId, const QeltWordArray &Arguments) const {
  const auto Found = Handlers.find(MessageId);
  return Found != Handlers.end() ? Found->second(MessageId, Arguments) : Builtin(MessageId, Arguments);
}

uint32_t QeltController::PeekRegister(uint32_t Register) const {
  if (Register == QeltMessageReg) {
    if (State == Phase::Idle && NotReadyLeft > 0) {
      return MessageReg & ~QeltReadyBit;
    }
    return MessageReg;
  }
  if (Register == QeltDoorbellReg) {
    return DoorbellReg;
  }
  return Words[(Register - QeltArgReg) / 4];
}

void QeltController::PokeRegister(uint32_t Register, uint32_t Value) {
  if (Register == QeltMessageReg) {
    MessageReg = Value;
  } else if (Register == QeltDoorbellReg) {
    DoorbellReg = Value;
  } else {
    Words[(Register - QeltArgReg) / 4] = Value;
  }
}

void QeltController::Complete() {
  Message &Last = History.back();
  const QeltReply Reply = Answer(Last.MessageId, Last.Arguments);
  Words = Reply.Words;
  MessageReg = QeltAnswerValue(Last.MessageId, Reply.Status);
  Last.Answer = MessageReg;
  Last.Response = Reply.Words;
  State = Phase::Answered;
}

uint32_t QeltController::Read(uint32_t Register) {
  if (Register != QeltMessageReg) {
    return PeekRegister(Register);
  }
  switch (State) {
    case Phase::Idle:
      if (NotReadyLeft > 0) {
        NotReadyLeft--;
        return MessageReg & ~QeltReadyBit;
      }
      if ((MessageReg & QeltReadyBit) == 0 && ++UnreadySeen >= NeverBudget && Mach.Running()) {
        StopText = Format("controller never answered: bus 0x%02" PRIX64
                          ", ready bit never set (message register 0x%08" PRIX64 ")",
                          Bus, MessageReg);
        Mach.Stop(StopReason::Device, StopText.c_str());
      }
      return MessageReg;
    case Phase::Busy:
      if (NeverAnswer) {
        if (++BusySeen >= NeverBudget && Mach.Running()) {
          StopText = Format("controller never answered: bus 0x%02" PRIX64 ", message 0x%" PRIX64, Bus,
                            History.back().MessageId);
          Mach.Stop(StopReason::Device, StopText.c_str());
        }
        return MessageReg;
      }
      if (BusyLeft > 0) {
        BusyLeft--;
        return MessageReg;
      }
      Complete();
      return MessageReg;
    case Phase::Answered:
      return MessageReg;
  }
  return MessageReg;
}

void QeltController::Write(uint32_t Register, uint32_t Value) {
  // Writes while busy are taken as they come: the resume replay sends its
  // messages without the ready wait.
  UnreadySeen = 0;
  if (Register == QeltMessageReg) {
    // The command; bit 31 reads clear until the answer.
    MessageReg = Value & ~QeltReadyBit;
    CommandPending = true;
    if (State == Phase::Answered) {
      State = Phase::Idle;
    }
    return;
  }
  if (Register != QeltDoorbellReg) {
    Words[(Register - QeltArgReg) / 4] = Value;
    return;
  }
  DoorbellReg = Value;
  if (!CommandPending) {
    Problems.push_back(Format("bus 0x%02" PRIX64 ": doorbell rung without a command", Bus));
  }
  CommandPending = false;
  History.push_back(Message{(MessageReg >> 8) & 0xFFF, MessageReg, Words, 0, {}});
  State = Phase::Busy;
  BusyLeft = BusyReads;
  BusySeen = 0;
}

void QeltController::Reset() {
  State = Phase::Idle;
  CommandPending = false;
  MessageReg = 0x80000000U;
  Words = {};
  DoorbellReg = 0;
  NotReadyLeft = NotReadyAtPowerOn;
  BusyLeft = 0;
  BusySeen = 0;
  UnreadySeen = 0;
}

// ---------------------------------------------------------------------------
// Hub
// ---------------------------------------------------------------------------
Hub::Hub(Machine &M, uint8_t Bus) : Mach(M), BusNumber(Bus), Controller(M, Bus) {}

void Hub::SetPowerOn(uint32_t Register, uint32_t Value) {
  PowerOn[Register] = Value;
  PokeSysReg(Register, Value);
}

uint32_t Hub::PeekSysReg(uint32_t Register) const {
  if (QeltController::Owns(Register)) {
    return Controller.PeekRegister(Register);
  }
  const auto Found = SysRegs.find(Register);
  return Found != SysRegs.end() ? Found->second : 0;
}

void Hub::PokeSysReg(uint32_t Register, uint32_t Value) {
  if (QeltController::Owns(Register)) {
    Controller.PokeRegister(Register, Value);
  } else {
    SysRegs[Register] = Value;
  }
}

std::map<uint64_t, uint32_t> Hub::Registers() const {
  std::map<uint64_t, uint32_t> All;
  for (const auto &[Register, Value] : SysRegs) {
    All[HubRegister(BusNumber, Register)] = Value;
  }
  All[HubRegister(BusNumber, QeltMessageReg)] = Controller.PeekRegister(QeltMessageReg);
  All[HubRegister(BusNumber, QeltDoorbellReg)] = Controller.PeekRegister(QeltDoorbellReg);
  for (uint32_t Word = 0; Word < QeltWords; Word++) {
    All[HubRegister(BusNumber, QeltArgReg + 4 * Word)] = Controller.PeekRegister(QeltArgReg + 4 * Word);
  }
  return All;
}

void Hub::Reset() {
  IndexReg = 0;
  SysRegs = PowerOn;
  CfgSpace.clear();
  Controller.Reset();
}

uint32_t Hub::SysRegRead() { return QeltController::Owns(IndexReg) ? Controller.Read(IndexReg) : PeekSysReg(IndexReg); }

void Hub::SysRegWrite(uint32_t Value) {
  Mach.Append(Access{AccessKind::SysRegWrite, 4, HubRegister(BusNumber, IndexReg), Value});
  if (QeltController::Owns(IndexReg)) {
    Controller.Write(IndexReg, Value);
    return;
  }
  // The hardware-init lock bit stays set until the next power-on.
  if (IsLockRegister(IndexReg)) {
    Value |= PeekSysReg(IndexReg) & 1;
  }
  SysRegs[IndexReg] = Value;
}

uint32_t Hub::CfgRead(uint32_t Register, uint8_t Width) {
  const uint32_t Dword = Register & ~3U;
  const unsigned Lane = Register & 3;
  const uint64_t Address = PciAddress(0, BusNumber, 0, 0, Register);
  if (Dword == HubIndexRegister) {
    const uint32_t Value = Extract(IndexReg, Lane, Width);
    Mach.Append(Access{AccessKind::CfgRead, Width, Address, Value});
    return Value;
  }
  if (Dword == HubDataRegister) {
    // The data access is logged first, then the system register it reached.
    const uint32_t Full = SysRegRead();
    const uint32_t Value = Extract(Full, Lane, Width);
    Mach.Append(Access{AccessKind::CfgRead, Width, Address, Value});
    Mach.Append(Access{AccessKind::SysRegRead, 4, HubRegister(BusNumber, IndexReg), Full});
    return Value;
  }
  const auto Found = CfgSpace.find(Dword);
  const uint32_t Value = Extract(Found != CfgSpace.end() ? Found->second : 0, Lane, Width);
  Mach.Append(Access{AccessKind::CfgRead, Width, Address, Value});
  return Value;
}

void Hub::CfgWrite(uint32_t Register, uint8_t Width, uint32_t Value) {
  const uint32_t Dword = Register & ~3U;
  const unsigned Lane = Register & 3;
  Mach.Append(Access{AccessKind::CfgWrite, Width, PciAddress(0, BusNumber, 0, 0, Register), Value});
  if (Dword == HubIndexRegister) {
    IndexReg = Merge(IndexReg, Lane, Width, Value);
  } else if (Dword == HubDataRegister) {
    SysRegWrite(Width == 4 ? Value : Merge(PeekSysReg(IndexReg), Lane, Width, Value));
  } else {
    CfgSpace[Dword] = Merge(CfgSpace[Dword], Lane, Width, Value);
  }
}

std::vector<std::string> Hub::Violations() const { return Controller.Violations(); }

// ---------------------------------------------------------------------------
// Configuration window
// ---------------------------------------------------------------------------
ConfigWindow::~ConfigWindow() {
  if (Mapped) {
    Mach.Unmap(ConfigWindowBase);
  }
}

void ConfigWindow::Install() {
  if (!Mapped) {
    Mach.Map(ConfigWindowBase, ConfigWindowLimit, *this, false);
    Mapped = true;
  }
}

void ConfigWindow::Attach(Hub &H) {
  if (Hubs[H.Bus()] != nullptr && Hubs[H.Bus()] != &H) {
    Problems.push_back(Format("two hubs attached on bus 0x%02" PRIX64, H.Bus()));
  }
  Hubs[H.Bus()] = &H;
}

Hub *ConfigWindow::Decode(uint64_t Offset) const {
  const uint32_t Address = static_cast<uint32_t>(Offset);
  if (PciAddressDevice(Address) != 0 || PciAddressFunction(Address) != 0) {
    return nullptr;
  }
  return Hubs[PciAddressBus(Address)];
}

bool ConfigWindow::Check(uint64_t Offset, uint8_t Width, const char *What) {
  if ((Width == 1 || Width == 2 || Width == 4) && Offset % Width == 0) {
    return true;
  }
  Problems.push_back(std::string("configuration ") + What +
                     Format(" of %" PRIu64 " bytes at 0x%08" PRIX64 " refused", Width, Offset));
  return false;
}

uint32_t ConfigWindow::Read(uint64_t Offset, uint8_t Width) {
  if (!Check(Offset, Width, "read")) {
    return 0xFFFFFFFFU;
  }
  if (Hub *H = Decode(Offset)) {
    return H->CfgRead(PciAddressRegister(static_cast<uint32_t>(Offset)), Width);
  }
  // No device: all ones of the width.
  const uint32_t Value = Width == 4 ? 0xFFFFFFFFU : ((1U << (8 * Width)) - 1);
  Mach.Append(Access{AccessKind::CfgRead, Width, Offset, Value});
  return Value;
}

void ConfigWindow::Write(uint64_t Offset, uint8_t Width, uint32_t Value) {
  if (!Check(Offset, Width, "write")) {
    return;
  }
  if (Hub *H = Decode(Offset)) {
    H->CfgWrite(PciAddressRegister(static_cast<uint32_t>(Offset)), Width, Value);
    return;
  }
  Mach.Append(Access{AccessKind::CfgWrite, Width, Offset, Value});
}

}  // namespace sim
