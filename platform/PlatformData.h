// Platform data: the HOB list handed over by the earlier boot phase, and the
// heap list built from its heap HOBs.
#pragma once

#include "firmware/Firmware.h"

// ---------------------------------------------------------------------------
// Heap HOB payload and heap list.
// ---------------------------------------------------------------------------
struct HEAP_HEADER {
  UINT32 Signature;  // "HEAP"
  UINT32 Reserved4;  // copied, not interpreted
  UINT32 DataSize;   // bytes of heap data after the header
  UINT8 PoolSelector;  // 8: runtime-services data, anything else: boot-services data
  UINT8 MigrateFlag;   // only 1 migrates
  UINT16 Reserved14;   // copied, not interpreted
};
static_assert(sizeof(HEAP_HEADER) == 16);
static_assert(OFFSET_OF(HEAP_HEADER, DataSize) == 8 && OFFSET_OF(HEAP_HEADER, PoolSelector) == 12);
static_assert(OFFSET_OF(HEAP_HEADER, MigrateFlag) == 13 && OFFSET_OF(HEAP_HEADER, Reserved14) == 14);

inline constexpr UINT32 HeapSignature = 0x50414548;  // "HEAP"
inline constexpr UINT8 HeapPoolRuntime = 8;
inline constexpr UINT8 HeapMigrate = 1;
inline constexpr UINTN HeapHobHeaderOffset = 24;  // HEAP_HEADER inside the HOB
inline constexpr UINTN HeapHobDataOffset = 40;    // heap data inside the HOB

// A doubly linked list link; a link points at a node's link or at the head.
struct LIST_LINK {
  LIST_LINK *ForwardLink;
  LIST_LINK *BackLink;
};
static_assert(sizeof(LIST_LINK) == 16);

struct HEAP_NODE {
  LIST_LINK Link;
  HEAP_HEADER Header;
  // DataSize bytes of heap data follow at offset 32.
};
static_assert(sizeof(HEAP_NODE) == 32 && OFFSET_OF(HEAP_NODE, Header) == 16);

struct TEV_HEAP_LIST_PROTOCOL {
  UINT64 Revision;  // 1 in this driver's instance
  LIST_LINK Head;
};
static_assert(sizeof(TEV_HEAP_LIST_PROTOCOL) == 24 && OFFSET_OF(TEV_HEAP_LIST_PROTOCOL, Head) == 8);

extern "C" {

// First HOB of the list; null until start-up step 4 (or heap migration)
// finds it; never changed once set.
extern VOID *mHobListCache;
// Head the heap nodes are linked into: in this driver's own instance, or in
// the instance another driver installed.
extern LIST_LINK *mHeapListHead;
// This driver's heap-list protocol instance, in module storage.
extern TEV_HEAP_LIST_PROTOCOL mHeapListProtocol;

// Finds the HOB list in the configuration table and stores it in *HobList;
// EFI_NOT_FOUND (with *HobList null) when the table has none.
EFI_STATUS LocateHobList(VOID **HobList);

// First GUID-extension HOB named Guid at or after Start, or null.
VOID *FindGuidExtensionHob(const EFI_GUID *Guid, const VOID *Start);

// Start-up step 4: fills mHobListCache when it is still null.
VOID HobListCacheConstructor(VOID);

// Start-up step 5: joins an installed heap list or migrates the heap HOBs.
EFI_STATUS TevHeapLibConstructor(VOID);
EFI_STATUS CreateHeapNode(const HEAP_HEADER *Header, HEAP_NODE **Node);
VOID *BootPoolAlloc(UINTN Size);

}  // extern "C"
