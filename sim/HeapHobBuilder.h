// Heap HOBs as the earlier boot phase leaves them, and a heap list that
// another driver has already published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/PlatformData.h"
#include "sim/HobBuilder.h"

namespace sim {

struct HeapHob {
  uint32_t Signature = HeapSignature;
  uint32_t Reserved4 = 0;
  std::optional<uint32_t> DataSize;  // the header's DataSize; by default Data.size()
  uint8_t PoolSelector = 0;
  uint8_t MigrateFlag = HeapMigrate;
  uint16_t Reserved14 = 0;
  std::vector<uint8_t> Data;  // the heap data that follows the header in the HOB

  uint32_t HeaderDataSize() const { return DataSize.value_or(static_cast<uint32_t>(Data.size())); }
  // The 16-byte header as it stands in the HOB and in a node.
  HEAP_HEADER Header() const;
};

// Appends the heap HOB (TevHeapHobGuid, header, Data) to List. The HOB holds
// Data only, whatever the header's DataSize says.
HobList &AddHeapHob(HobList &List, const HeapHob &Hob);

// A heap-list protocol installed by a driver that ran earlier: an instance
// with an empty list (both head links at the head).
struct InstalledHeapList {
  InstalledHeapList();
  InstalledHeapList(const InstalledHeapList &) = delete;
  InstalledHeapList &operator=(const InstalledHeapList &) = delete;
  TEV_HEAP_LIST_PROTOCOL Protocol;
};

// Nodes of a heap list from its head, following forward links (or back
// links). Stops after Limit nodes, so a broken list cannot hang a test.
std::vector<const HEAP_NODE *> HeapListForward(const LIST_LINK *Head, size_t Limit = 4096);
std::vector<const HEAP_NODE *> HeapListBackward(const LIST_LINK *Head, size_t Limit = 4096);

// The heap HOBs of the default platform: A (boot-services data) and B (pool
// selector 8, runtime-services data) migrate; C has MigrateFlag 0.
std::vector<HeapHob> DefaultHeapHobs();

}  // namespace sim
