#include "sim/HobBuilder.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

size_t PadTo8(size_t Size) { return (Size + 7) & ~static_cast<size_t>(7); }

void AppendHeader(std::vector<uint8_t> &Bytes, uint16_t Type, size_t Length) {
  const size_t At = Bytes.size();
  Bytes.resize(At + sizeof(EFI_HOB_GENERIC_HEADER), 0);
  Put16(Bytes, At + OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobType), Type);
  Put16(Bytes, At + OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength), static_cast<uint16_t>(Length));
}

}  // namespace

void Put16(std::vector<uint8_t> &Bytes, size_t Offset, uint16_t Value) {
  Bytes.at(Offset) = static_cast<uint8_t>(Value);
  Bytes.at(Offset + 1) = static_cast<uint8_t>(Value >> 8);
}

void Put32(std::vector<uint8_t> &Bytes, size_t Offset, uint32_t Value) {
  for (size_t I = 0; I < 4; I++) {
    Bytes.at(Offset + I) = static_cast<uint8_t>(Value >> (8 * I));
  }
}

void PutGuid(std::vector<uint8_t> &Bytes, size_t Offset, const EFI_GUID &Guid) {
  Put32(Bytes, Offset, Guid.Data1);
  Put16(Bytes, Offset + 4, Guid.Data2);
  Put16(Bytes, Offset + 6, Guid.Data3);
  for (size_t I = 0; I < 8; I++) {
    Bytes.at(Offset + 8 + I) = Guid.Data4[I];
  }
}

HobList &HobList::AddGuid(const EFI_GUID &Name, std::span<const uint8_t> Data) {
  const size_t At = Bytes_.size();
  const size_t Length = PadTo8(sizeof(EFI_HOB_GUID_TYPE) + Data.size());
  AppendHeader(Bytes_, EFI_HOB_TYPE_GUID_EXTENSION, Length);
  Bytes_.resize(At + Length, 0);
  PutGuid(Bytes_, At + OFFSET_OF(EFI_HOB_GUID_TYPE, Name), Name);
  std::copy(Data.begin(), Data.end(), Bytes_.begin() + static_cast<ptrdiff_t>(At + sizeof(EFI_HOB_GUID_TYPE)));
  return *this;
}

HobList &HobList::AddHob(uint16_t Type, std::span<const uint8_t> Body) {
  const size_t At = Bytes_.size();
  const size_t Length = PadTo8(sizeof(EFI_HOB_GENERIC_HEADER) + Body.size());
  AppendHeader(Bytes_, Type, Length);
  Bytes_.resize(At + Length, 0);
  std::copy(Body.begin(), Body.end(), Bytes_.begin() + static_cast<ptrdiff_t>(At + sizeof(EFI_HOB_GENERIC_HEADER)));
  return *this;
}

HobList &HobList::AddEnd() {
  AppendHeader(Bytes_, EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER));
  return *this;
}

HobList &HobList::AddRaw(std::span<const uint8_t> Bytes) {
  Bytes_.insert(Bytes_.end(), Bytes.begin(), Bytes.end());
  return *this;
}

ExactBuffer::ExactBuffer(std::span<const uint8_t> Bytes)
    : Storage_(new uint8_t[Bytes.empty() ? 1 : Bytes.size()]), Size_(Bytes.size()) {
  if (!Bytes.empty()) {
    std::memcpy(Storage_.get(), Bytes.data(), Bytes.size());
  }
}

}  // namespace sim
