// Fuzz target: the HOB search over arbitrary HOB-list bytes.
//
// Input: byte 0 chooses the name searched for (0: the topology HOB, 1: the
// heap HOB, 2: the HOB-list GUID itself, otherwise the next 16 input bytes);
// the rest is the HOB list. It goes into the configuration table followed by
// end-of-list padding (PaddedHobBytes), and the driver's LocateHobList must
// hand it back. Then the driver's FindGuidExtensionHob runs as heap migration
// runs it: from the first HOB, then from the HOB after each one found, until
// it returns null. Every HOB it returns must start inside the input, be a
// GUID-extension HOB long enough to hold its name, carry the name, and be
// the next one a plain step-by-length walk of the list reaches.
//
// The search keeps no state; only the configuration-table entry changes
// between inputs.
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "platform/PlatformData.h"

namespace {

sim::Platform *Plat;

// The next matching HOB at or after Offset by the list's own rules (a type of
// 0xFFFF, or a length below the generic header, ends it), or SIZE_MAX.
size_t ReferenceNext(std::span<const uint8_t> List, size_t Offset, const EFI_GUID &Name) {
  for (;;) {
    const uint16_t Type = fuzz::Le16(List, Offset);
    const uint16_t Length = fuzz::Le16(List, Offset + 2);
    if (Type == EFI_HOB_TYPE_END_OF_HOB_LIST || Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return SIZE_MAX;
    }
    if (Type == EFI_HOB_TYPE_GUID_EXTENSION && Length >= sizeof(EFI_HOB_GUID_TYPE) &&
        std::memcmp(List.data() + Offset + OFFSET_OF(EFI_HOB_GUID_TYPE, Name), &Name, sizeof(Name)) == 0) {
      return Offset;
    }
    Offset += Length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Plat = &fuzz::BootedPlatform({});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  sim::Platform &P = *Plat;
  fuzz::Reader In({Data, Size});
  EFI_GUID Name;
  switch (In.U8()) {
    case 0:
      Name = gTevTopologyHobGuid;
      break;
    case 1:
      Name = gTevHeapHobGuid;
      break;
    case 2:
      Name = gEfiHobListGuid;
      break;
    default: {
      const uint64_t Low = In.U64();
      const uint64_t High = In.U64();
      std::memcpy(&Name, &Low, 8);
      std::memcpy(reinterpret_cast<uint8_t *>(&Name) + 8, &High, 8);
      break;
    }
  }
  fuzz::PaddedHobBytes List(In.Rest());
  const std::span<const uint8_t> Whole(List.Data(), List.InputSize() + fuzz::PaddedHobBytes::Padding);
  P.firmware.SetConfigurationTable(gEfiHobListGuid, List.Data());

  auto *Locate = PIRN_SYMBOL(P.Image(), LocateHobList);
  auto *Find = PIRN_SYMBOL(P.Image(), FindGuidExtensionHob);
  VOID *Found = nullptr;
  EFI_STATUS Status = EFI_ABORTED;
  fuzz::MustRun(P, [&] { Status = Locate(&Found); });
  fuzz::Check(Status == EFI_SUCCESS && Found == List.Data(), "LocateHobList did not return the installed list");

  size_t Expected = ReferenceNext(Whole, 0, Name);
  const VOID *Start = List.Data();
  for (;;) {
    const VOID *Hob = nullptr;
    fuzz::MustRun(P, [&] { Hob = Find(&Name, Start); });
    if (Hob == nullptr) {
      fuzz::Check(Expected == SIZE_MAX, "the search missed a HOB that carries the name");
      break;
    }
    // It starts inside the input (its header and name may run on into the
    // memory after the list, which the search cannot know about).
    fuzz::Check(List.InInput(Hob, 1), "a HOB found lies outside the list");
    const size_t Offset = static_cast<size_t>(static_cast<const uint8_t *>(Hob) - List.Data());
    fuzz::Check(Offset == Expected, "the search returned another HOB than the walk reaches");
    fuzz::Check(fuzz::Le16(Whole, Offset) == EFI_HOB_TYPE_GUID_EXTENSION, "a HOB found is no GUID extension");
    const uint16_t Length = fuzz::Le16(Whole, Offset + 2);
    fuzz::Check(Length >= sizeof(EFI_HOB_GUID_TYPE), "a HOB found is too short for its name");
    Start = static_cast<const uint8_t *>(Hob) + Length;
    Expected = ReferenceNext(Whole, Offset + Length, Name);
  }
  P.ClearRecords();
  return 0;
}
