// Topology builder: the tree of descriptors that earlier firmware prepares
// for the driver, laid out as a topology block. The same bytes serve as the
// topology HOB (the prefix is its GUID-extension header) and as the block a
// platform-topology protocol hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/Driver.h"

namespace sim {

struct TopologyNode {
  uint32_t Flags = 0;  // TopologyFlagLast is set by the layout on the last node of each list
  uint8_t InstanceId = 0;
  uint32_t PciAddress = 0;
  std::vector<TopologyNode> Children;
};

// A hub-instance descriptor, and a descriptor that only groups others.
TopologyNode HubInstance(uint8_t InstanceId, uint32_t PciAddress);
TopologyNode TopologyGroup(std::vector<TopologyNode> Children);

class TopologyBlock {
 public:
  // Lays the tree out depth first: each descriptor, then its subtree, then
  // its next sibling. Roots are the descriptors of the top list (the first
  // one is the root the walks start at). DescriptorSize may exceed the 18
  // bytes the driver reads, as a producer with larger records would lay them
  // out. The prefix carries the HOB type, the HOB length (the block size,
  // padded to 8) and TevTopologyHobGuid.
  explicit TopologyBlock(const std::vector<TopologyNode> &Roots, size_t DescriptorSize = sizeof(TOPOLOGY_DESCRIPTOR));

  const std::vector<uint8_t> &Bytes() const { return Bytes_; }
  // Block offset of the descriptor of the Index-th node in depth-first order.
  size_t DescriptorOffset(size_t Index) const { return Offsets_.at(Index); }
  size_t DescriptorCount() const { return Offsets_.size(); }

  // Patches for blocks that break their guarantees on purpose.
  TopologyBlock &SetFlags(size_t Index, uint32_t Flags);
  TopologyBlock &SetSiblingOffset(size_t Index, uint16_t Offset);
  TopologyBlock &SetChildOffset(size_t Index, uint16_t Offset);
  TopologyBlock &SetInstanceId(size_t Index, uint8_t InstanceId);
  // The length field of the prefix (the HOB length).
  TopologyBlock &SetLength(uint16_t Length);
  // Cuts the bytes to Size; the prefix length is left as it was.
  TopologyBlock &Truncate(size_t Size);

 private:
  size_t Layout(const std::vector<TopologyNode> &List, size_t At);
  std::vector<uint8_t> Bytes_;
  std::vector<size_t> Offsets_;
  size_t DescriptorSize_;
};

// The default platform's topology: one root that is not an instance, with
// hub instances 0..3 on buses 0x00, 0x20, 0x40 and 0x60 of segment 0.
TopologyBlock DefaultTopology();

}  // namespace sim
