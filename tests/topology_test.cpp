// Instance topology: the lookup of a hub instance by id in the topology HOB,
// and the two walk rules it shares with the lock hook, over well-formed and
// broken blocks. None of it touches the hardware.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "PlatformFixture.h"
#include "driver/Driver.h"
#include "platform/PlatformData.h"
#include "sim/PlatformHobs.h"
#include "sim/TopologyBuilder.h"

namespace {

using sim::HubInstance;
using sim::TopologyBlock;
using sim::TopologyGroup;
using sim::TopologyNode;

constexpr uint32_t Bus(uint32_t B) { return PciAddress(0, B, 0, 0, 0); }

// Sentinel for "the out pointer was not written".
TOPOLOGY_DESCRIPTOR *const Untouched = reinterpret_cast<TOPOLOGY_DESCRIPTOR *>(0x5EED);

class TopologyTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    *PIRN_SYMBOL(Img(), mSystemTable) = Fw().SystemTable();
    *PIRN_SYMBOL(Img(), mBootServices) = Fw().BootServices();
    M().ClearLog();
  }

  void TearDown() override {
    EXPECT_TRUE(M().Log().empty()) << "unexpected access: " << M().Log().front();
    PlatformFixture::TearDown();
  }

  void UseTopology(const TopologyBlock &Block) {
    P().hobs.Topology = Block;
    P().hobs.Install();
  }

  struct Result {
    EFI_STATUS Status;
    TOPOLOGY_DESCRIPTOR *Descriptor;
  };
  Result Lookup(UINT32 Id) {
    Result R{0, Untouched};
    R.Status = PIRN_SYMBOL(Img(), FindInstanceDescriptor)(Id, &R.Descriptor);
    return R;
  }

  // Address of descriptor Index of the installed topology HOB.
  TOPOLOGY_DESCRIPTOR *Installed(size_t Index) {
    return reinterpret_cast<TOPOLOGY_DESCRIPTOR *>(P().hobs.HobAt(P().hobs.TopologyHobOffset()) +
                                                   P().hobs.Topology.DescriptorOffset(Index));
  }
};

// ---------------------------------------------------------------------------
// The default platform: four hub instances under one root.
// ---------------------------------------------------------------------------
TEST_F(TopologyTest, DefaultPlatformMapsEachIdToItsBus) {
  for (UINT32 Id = 0; Id < 4; Id++) {
    const Result R = Lookup(Id);
    ASSERT_EQ(R.Status, EFI_SUCCESS) << "id " << Id;
    EXPECT_EQ(R.Descriptor, Installed(1 + Id)) << "id " << Id;
    const UINT32 Address = R.Descriptor->PciAddress;  // a packed field: read it, do not bind it
    EXPECT_EQ(Address, Bus(0x20 * Id)) << "id " << Id;
  }
}

TEST_F(TopologyTest, IdsWithoutADescriptorGiveInvalidParameterAndNull) {
  // 0x100 and 0x103 carry the low byte of an instance that exists.
  for (UINT32 Id : {4u, 0xFFu, 0x100u, 0x103u, 0xFFFFFFFFu}) {
    const Result R = Lookup(Id);
    EXPECT_EQ(R.Status, EFI_INVALID_PARAMETER) << "id " << Id;
    EXPECT_EQ(R.Descriptor, nullptr) << "id " << Id;
  }
}

// ---------------------------------------------------------------------------
// Lookups over other well-formed trees.
// ---------------------------------------------------------------------------
struct TreeCase {
  const char *Name;
  std::function<TopologyBlock()> Block;
  UINT32 Id;
  EFI_STATUS Status;
  size_t Descriptor;  // depth-first index of the descriptor expected (on success)
};

void PrintTo(const TreeCase &Case, std::ostream *Os) { *Os << Case.Name; }

class TopologyTreeTest : public TopologyTest, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(TopologyTreeTest, Lookup) {
  const TreeCase &Case = GetParam();
  UseTopology(Case.Block());
  const Result R = Lookup(Case.Id);
  EXPECT_EQ(R.Status, Case.Status);
  EXPECT_EQ(R.Descriptor, Case.Status == EFI_SUCCESS ? Installed(Case.Descriptor) : nullptr);
}

