// HOB-list builder: lays out a hand-off block list as the earlier boot phase
// would, GUID-extension HOBs, HOBs of other types, the end-of-list HOB, and
// raw bytes for lists that break the rules on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "firmware/Firmware.h"

namespace sim {

class HobList {
 public:
  // A GUID-extension HOB: 24-byte header, Data, zero padding up to a multiple
  // of 8. The HOB length covers the padding, as in a firmware-built list.
  HobList &AddGuid(const EFI_GUID &Name, std::span<const uint8_t> Data = {});
  // A HOB of any type with Body after the 8-byte generic header, padded to 8.
  HobList &AddHob(uint16_t Type, std::span<const uint8_t> Body = {});
  // The end-of-list HOB (type 0xFFFF, length 8).
  HobList &AddEnd();
  // Bytes appended as they are, with no header or padding of their own.
  HobList &AddRaw(std::span<const uint8_t> Bytes);

  // Offset the next HOB will have; tests use it to name a HOB they add.
  size_t NextOffset() const { return Bytes_.size(); }
  const std::vector<uint8_t> &Bytes() const { return Bytes_; }

 private:
  std::vector<uint8_t> Bytes_;
};

// Bytes placed in memory the driver reads (a HOB list, a topology block).
// The storage is allocated at exactly their size, 16-byte aligned, so a
// read past the last byte is caught by the address sanitizer.
class ExactBuffer {
 public:
  explicit ExactBuffer(std::span<const uint8_t> Bytes);
  uint8_t *Data() { return Storage_.get(); }
  const uint8_t *Data() const { return Storage_.get(); }
  size_t Size() const { return Size_; }
  // Address of the byte at Offset (a HOB, a descriptor).
  uint8_t *At(size_t Offset) { return Storage_.get() + Offset; }

 private:
  std::unique_ptr<uint8_t[]> Storage_;
  size_t Size_;
};

// Little-endian field writers for building and patching records.
void Put16(std::vector<uint8_t> &Bytes, size_t Offset, uint16_t Value);
void Put32(std::vector<uint8_t> &Bytes, size_t Offset, uint32_t Value);
void PutGuid(std::vector<uint8_t> &Bytes, size_t Offset, const EFI_GUID &Guid);

}  // namespace sim
