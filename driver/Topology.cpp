// Instance topology: the two walk rules over a topology block's descriptors,
// and the lookup of a hub instance by its id in the topology HOB.
//
// Every step of a walk goes forward by an unsigned offset, and every
// descriptor reached must lie wholly inside the block, so a broken block
// (an offset of 0 where one is needed, an offset leading outside) ends the
// walk instead of repeating a descriptor or reading past the block.
#include "driver/Driver.h"
#include "platform/PlatformData.h"

namespace {

// The descriptor Offset bytes into the block, or null when it would not lie
// wholly inside the first BlockSize bytes.
const TOPOLOGY_DESCRIPTOR *DescriptorAt(const VOID *Block, UINTN BlockSize, UINTN Offset) {
  if (Offset > BlockSize || BlockSize - Offset < sizeof(TOPOLOGY_DESCRIPTOR)) {
    return nullptr;
  }
  return reinterpret_cast<const TOPOLOGY_DESCRIPTOR *>(static_cast<const UINT8 *>(Block) + Offset);
}

UINTN OffsetOf(const VOID *Block, const TOPOLOGY_DESCRIPTOR *Descriptor) {
  return static_cast<UINTN>(reinterpret_cast<const UINT8 *>(Descriptor) - static_cast<const UINT8 *>(Block));
}

}  // namespace

extern "C" {

UINTN TopologyBlockSize(const VOID *Block) {
  if (Block == nullptr) {
    return 0;
  }
  const UINT8 *Prefix = static_cast<const UINT8 *>(Block) + OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength);
  return static_cast<UINTN>(Prefix[0]) | (static_cast<UINTN>(Prefix[1]) << 8);
}

const TOPOLOGY_DESCRIPTOR *TopologyInstanceListHead(const VOID *Block, UINTN BlockSize) {
  if (Block == nullptr) {
    return nullptr;
  }
  const TOPOLOGY_DESCRIPTOR *Current = DescriptorAt(Block, BlockSize, TopologyPrefixSize);
  while (Current != nullptr && (Current->Flags & TopologyFlagInstance) == 0) {
    if (Current->ChildOffset == 0) {
      return nullptr;
    }
    Current = DescriptorAt(Block, BlockSize, OffsetOf(Block, Current) + Current->ChildOffset);
  }
  return Current;
}

const TOPOLOGY_DESCRIPTOR *TopologyNextInstance(const VOID *Block, UINTN BlockSize,
                                                const TOPOLOGY_DESCRIPTOR *Current) {
  if (Block == nullptr || Current == nullptr || (Current->Flags & TopologyFlagLast) != 0 ||
      Current->SiblingOffset == 0) {
    return nullptr;
  }
  return DescriptorAt(Block, BlockSize, OffsetOf(Block, Current) + Current->SiblingOffset);
}

EFI_STATUS FindInstanceDescriptor(UINT32 InstanceId, TOPOLOGY_DESCRIPTOR **Descriptor) {
  VOID *HobList;
  const EFI_STATUS Status = LocateHobList(&HobList);
  if (EfiError(Status)) {
    return Status;
  }
  const VOID *Hob = FindGuidExtensionHob(&gTevTopologyHobGuid, HobList);
  if (Hob == nullptr) {
    return EFI_NOT_FOUND;
  }
  // The HOB is the block: its length bounds the walk.
  const UINTN HobSize = TopologyBlockSize(Hob);
  for (const TOPOLOGY_DESCRIPTOR *Current = TopologyInstanceListHead(Hob, HobSize); Current != nullptr;
       Current = TopologyNextInstance(Hob, HobSize, Current)) {
    if (InstanceId == Current->InstanceId) {
      *Descriptor = const_cast<TOPOLOGY_DESCRIPTOR *>(Current);
      return EFI_SUCCESS;
    }
  }
  *Descriptor = nullptr;
  return EFI_INVALID_PARAMETER;
}

}  // extern "C"