const TreeCase TreeCases[] = {
    {"DuplicateIdGivesTheFirst",
     [] {
       return TopologyBlock({TopologyGroup({HubInstance(5, Bus(1)), HubInstance(5, Bus(2))})});
     },
     5, EFI_SUCCESS, 1},
    {"LastDescriptorIsCompared",
     [] {
       return TopologyBlock({TopologyGroup({HubInstance(1, Bus(1)), HubInstance(9, Bus(9))})});
     },
     9, EFI_SUCCESS, 2},
    {"RootThatIsAnInstanceHeadsTheList",
     [] {
       return TopologyBlock({HubInstance(7, Bus(7)), HubInstance(8, Bus(8))});
     },
     8, EFI_SUCCESS, 1},
    {"DescentFollowsFirstChildrenOnly",
     [] { return TopologyBlock({TopologyGroup({TopologyGroup({TopologyGroup({HubInstance(4, Bus(4))})})})}); }, 4,
     EFI_SUCCESS, 3},
    {"ListUnderTheSecondUpperDescriptorIsNotSearched",
     [] {
       return TopologyBlock(
           {TopologyGroup({TopologyGroup({HubInstance(1, Bus(1))}), TopologyGroup({HubInstance(9, Bus(9))})})});
     },
     9, EFI_INVALID_PARAMETER, 0},
    {"FirstUpperDescriptorWithoutChildrenEndsTheDescent",
     [] {
       return TopologyBlock({TopologyGroup({TopologyGroup({}), TopologyGroup({HubInstance(1, Bus(1))})})});
     },
     1, EFI_INVALID_PARAMETER, 0},
    {"ListMembersAreNotTestedForTheInstanceFlag",
     [] {
       TopologyBlock B({TopologyGroup({HubInstance(1, Bus(1)), HubInstance(6, Bus(6))})});
       return B.SetFlags(2, TopologyFlagLast);
     },
     6, EFI_SUCCESS, 2},
    {"SubordinatesOfListMembersAreNotSearched",
     [] {
       TopologyBlock B({TopologyGroup({TopologyNode{TopologyFlagInstance, 1, Bus(1), {HubInstance(3, Bus(3))}}})});
       return B;
     },
     3, EFI_INVALID_PARAMETER, 0},
    {"LargerDescriptorsAreReachedByTheirOffsets",
     [] {
       return TopologyBlock({TopologyGroup({HubInstance(1, Bus(1)), HubInstance(2, Bus(2))})}, 40);
     },
     2, EFI_SUCCESS, 2},
};

