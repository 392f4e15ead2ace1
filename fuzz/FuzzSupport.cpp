// Shared pieces of the fuzz harnesses.
#include "fuzz/FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fuzz {

namespace {
std::unique_ptr<sim::Platform> ProcessPlatform;
}  // namespace

void Fail(const char *What) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", What);
  std::abort();
}

sim::Platform &BootedPlatform(const sim::PlatformOptions &Options,
                              const std::function<void(sim::Platform &)> &Prepare) {
  if (!ProcessPlatform) {
    ProcessPlatform = sim::MakeDefaultPlatform(Options);
    if (Prepare) {
      Prepare(*ProcessPlatform);
    }
    ProcessPlatform->machine.ClearStop();
    ProcessPlatform->StartDriver(0);
    if (ProcessPlatform->machine.LastStop().Reason != sim::StopReason::None) {
      std::fprintf(stderr, "start-up stopped: %s\n", ProcessPlatform->machine.LastStop().Message.c_str());
      std::abort();
    }
    ProcessPlatform->ClearRecords();
  }
  return *ProcessPlatform;
}

void MustRun(sim::Platform &P, const std::function<void()> &Fn) {
  if (!P.Run(Fn)) {
    std::fprintf(stderr, "machine stop: %s\n", P.machine.LastStop().Message.c_str());
    Fail("driver code was stopped by the machine");
  }
}

void CheckNoViolations(const sim::Platform &P) {
  const auto Violations = P.Violations();
  if (!Violations.empty()) {
    std::fprintf(stderr, "model violation: %s\n", Violations.front().c_str());
    Fail("a model piece saw a violation");
  }
}

PaddedHobBytes::PaddedHobBytes(std::span<const uint8_t> Bytes)
    : Storage(Bytes.size() + Padding, 0xFF), Input(Bytes.size()) {
  std::copy(Bytes.begin(), Bytes.end(), Storage.begin());
}

bool PaddedHobBytes::InInput(const void *Address, size_t Size) const {
  const auto *Byte = static_cast<const uint8_t *>(Address);
  return Byte >= Storage.data() && Size <= Input && Byte - Storage.data() <= static_cast<std::ptrdiff_t>(Input - Size);
}

uint16_t Le16(std::span<const uint8_t> Bytes, size_t Offset) { return static_cast<uint16_t>(Le32(Bytes, Offset)); }

uint32_t Le32(std::span<const uint8_t> Bytes, size_t Offset) {
  uint32_t Value = 0;
  for (size_t I = 0; I < 4; I++) {
    if (Offset + I < Bytes.size()) {
      Value |= static_cast<uint32_t>(Bytes[Offset + I]) << (8 * I);
    }
  }
  return Value;
}

uint64_t Le64(std::span<const uint8_t> Bytes, size_t Offset) {
  return Le32(Bytes, Offset) | (static_cast<uint64_t>(Le32(Bytes, Offset + 4)) << 32);
}

uint64_t Reader::Take(size_t Size) {
  uint64_t Value = 0;
  for (size_t I = 0; I < Size; I++, Position++) {
    if (Position < Bytes.size()) {
      Value |= static_cast<uint64_t>(Bytes[Position]) << (8 * I);
    }
  }
  if (Position > Bytes.size()) {
    Position = Bytes.size();
  }
  return Value;
}

}  // namespace fuzz
