// What the other drivers and the earlier boot phase of a platform would
// give the driver, as the smoke test provides it: the HOB list with the
// topology and heap HOBs, the platform-topology protocol, the SMM
// Communication protocol that takes the resume table at ready-to-boot, and
// PCI I/O protocol instances to set off the lock hook.
#include "efi/smoke/Smoke.h"

namespace {

// ---------------------------------------------------------------------------
// HOB list: topology HOB, heap HOB, end of list.
// ---------------------------------------------------------------------------
constexpr UINT16 DescriptorSize = sizeof(TOPOLOGY_DESCRIPTOR);
constexpr UINT16 TopologyHobLength = 64;  // 24 + two descriptors, rounded up to 8
constexpr UINT16 HeapHobLength = sizeof(EFI_HOB_GUID_TYPE) + sizeof(HEAP_HEADER) + sizeof(SmokeHeapData);
constexpr UINT16 EndHobLength = sizeof(EFI_HOB_GENERIC_HEADER);
static_assert(TopologyPrefixSize + 2 * DescriptorSize <= TopologyHobLength && TopologyHobLength % 8 == 0);
static_assert(HeapHobLength % 8 == 0);

alignas(8) UINT8 mHobList[TopologyHobLength + HeapHobLength + EndHobLength];
VOID *mFirmwareHobList;

VOID PutGuidHobHeader(UINT8 *Hob, UINT16 Length, const EFI_GUID &Name) {
  EFI_HOB_GUID_TYPE Header = {{EFI_HOB_TYPE_GUID_EXTENSION, Length, 0}, Name};
  memcpy(Hob, &Header, sizeof(Header));
}

// The topology block: a root descriptor whose first subordinate is the one
// hub instance, on segment 1.
VOID BuildTopologyHob(UINT8 *Hob) {
  PutGuidHobHeader(Hob, TopologyHobLength, gTevTopologyHobGuid);
  TOPOLOGY_DESCRIPTOR Root = {};
  Root.ChildOffset = DescriptorSize;
  TOPOLOGY_DESCRIPTOR Instance = {};
  Instance.Flags = TopologyFlagInstance | TopologyFlagLast;
  Instance.InstanceId = SmokeInstanceId;
  Instance.PciAddress = SmokeInstanceAddress;
  memcpy(Hob + TopologyPrefixSize, &Root, DescriptorSize);
  memcpy(Hob + TopologyPrefixSize + DescriptorSize, &Instance, DescriptorSize);
}

// One migratable heap HOB of boot-services data.
VOID BuildHeapHob(UINT8 *Hob) {
  PutGuidHobHeader(Hob, HeapHobLength, gTevHeapHobGuid);
  HEAP_HEADER Header = {};
  Header.Signature = HeapSignature;
  Header.Reserved4 = 0x5A5A5A5A;
  Header.DataSize = sizeof(SmokeHeapData);
  Header.PoolSelector = 0;
  Header.MigrateFlag = 1;
  Header.Reserved14 = 0xA5A5;
  memcpy(Hob + sizeof(EFI_HOB_GUID_TYPE), &Header, sizeof(Header));
  memcpy(Hob + sizeof(EFI_HOB_GUID_TYPE) + sizeof(Header), SmokeHeapData, sizeof(SmokeHeapData));
}

VOID *FindConfigurationTable(const EFI_GUID &Guid) {
  for (UINTN Index = 0; Index < gSmokeSystemTable->NumberOfTableEntries; Index++) {
    if (GuidEqual(gSmokeSystemTable->ConfigurationTable[Index].VendorGuid, Guid)) {
      return gSmokeSystemTable->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Platform-topology protocol.
// ---------------------------------------------------------------------------
UINTN mTopologyCalls;

EFI_STATUS EFIAPI GetTopologyBlock(IN TEV_TOPOLOGY_PROTOCOL *This, OUT VOID **Block) {
  (void)This;
  mTopologyCalls++;
  *Block = mHobList;
  return EFI_SUCCESS;
}

TEV_TOPOLOGY_PROTOCOL mTopology = {GetTopologyBlock};

// ---------------------------------------------------------------------------
// SMM Communication: the platform's communicate buffer and the hand-off.
// ---------------------------------------------------------------------------
alignas(8) UINT8 mCommBuffer[64];
alignas(8) UINT8 mTableCopy[0x8000];
SMOKE_HANDOFF mHandoff;

EFI_STATUS EFIAPI Communicate(IN CONST EFI_SMM_COMMUNICATION_PROTOCOL *This, IN OUT VOID *CommBuffer,
                              IN OUT UINTN *CommSize) {
  (void)This;
  mHandoff.Calls++;
  mHandoff.Buffer = CommBuffer;
  mHandoff.Size = CommSize != nullptr ? *CommSize : 0;
  if (CommBuffer == nullptr || mHandoff.Size < sizeof(TEV_S3_COMMUNICATE_BUFFER)) {
    return EFI_INVALID_PARAMETER;
  }
  // The table is released as soon as this call returns: take it now.
  memcpy(&mHandoff.Message, CommBuffer, sizeof(mHandoff.Message));
  const auto *Record = reinterpret_cast<const TEV_S3_LIB_PRIVATE_DATA *>(mHandoff.Message.PrivateData);
  if (Record == nullptr) {
    return EFI_SUCCESS;
  }
  mHandoff.Record = *Record;
  const auto *Table = reinterpret_cast<const UINT8 *>(Record->Table);
  if (Table == nullptr) {
    return EFI_SUCCESS;
  }
  UINT64 TableSize;
  memcpy(&TableSize, Table + OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, TableSize), sizeof(TableSize));
  if (TableSize >= sizeof(TEV_S3_LIB_TABLE_HEADER) && TableSize + 4 <= sizeof(mTableCopy)) {
    memcpy(mTableCopy, Table, TableSize + 4);
    mHandoff.TableBytes = TableSize + 4;
  }
  return EFI_SUCCESS;
}

EFI_SMM_COMMUNICATION_PROTOCOL mSmmCommunication = {Communicate};

// ---------------------------------------------------------------------------
// Inert PCI I/O instances: every member fails as unsupported.
// ---------------------------------------------------------------------------
EFI_STATUS EFIAPI PciIoUnsupported(VOID) { return EFI_UNSUPPORTED; }

constexpr UINTN PciIoInstanceCount = 4;
SMOKE_PCI_IO mPciIo[PciIoInstanceCount];
UINTN mPciIoCount;

VOID Install(const EFI_GUID &Guid, VOID *Interface, const CHAR8 *What) {
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status =
      gSmokeBootServices->InstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, Interface);
  VOID *Found = nullptr;
  gSmokeBootServices->LocateProtocol(&Guid, nullptr, &Found);
  SmokeCheck(Status == EFI_SUCCESS && Found == Interface, "%a installed (%r)", What, Status);
}

}  // namespace

extern "C" {

VOID SmokeInstallHobList(VOID) {
  UINT8 *Hob = mHobList;
  BuildTopologyHob(Hob);
  Hob += TopologyHobLength;
  BuildHeapHob(Hob);
  Hob += HeapHobLength;
  EFI_HOB_GENERIC_HEADER End = {EFI_HOB_TYPE_END_OF_HOB_LIST, EndHobLength, 0};
  memcpy(Hob, &End, sizeof(End));

  mFirmwareHobList = FindConfigurationTable(gEfiHobListGuid);
  const EFI_STATUS Status = gSmokeBootServices->InstallConfigurationTable(&gEfiHobListGuid, mHobList);
  SmokeCheck(Status == EFI_SUCCESS && FindConfigurationTable(gEfiHobListGuid) == mHobList,
             "HOB list with topology and heap HOBs in the configuration table (%r)", Status);
}

VOID SmokeRestoreHobList(VOID) {
  if (mFirmwareHobList != nullptr) {
    gSmokeBootServices->InstallConfigurationTable(&gEfiHobListGuid, mFirmwareHobList);
  }
}

const EFI_HOB_GUID_TYPE *SmokeHeapHob(VOID) {
  return reinterpret_cast<const EFI_HOB_GUID_TYPE *>(mHobList + TopologyHobLength);
}

VOID SmokeInstallTopology(VOID) { Install(gTevTopologyProtocolGuid, &mTopology, "topology protocol"); }

UINTN SmokeTopologyCallCount(VOID) { return mTopologyCalls; }

VOID SmokeInstallSmmCommunication(VOID) {
  mHandoff.Table = mTableCopy;
  VOID *Existing = nullptr;
  gSmokeBootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, &Existing);
  const EFI_STATUS Status = SmokeReplaceProtocol(&gEfiSmmCommunicationProtocolGuid, Existing, &mSmmCommunication);
  VOID *Found = nullptr;
  gSmokeBootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, &Found);
  SmokeCheck(Status == EFI_SUCCESS && Found == &mSmmCommunication,
             "SMM Communication protocol installed (%r, firmware %a)", Status,
             Existing != nullptr ? "has one" : "has none");
}

