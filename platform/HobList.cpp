// HOB list access: finding the list through the configuration table, the
// module's cached pointer to it, and the search for GUID-extension HOBs.
#include "platform/PlatformData.h"

namespace {

// HOB headers are read byte-wise: a malformed list may leave a HOB at any
// alignment, and the reads must stay well-defined there too.
UINT16 ReadHob16(const UINT8 *Hob, UINTN Offset) {
  return static_cast<UINT16>(Hob[Offset] | (static_cast<UINT16>(Hob[Offset + 1]) << 8));
}

bool HobNameEquals(const UINT8 *Hob, const EFI_GUID *Guid) {
  EFI_GUID Name;
  __builtin_memcpy(&Name, Hob + OFFSET_OF(EFI_HOB_GUID_TYPE, Name), sizeof(Name));
  return GuidEqual(Name, *Guid);
}

}  // namespace

extern "C" {

VOID *mHobListCache;

EFI_STATUS LocateHobList(VOID **HobList) {
  *HobList = nullptr;
  if (mSystemTable == nullptr || mSystemTable->ConfigurationTable == nullptr) {
    return EFI_NOT_FOUND;
  }
  for (UINTN Index = 0; Index < mSystemTable->NumberOfTableEntries; Index++) {
    const EFI_CONFIGURATION_TABLE &Entry = mSystemTable->ConfigurationTable[Index];
    if (GuidEqual(Entry.VendorGuid, gEfiHobListGuid)) {
      *HobList = Entry.VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

// The list is the firmware's and is trusted to end with an end-of-list HOB.
// Two malformations are still caught without reading past the HOB at hand:
// a HOB length below the 8-byte generic header ends the search (it could
// not move on, or would step into its own header), and a GUID-extension HOB
// too short to hold its name GUID is stepped over without comparing it.
VOID *FindGuidExtensionHob(const EFI_GUID *Guid, const VOID *Start) {
  const UINT8 *Hob = static_cast<const UINT8 *>(Start);
  if (Hob == nullptr) {
    return nullptr;
  }
  for (;;) {
    const UINT16 Type = ReadHob16(Hob, OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobType));
    const UINT16 Length = ReadHob16(Hob, OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength));
    if (Type == EFI_HOB_TYPE_END_OF_HOB_LIST || Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return nullptr;
    }
    if (Type == EFI_HOB_TYPE_GUID_EXTENSION && Length >= sizeof(EFI_HOB_GUID_TYPE) && HobNameEquals(Hob, Guid)) {
      return const_cast<UINT8 *>(Hob);
    }
    Hob += Length;
  }
}

VOID HobListCacheConstructor(VOID) {
  if (mHobListCache == nullptr) {
    LocateHobList(&mHobListCache);
  }
}

}  // extern "C"
