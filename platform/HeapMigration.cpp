// Heap migration: the heap buffers of the earlier boot phase, left as heap
// HOBs, become one linked heap list in pool memory, published through the
// heap-list protocol; a list another driver already published is joined.
#include "diag/Diag.h"
#include "platform/PlatformData.h"

namespace {

// Reads the heap header of a HOB. The header lies at offset 24, which a
// malformed list may leave unaligned; a byte copy reads it either way.
HEAP_HEADER ReadHeapHeader(const VOID *Header) {
  HEAP_HEADER Copy;
  __builtin_memcpy(&Copy, Header, sizeof(Copy));
  return Copy;
}

// A heap HOB migrates when its header says so and the HOB really holds the
// header and the DataSize bytes that would be copied from it.
bool HeapHobMigrates(const UINT8 *Hob, UINTN HobLength) {
  if (HobLength < HeapHobDataOffset) {
    return false;
  }
  const HEAP_HEADER Header = ReadHeapHeader(Hob + HeapHobHeaderOffset);
  return Header.Signature == HeapSignature && Header.MigrateFlag == HeapMigrate &&
         Header.DataSize <= HobLength - HeapHobDataOffset;
}

}  // namespace

extern "C" {

LIST_LINK *mHeapListHead;
TEV_HEAP_LIST_PROTOCOL mHeapListProtocol = {1, {nullptr, nullptr}};

VOID *BootPoolAlloc(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EfiError(mBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer))) {
    return nullptr;
  }
  return Buffer;
}

EFI_STATUS CreateHeapNode(const HEAP_HEADER *Header, HEAP_NODE **Node) {
  const HEAP_HEADER Copy = ReadHeapHeader(Header);
  const UINTN Size = static_cast<UINTN>(Copy.DataSize) + sizeof(HEAP_NODE);

  VOID *Buffer = nullptr;
  if (Copy.PoolSelector == HeapPoolRuntime) {
    if (EfiError(mBootServices->AllocatePool(EfiRuntimeServicesData, Size, &Buffer))) {
      Buffer = nullptr;
    }
    if (Buffer == nullptr) {
      AssertSite(AssertHeapRuntimeAlloc);
      return EFI_UNSUPPORTED;
    }
  } else {
    Buffer = BootPoolAlloc(Size);
    if (Buffer == nullptr) {
      AssertSite(AssertHeapBootAlloc);
      return EFI_UNSUPPORTED;
    }
  }

  HEAP_NODE *New = static_cast<HEAP_NODE *>(Buffer);
  *Node = New;
  MemCopy(&New->Header, &Copy, sizeof(HEAP_HEADER));

  // Tail insertion keeps the nodes in the order of their HOBs.
  LIST_LINK *Head = mHeapListHead;
  New->Link.ForwardLink = Head;
  New->Link.BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = &New->Link;
  Head->BackLink = &New->Link;
  return EFI_SUCCESS;
}

EFI_STATUS TevHeapLibConstructor(VOID) {
  VOID *Installed = nullptr;
  if (!EfiError(mBootServices->LocateProtocol(&gTevHeapListProtocolGuid, nullptr, &Installed))) {
    mHeapListHead = &static_cast<TEV_HEAP_LIST_PROTOCOL *>(Installed)->Head;
    return EFI_SUCCESS;
  }

  mHeapListProtocol.Head.ForwardLink = &mHeapListProtocol.Head;
  mHeapListProtocol.Head.BackLink = &mHeapListProtocol.Head;
  mHeapListHead = &mHeapListProtocol.Head;

  if (mHobListCache == nullptr) {
    LocateHobList(&mHobListCache);
  }

  // Without a HOB list there is nothing to migrate; the empty list is still
  // published, so later drivers join it instead of each keeping their own.
  const UINT8 *Hob = static_cast<const UINT8 *>(FindGuidExtensionHob(&gTevHeapHobGuid, mHobListCache));
  while (Hob != nullptr) {
    UINT16 HobLength;
    __builtin_memcpy(&HobLength, Hob + OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength), sizeof(HobLength));
    if (HeapHobMigrates(Hob, HobLength)) {
      const HEAP_HEADER *Header = reinterpret_cast<const HEAP_HEADER *>(Hob + HeapHobHeaderOffset);
      const UINT32 DataSize = ReadHeapHeader(Header).DataSize;
      HEAP_NODE *Node;
      if (!EfiError(CreateHeapNode(Header, &Node)) && DataSize != 0) {
        MemCopy(reinterpret_cast<UINT8 *>(Node) + sizeof(HEAP_NODE), Hob + HeapHobDataOffset, DataSize);
      }
    }
    Hob = static_cast<const UINT8 *>(FindGuidExtensionHob(&gTevHeapHobGuid, Hob + HobLength));
  }

  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = mBootServices->InstallProtocolInterface(&Handle, &gTevHeapListProtocolGuid,
                                                                    EFI_NATIVE_INTERFACE, &mHeapListProtocol);
  if (EfiError(Status)) {
    AssertSite(AssertHeapInstall);
    return Status;
  }
  return EFI_SUCCESS;
}

}  // extern "C"
