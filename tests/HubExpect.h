// Expected hardware accesses of the hub tests, written top to bottom as the
// datasheet sequence they describe. Each builder call adds the log entries
// of one step; the whole list is compared with the machine's log, so
// anything the list does not name is a failure.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "diag/DiagCodes.h"
#include "firmware/PirnTypes.h"
#include "sim/Hub.h"
#include "sim/Machine.h"
#include "sim/S3SaveState.h"

class AccessList {
 public:
  // One configuration-space access of Width bytes through the window.
  AccessList &CfgRead(uint32_t Address, uint32_t Value, uint8_t Width = 4) {
    return Add({sim::AccessKind::CfgRead, Width, Address, Value});
  }
  AccessList &CfgWrite(uint32_t Address, uint32_t Value, uint8_t Width = 4) {
    return Add({sim::AccessKind::CfgWrite, Width, Address, Value});
  }

  // The hub's note of the system register that a data-register access
  // reached.
  AccessList &SysRegRead(uint8_t Bus, uint32_t Register, uint32_t Value) {
    return Add({sim::AccessKind::SysRegRead, 4, sim::HubRegister(Bus, Register), Value});
  }
  AccessList &SysRegWrite(uint8_t Bus, uint32_t Register, uint32_t Value) {
    return Add({sim::AccessKind::SysRegWrite, 4, sim::HubRegister(Bus, Register), Value});
  }

  // A 32-bit system-register read through the pair of Bus: save the index,
  // select Register, read the data register, restore the index to Saved.
  AccessList &HubRead(uint8_t Bus, uint32_t Register, uint32_t Value, uint32_t Saved) {
    CfgRead(Index(Bus), Saved);
    CfgWrite(Index(Bus), Register);
    CfgRead(Index(Bus) + 4, Value);
    SysRegRead(Bus, Register, Value);
    return CfgWrite(Index(Bus), Saved);
  }
  // The same for a write of Value.
  AccessList &HubWrite(uint8_t Bus, uint32_t Register, uint32_t Value, uint32_t Saved) {
    CfgRead(Index(Bus), Saved);
    CfgWrite(Index(Bus), Register);
    CfgWrite(Index(Bus) + 4, Value);
    SysRegWrite(Bus, Register, Value);
    return CfgWrite(Index(Bus), Saved);
  }

  // A test point: its marked value on port 0x80, 32 bits wide.
  AccessList &TestPoint(uint32_t Code) { return Add({sim::AccessKind::PortWrite, 4, 0x80, TestPointValue(Code)}); }

  // An assertion site that fires under the simulator: the mark on port
  // 0xE0, the code on port 0x80, the query that lets the halt return.
  AccessList &Assertion(uint32_t Code) {
    Add({sim::AccessKind::PortWrite, 2, 0xE0, 0xDEAD});
    Add({sim::AccessKind::PortWrite, 4, 0x80, Code});
    return Add({sim::AccessKind::SimulatorQuery, 2, Code, 1});
  }

  const std::vector<sim::Access> &Get() const { return List; }

 private:
  static uint32_t Index(uint8_t Bus) { return PciAddress(0, Bus, 0, 0, HubIndexRegister); }
  AccessList &Add(const sim::Access &A) {
    List.push_back(A);
    return *this;
  }
  std::vector<sim::Access> List;
};

// A 32-bit memory-write entry of the resume script, as a resume-recorded
// configuration write through the window leaves it.
inline sim::ScriptEntry Write32(uint64_t Address, uint64_t Value) {
  sim::ScriptEntry E;
  E.Kind = sim::ScriptKind::MemWrite;
  E.Width = 2;
  E.Address = Address;
  E.Value = Value;
  return E;
}

// Compares the whole log with the list, naming the first difference.
inline void ExpectAccesses(const std::vector<sim::Access> &Log, const AccessList &Expected) {
  const auto &Want = Expected.Get();
  for (size_t I = 0; I < std::max(Log.size(), Want.size()); I++) {
    if (I >= Log.size()) {
      ADD_FAILURE() << "access #" << I << " missing: " << Want[I];
      return;
    }
    if (I >= Want.size()) {
      ADD_FAILURE() << "unexpected access #" << I << ": " << Log[I];
      return;
    }
    if (!(Log[I] == Want[I])) {
      ADD_FAILURE() << "access #" << I << ": got " << Log[I] << ", want " << Want[I];
      return;
    }
  }
}