INSTANTIATE_TEST_SUITE_P(Trees, TopologyTreeTest, ::testing::ValuesIn(TreeCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// ---------------------------------------------------------------------------
// Where the topology HOB is missing, or comes twice.
// ---------------------------------------------------------------------------
TEST_F(TopologyTest, MissingListOrHobLeavesTheOutPointerAlone) {
  P().hobs.HasTopologyHob = false;
  P().hobs.Install();
  Result R = Lookup(0);
  EXPECT_EQ(R.Status, EFI_NOT_FOUND);
  EXPECT_EQ(R.Descriptor, Untouched);

  P().hobs.Remove();
  R = Lookup(0);
  EXPECT_EQ(R.Status, EFI_NOT_FOUND);
  EXPECT_EQ(R.Descriptor, Untouched);
}

TEST_F(TopologyTest, OnlyTheFirstTopologyHobIsSearched) {
  const TopologyBlock First({TopologyGroup({HubInstance(1, Bus(1))})});
  const TopologyBlock Second({TopologyGroup({HubInstance(2, Bus(2))})});
  sim::HobList List;
  List.AddGuid(gTevHeapHobGuid);
  const size_t FirstAt = List.NextOffset();
  List.AddRaw(First.Bytes()).AddRaw(Second.Bytes()).AddEnd();
  P().hobs.Install(List);

  Result R = Lookup(1);
  ASSERT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(R.Descriptor), P().hobs.HobAt(FirstAt) + First.DescriptorOffset(1));
  R = Lookup(2);
  EXPECT_EQ(R.Status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(R.Descriptor, nullptr);
}

TEST_F(TopologyTest, EachLookupReadsTheConfigurationTableAfresh) {
  ASSERT_EQ(Lookup(3).Status, EFI_SUCCESS);
  UseTopology(TopologyBlock({HubInstance(42, Bus(0x42))}));
  EXPECT_EQ(Lookup(3).Status, EFI_INVALID_PARAMETER);
  const Result R = Lookup(42);
  ASSERT_EQ(R.Status, EFI_SUCCESS);
  const UINT32 Address = R.Descriptor->PciAddress;
  EXPECT_EQ(Address, Bus(0x42));
}

// ---------------------------------------------------------------------------
// Broken blocks: the walk rules end inside the block, never loop. The block
// lies in memory of exactly its size, so an over-read is caught.
// ---------------------------------------------------------------------------
struct BrokenCase {
  const char *Name;
  std::function<TopologyBlock()> Block;
  std::vector<uint8_t> Visited;  // instance ids the walk visits, in order
};

void PrintTo(const BrokenCase &Case, std::ostream *Os) { *Os << Case.Name; }

class BrokenTopologyTest : public TopologyTest, public ::testing::WithParamInterface<BrokenCase> {};

// Three instances 1, 2, 3 (descriptors 1..3) under a root (descriptor 0).
TopologyBlock ThreeInstances() {
  return TopologyBlock({TopologyGroup({HubInstance(1, Bus(1)), HubInstance(2, Bus(2)), HubInstance(3, Bus(3))})});
}
constexpr size_t ThreeInstancesSize = 24 + 4 * 18;  // 96, already a multiple of 8

TEST_P(BrokenTopologyTest, WalkEndsInsideTheBlock) {
  const TopologyBlock Block = GetParam().Block();
  sim::ExactBuffer Mem(Block.Bytes());
  const UINTN Size = PIRN_SYMBOL(Img(), TopologyBlockSize)(Mem.Data());
  ASSERT_LE(Size, Mem.Size()) << "the case must not claim more bytes than it has";

  auto Head = PIRN_SYMBOL(Img(), TopologyInstanceListHead);
  auto Next = PIRN_SYMBOL(Img(), TopologyNextInstance);
  std::vector<uint8_t> Visited;
  for (const TOPOLOGY_DESCRIPTOR *D = Head(Mem.Data(), Size); D != nullptr && Visited.size() < 16;
       D = Next(Mem.Data(), Size, D)) {
    Visited.push_back(D->InstanceId);
  }
  EXPECT_EQ(Visited, GetParam().Visited);

  // The lookup over the same block as the topology HOB ends the same way
  // (where the length still steps to the next HOB correctly).
  if (Size != Mem.Size()) {
    return;
  }
  UseTopology(Block);
  for (UINT32 Id = 1; Id <= 3; Id++) {
    const bool Reached = std::find(Visited.begin(), Visited.end(), Id) != Visited.end();
    EXPECT_EQ(Lookup(Id).Status, Reached ? EFI_SUCCESS : EFI_INVALID_PARAMETER) << "id " << Id;
  }
}

const BrokenCase BrokenCases[] = {
    {"WellFormed", ThreeInstances, {1, 2, 3}},
    {"SiblingOffsetZeroWithoutLastFlag", [] { return ThreeInstances().SetSiblingOffset(2, 0); }, {1, 2}},
    {"LastDescriptorLacksItsFlag", [] { return ThreeInstances().SetFlags(3, TopologyFlagInstance); }, {1, 2, 3}},
    {"SiblingOffsetLeadsPastTheBlock", [] { return ThreeInstances().SetSiblingOffset(1, 0xFFF0); }, {1}},
    {"SiblingOffsetLeavesADescriptorHalfOutside",
     [] { return ThreeInstances().SetSiblingOffset(1, ThreeInstancesSize - 10 - (24 + 18)); },
     {1}},
    {"ChildOffsetLeadsPastTheBlock", [] { return ThreeInstances().SetChildOffset(0, 0x8000); }, {}},
    {"ChildOffsetZeroAboveTheInstances", [] { return ThreeInstances().SetChildOffset(0, 0); }, {}},
    {"LengthCutsTheLastDescriptor",
     [] { return ThreeInstances().SetLength(static_cast<uint16_t>(ThreeInstancesSize - 1)); },
     {1, 2}},
    {"LengthCutsTheFirstDescriptor", [] { return ThreeInstances().SetLength(24 + 17); }, {}},
    {"LengthBelowThePrefix", [] { return ThreeInstances().SetLength(8); }, {}},
    {"BlockOfThePrefixOnly", [] { return TopologyBlock({}); }, {}},
};

INSTANTIATE_TEST_SUITE_P(Blocks, BrokenTopologyTest, ::testing::ValuesIn(BrokenCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(TopologyTest, WalkOfANullBlockFindsNothing) {
  EXPECT_EQ(PIRN_SYMBOL(Img(), TopologyBlockSize)(nullptr), 0u);
  EXPECT_EQ(PIRN_SYMBOL(Img(), TopologyInstanceListHead)(nullptr, 0x1000), nullptr);
}

}  // namespace
