// Fixture for the diagnostics and start-up tests: the default platform with
// one loaded image, helpers to call single driver pieces under the machine's
// guard, and a compact notation for expected accesses.
#pragma once

#include <functional>
#include <vector>

#include "diag/Diag.h"
#include "tests/PlatformFixture.h"

namespace diagtest {

using sim::Access;
using sim::AccessKind;

// Expected accesses, widths in bytes.
inline Access PortIn(uint8_t Width, uint16_t Port, uint64_t Value) {
  return {AccessKind::PortRead, Width, Port, Value};
}
inline Access PortOut(uint8_t Width, uint16_t Port, uint64_t Value) {
  return {AccessKind::PortWrite, Width, Port, Value};
}
inline Access PhysIn(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {AccessKind::PhysRead, Width, Address, Value};
}
inline Access PhysOut(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {AccessKind::PhysWrite, Width, Address, Value};
}
// A configuration-register access decoded by the configuration window.
inline Access CfgOut(uint8_t Width, uint32_t PciAddress, uint64_t Value) {
  return {AccessKind::CfgWrite, Width, PciAddress, Value};
}
inline Access Msr(uint32_t Index, uint64_t Value) { return {AccessKind::MsrRead, 8, Index, Value}; }
inline Access Cpuid(uint32_t Leaf, uint32_t Eax) { return {AccessKind::Cpuid, 4, Leaf, Eax}; }
inline Access SimQuery(uint32_t Ecx, uint16_t Answer) { return {AccessKind::SimulatorQuery, 2, Ecx, Answer}; }

}  // namespace diagtest

class DiagFixture : public PlatformFixture {
 protected:
  // What start-up step 1 stores, so that one driver piece can be called on
  // its own.
  void AttachFirmware() {
    *PIRN_SYMBOL(Img(), mSystemTable) = Fw().SystemTable();
    *PIRN_SYMBOL(Img(), mBootServices) = Fw().BootServices();
  }

  // Runs driver code under the machine's guard and expects it to return.
  void RunDriver(const std::function<void()> &Fn) {
    const bool Returned = M().Run(Fn);
    ASSERT_TRUE(Returned) << M().LastStop().Message;
  }

  DIAG_CONFIG &Config() { return *PIRN_SYMBOL(Img(), DiagConfig); }

  // Every access the processor made, in order (entries that devices derive
  // from them left out).
  std::vector<sim::Access> ProcessorAccesses() const {
    using K = sim::AccessKind;
    return Accesses({K::PortRead, K::PortWrite, K::MsrRead, K::Cpuid, K::SimulatorQuery, K::PhysRead, K::PhysWrite});
  }
  // The same with the accesses the configuration window decodes (it is
  // mapped unlogged and logs each access as a configuration access).
  std::vector<sim::Access> WindowAndProcessorAccesses() const {
    using K = sim::AccessKind;
    return Accesses({K::PortRead, K::PortWrite, K::MsrRead, K::Cpuid, K::SimulatorQuery, K::PhysRead, K::PhysWrite,
                     K::CfgRead, K::CfgWrite});
  }
};