UINT64 SmokeCommBufferAddress(VOID) { return reinterpret_cast<UINT64>(mCommBuffer); }

const SMOKE_HANDOFF *SmokeHandoff(VOID) { return &mHandoff; }

EFI_STATUS SmokeInstallPciIo(VOID) {
  if (mPciIoCount == PciIoInstanceCount) {
    return EFI_OUT_OF_RESOURCES;
  }
  SMOKE_PCI_IO *Instance = &mPciIo[mPciIoCount++];
  for (VOID *&Function : Instance->Functions) {
    Function = reinterpret_cast<VOID *>(PciIoUnsupported);
  }
  EFI_HANDLE Handle = nullptr;
  return gSmokeBootServices->InstallProtocolInterface(&Handle, &gEfiPciIoProtocolGuid, EFI_NATIVE_INTERFACE, Instance);
}

EFI_STATUS SmokeReplaceProtocol(const EFI_GUID *Guid, VOID *Previous, VOID *Interface) {
  EFI_BOOT_SERVICES *Bs = gSmokeBootServices;
  if (Previous != nullptr) {
    EFI_HANDLE Handles[32];
    UINTN Size = sizeof(Handles);
    if (Bs->LocateHandle(ByProtocol, Guid, nullptr, &Size, Handles) == EFI_SUCCESS) {
      for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); Index++) {
        VOID *Current = nullptr;
        if (Bs->HandleProtocol(Handles[Index], Guid, &Current) == EFI_SUCCESS && Current == Previous) {
          return Bs->ReinstallProtocolInterface(Handles[Index], Guid, Previous, Interface);
        }
      }
    }
  }
  EFI_HANDLE Handle = nullptr;
  return Bs->InstallProtocolInterface(&Handle, Guid, EFI_NATIVE_INTERFACE, Interface);
}

}  // extern "C"
