// Shared pieces of the fuzz harnesses.
//
// Every harness that reaches driver code boots the default platform once per
// process (one driver image, loaded and started through its real image
// entry) and then feeds each input to the driver's own functions through the
// model. Loading a fresh image per input would cost a copy and a dlopen each
// time, and every copy would register its coverage counters anew. Between
// inputs only model-side records are cleared (Platform::ClearRecords); what
// the driver caches is left to its own entry points, as each harness
// explains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/Platform.h"

namespace fuzz {

// A finding: prints What (and the input's size) and aborts, so libFuzzer
// saves the input.
[[noreturn]] void Fail(const char *What);
inline void Check(bool Condition, const char *What) {
  if (!Condition) {
    Fail(What);
  }
}

// The platform of this process, built by MakeDefaultPlatform(Options). Prepare
// runs before the image is started (remove the HOB list, change PCDs, ...).
// The image must start without a machine stop. Later calls return the same
// platform whatever they pass.
sim::Platform &BootedPlatform(const sim::PlatformOptions &Options,
                              const std::function<void(sim::Platform &)> &Prepare = {});

// Runs Fn under the machine's guard; any stop is a finding.
void MustRun(sim::Platform &P, const std::function<void()> &Fn);

// No model piece saw a violation (a boot service misused, a mailbox register
// written while busy, a configuration access of a bad width, ...).
void CheckNoViolations(const sim::Platform &P);

// Input bytes followed by 64 KiB + 8 bytes of 0xFF, in storage of exactly
// that size. Read as HOBs, every byte of the padding starts an end-of-list
// HOB (type 0xFFFF), and no 16-bit HOB length can step from inside the input
// past the padding: a walk that trusts the list to end stops there, while a
// read beyond the storage is still caught by the address sanitizer.
class PaddedHobBytes {
 public:
  static constexpr size_t Padding = 0x10000 + 8;
  explicit PaddedHobBytes(std::span<const uint8_t> Bytes);
  uint8_t *Data() { return Storage.data(); }
  size_t InputSize() const { return Input; }
  bool InInput(const void *Address, size_t Size) const;

 private:
  std::vector<uint8_t> Storage;
  size_t Input;
};

// Little-endian readers over a byte span (0 past the end).
uint16_t Le16(std::span<const uint8_t> Bytes, size_t Offset);
uint32_t Le32(std::span<const uint8_t> Bytes, size_t Offset);
uint64_t Le64(std::span<const uint8_t> Bytes, size_t Offset);

// A cursor over the input: fixed-size fields from the front, zero when the
// input is exhausted, and whatever is left as bytes.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> Bytes) : Bytes(Bytes) {}
  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  std::span<const uint8_t> Rest() const { return Bytes.subspan(Position); }

 private:
  uint64_t Take(size_t Size);
  std::span<const uint8_t> Bytes;
  size_t Position = 0;
};

}  // namespace fuzz
