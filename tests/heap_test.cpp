// Heap migration: heap HOBs become a linked heap list in pool memory,
// published through the heap-list protocol, or an installed list is joined.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "platform/PlatformData.h"
#include "sim/HeapHobBuilder.h"
#include "sim/PlatformHobs.h"

namespace {

using sim::Access;
using sim::AccessKind;
using sim::HeapHob;

HeapHob Hob(std::vector<uint8_t> Data, uint8_t PoolSelector = 0) {
  HeapHob H;
  H.Data = std::move(Data);
  H.PoolSelector = PoolSelector;
  return H;
}

// What AssertHalt leaves on the bus when a simulator answers the query.
std::vector<Access> AssertionAccesses(uint32_t Code) {
  return {
      {AccessKind::PortWrite, 2, 0xE0, 0xDEAD},  // assertion mark
      {AccessKind::PortWrite, 4, 0x80, Code},    // the code on the post port
      {AccessKind::SimulatorQuery, 2, Code, 1},  // simulator answers: the halt returns
  };
}

class HeapTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    *PIRN_SYMBOL(Img(), mSystemTable) = Fw().SystemTable();
    *PIRN_SYMBOL(Img(), mBootServices) = Fw().BootServices();
    M().ClearLog();
    Fw().ClearCalls();
  }

  void UseHeapHobs(std::vector<HeapHob> Hobs) {
    P().hobs.HeapHobs = std::move(Hobs);
    P().hobs.Install();
  }

  void EnableAssertions() { PIRN_SYMBOL(Img(), DiagConfig)->AssertEnable = 1; }

  EFI_STATUS Construct() {
    EFI_STATUS Status = EFI_ABORTED;
    auto Fn = PIRN_SYMBOL(Img(), TevHeapLibConstructor);
    EXPECT_TRUE(P().Run([&] { Status = Fn(); })) << M().LastStop().Message;
    return Status;
  }

  TEV_HEAP_LIST_PROTOCOL *Own() { return PIRN_SYMBOL(Img(), mHeapListProtocol); }
  LIST_LINK *Head() { return *PIRN_SYMBOL(Img(), mHeapListHead); }
  std::vector<const HEAP_NODE *> Nodes() { return sim::HeapListForward(Head()); }

  const sim::Firmware::Allocation *PoolOf(const void *Buffer) {
    for (const auto &A : Pool) {
      if (A.Buffer == Buffer) {
        return &A;
      }
    }
    return nullptr;
  }

  // Checks that Node is a faithful copy of heap HOB Index of the installed
  // list, in pool memory of the right type and size.
  void ExpectCopyOf(const HEAP_NODE *Node, size_t Index) {
    SCOPED_TRACE("heap HOB " + std::to_string(Index));
    const uint8_t *HobBytes = P().hobs.HobAt(P().hobs.HeapHobOffsets().at(Index));
    const HeapHob &Source = P().hobs.HeapHobs.at(Index);
    EXPECT_EQ(std::memcmp(&Node->Header, HobBytes + HeapHobHeaderOffset, sizeof(HEAP_HEADER)), 0);
    const uint8_t *Data = reinterpret_cast<const uint8_t *>(Node) + sizeof(HEAP_NODE);
    EXPECT_EQ(std::vector<uint8_t>(Data, Data + Source.Data.size()), Source.Data);
    Pool = Fw().LiveAllocations();
    const sim::Firmware::Allocation *A = PoolOf(Node);
    ASSERT_NE(A, nullptr) << "node not in pool memory";
    EXPECT_EQ(A->Size, sizeof(HEAP_NODE) + Source.HeaderDataSize());
    EXPECT_EQ(A->Type, Source.PoolSelector == HeapPoolRuntime ? EfiRuntimeServicesData : EfiBootServicesData);
  }

  // The driver's own instance is published with an empty list: both links
  // of its head point at the head.
  void ExpectEmptyListPublished() {
    EXPECT_EQ(Fw().FindProtocol(gTevHeapListProtocolGuid), Own());
    EXPECT_EQ(Own()->Head.ForwardLink, &Own()->Head);
    EXPECT_EQ(Own()->Head.BackLink, &Own()->Head);
    EXPECT_EQ(Head(), &Own()->Head);
  }

  std::vector<sim::Firmware::Allocation> Pool;
};

// ---------------------------------------------------------------------------
// Migration on the default platform.
// ---------------------------------------------------------------------------
TEST_F(HeapTest, DefaultBootPublishesTheHeapListInHobOrder) {
  ASSERT_EQ(Boot(), EFI_SUCCESS);

  EXPECT_EQ(Fw().FindProtocol(gTevHeapListProtocolGuid), Own());
  EXPECT_EQ(Own()->Revision, 1u);
  EXPECT_EQ(Head(), &Own()->Head);
  // Default heap HOBs: A (boot data) and B (runtime data) migrate, C does not.
  const auto Forward = Nodes();
  ASSERT_EQ(Forward.size(), 2u);
  ExpectCopyOf(Forward[0], 0);
  ExpectCopyOf(Forward[1], 1);
  EXPECT_EQ(sim::HeapListBackward(Head()), (std::vector<const HEAP_NODE *>{Forward[1], Forward[0]}));
}

TEST_F(HeapTest, ThreeMigratableHobsAreLinkedBothWaysInHobOrder) {
  HeapHob Skipped = Hob({1, 2, 3});
  Skipped.Signature = 0x51414548;  // "HEAQ"
  UseHeapHobs({Hob({0xA0, 0xA1}), Skipped, Hob({0xB0}, HeapPoolRuntime), Hob({0xC0, 0xC1, 0xC2})});

  EXPECT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mHobListCache), P().hobs.List()->Data()) << "the list is fetched when not cached";

  const auto Forward = Nodes();
  ASSERT_EQ(Forward.size(), 3u);
  ExpectCopyOf(Forward[0], 0);
  ExpectCopyOf(Forward[1], 2);
  ExpectCopyOf(Forward[2], 3);
  // head -> A -> B -> C -> head, and back.
  LIST_LINK *H = Head();
  auto Link = [](const HEAP_NODE *N) { return const_cast<LIST_LINK *>(&N->Link); };
  EXPECT_EQ(H->ForwardLink, Link(Forward[0]));
  EXPECT_EQ(Forward[0]->Link.BackLink, H);
  EXPECT_EQ(Forward[1]->Link.BackLink, Link(Forward[0]));
  EXPECT_EQ(Forward[2]->Link.BackLink, Link(Forward[1]));
  EXPECT_EQ(Forward[2]->Link.ForwardLink, H);
  EXPECT_EQ(H->BackLink, Link(Forward[2]));
  EXPECT_TRUE(M().Log().empty()) << "migration touches no hardware";
}

TEST_F(HeapTest, InstalledListIsJoinedAndNothingElseHappens) {
  sim::InstalledHeapList Other;
  Fw().InstallProtocol(gTevHeapListProtocolGuid, &Other.Protocol);
  Fw().ClearCalls();
  const size_t Allocations = Fw().AllocationCount();

  EXPECT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_EQ(Head(), &Other.Protocol.Head);
  EXPECT_TRUE(sim::HeapListForward(&Other.Protocol.Head).empty()) << "no HOB migrated into the joined list";
  EXPECT_EQ(Fw().AllocationCount(), Allocations);
  EXPECT_EQ(Fw().CallCount("InstallProtocolInterface"), 0u);
  EXPECT_EQ(Fw().ProtocolCount(gTevHeapListProtocolGuid), 1u);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mHobListCache), nullptr) << "the HOB list is not even fetched";
}

TEST_F(HeapTest, WithoutHeapHobsAnEmptyListIsPublished) {
  UseHeapHobs({});
  EXPECT_EQ(Construct(), EFI_SUCCESS);
  ExpectEmptyListPublished();
}

TEST_F(HeapTest, WithoutAHobListAnEmptyListIsPublished) {
  P().hobs.Remove();
  EXPECT_EQ(Construct(), EFI_SUCCESS);
  ExpectEmptyListPublished();
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mHobListCache), nullptr);
}

// ---------------------------------------------------------------------------
// Which heap HOBs get a node, and from which pool.
// ---------------------------------------------------------------------------
struct SelectCase {
  const char *Name;
  HeapHob Hob;
  bool Migrates;
};

HeapHob With(void (*Edit)(HeapHob &)) {
  HeapHob H = Hob({0x10, 0x20, 0x30, 0x40, 0x50});
  Edit(H);
  return H;
}

const SelectCase SelectCases[] = {
    {"Plain", With([](HeapHob &) {}), true},
    {"WrongSignature", With([](HeapHob &H) { H.Signature = 0x48454150; }), false},
    {"MigrateFlag0", With([](HeapHob &H) { H.MigrateFlag = 0; }), false},
    {"MigrateFlag2", With([](HeapHob &H) { H.MigrateFlag = 2; }), false},
    {"PoolSelector8IsRuntimeData", With([](HeapHob &H) { H.PoolSelector = 8; }), true},
    {"PoolSelector4IsBootData", With([](HeapHob &H) { H.PoolSelector = 4; }), true},
    {"PoolSelector9IsBootData", With([](HeapHob &H) { H.PoolSelector = 9; }), true},
    {"UninterpretedFieldsAreCopied", With([](HeapHob &H) {
       H.Reserved4 = 0xDEADBEEF;
       H.Reserved14 = 0xFACE;
     }),
     true},
    {"DataSize0IsHeaderOnly", With([](HeapHob &H) { H.Data.clear(); }), true},
    {"DataSizeWithinThePadding", With([](HeapHob &H) { H.DataSize = 8; }), true},  // 5 bytes + 3 of padding
    {"DataSizeBeyondTheHob", With([](HeapHob &H) { H.DataSize = 0x1000; }), false},
    {"DataSizeOneBeyondTheHob", With([](HeapHob &H) { H.DataSize = 9; }), false},
};

void PrintTo(const SelectCase &Case, std::ostream *Os) { *Os << Case.Name; }

class HeapSelectTest : public HeapTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(HeapSelectTest, NodeOrNot) {
  // The HOB under test is the last before the end of the list, which lies in
  // memory of exactly its size: copying past the HOB would be caught.
  UseHeapHobs({Hob({0xEE}), GetParam().Hob});
  const size_t Allocations = Fw().AllocationCount();
  EXPECT_EQ(Construct(), EFI_SUCCESS);
  const auto Forward = Nodes();
  ASSERT_EQ(Forward.size(), GetParam().Migrates ? 2u : 1u);
  ExpectCopyOf(Forward[0], 0);
  if (GetParam().Migrates) {
    ExpectCopyOf(Forward[1], 1);
  }
  EXPECT_EQ(Fw().AllocationCount() - Allocations, Forward.size());
}

INSTANTIATE_TEST_SUITE_P(Hobs, HeapSelectTest, ::testing::ValuesIn(SelectCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(HeapTest, HeapHobShorterThanItsHeaderGetsNoNode) {
  sim::HobList List;
  const std::vector<uint8_t> HalfHeader = {0x48, 0x45, 0x41, 0x50, 0, 0, 0, 0};  // "HEAP", then the HOB ends
  List.AddGuid(gTevHeapHobGuid, HalfHeader).AddEnd();
  P().hobs.Install(List);
  const size_t Allocations = Fw().AllocationCount();
  EXPECT_EQ(Construct(), EFI_SUCCESS);
  EXPECT_TRUE(Nodes().empty());
  EXPECT_EQ(Fw().AllocationCount(), Allocations);
}

// ---------------------------------------------------------------------------
// Failures: node allocation and protocol installation.
// ---------------------------------------------------------------------------
struct AllocFailCase {
  const char *Name;
  uint8_t PoolSelector;
  bool Assertions;
  uint32_t Code;
};

void PrintTo(const AllocFailCase &Case, std::ostream *Os) { *Os << Case.Name; }

class HeapAllocFailTest : public HeapTest, public ::testing::WithParamInterface<AllocFailCase> {};

TEST_P(HeapAllocFailTest, HobIsLeftOutAndMigrationGoesOn) {
  const AllocFailCase &Case = GetParam();
  UseHeapHobs({Hob({1}), Hob({2}, Case.PoolSelector), Hob({3})});
  if (Case.Assertions) {
    EnableAssertions();
  }
  Fw().FailAllocation(2);

  EXPECT_EQ(Construct(), EFI_SUCCESS);
  const auto Forward = Nodes();
  ASSERT_EQ(Forward.size(), 2u);
  ExpectCopyOf(Forward[0], 0);
  ExpectCopyOf(Forward[1], 2);
  EXPECT_EQ(Fw().FindProtocol(gTevHeapListProtocolGuid), Own());
  EXPECT_EQ(M().Log(), Case.Assertions ? AssertionAccesses(Case.Code) : std::vector<Access>{});
}

INSTANTIATE_TEST_SUITE_P(Pools, HeapAllocFailTest,
                         ::testing::Values(AllocFailCase{"BootData", 0, true, AssertHeapBootAlloc},
                                           AllocFailCase{"RuntimeData", HeapPoolRuntime, true, AssertHeapRuntimeAlloc},
                                           AllocFailCase{"BootDataAssertionsOff", 0, false, 0},
                                           AllocFailCase{"RuntimeDataAssertionsOff", HeapPoolRuntime, false, 0}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(HeapTest, FailedNodeAllocationLeavesTheOutPointerAlone) {
  UseHeapHobs({});
  ASSERT_EQ(Construct(), EFI_SUCCESS);  // sets up the list head
  const HEAP_HEADER Header = Hob({1, 2, 3}).Header();
  HEAP_NODE *const Sentinel = reinterpret_cast<HEAP_NODE *>(0x5EED);
  HEAP_NODE *Node = Sentinel;
  Fw().FailAllocation(1);
  EXPECT_EQ(PIRN_SYMBOL(Img(), CreateHeapNode)(&Header, &Node), EFI_UNSUPPORTED);
  EXPECT_EQ(Node, Sentinel);
  EXPECT_TRUE(Nodes().empty());
}

TEST_F(HeapTest, AssertionHaltsOnHardware) {
  UseHeapHobs({Hob({1})});
  EnableAssertions();
  M().SetSimulatorAnswer(0);
  Fw().FailAllocation(1);
  auto Fn = PIRN_SYMBOL(Img(), TevHeapLibConstructor);
  EXPECT_FALSE(P().Run([&] { Fn(); }));
  EXPECT_EQ(M().LastStop().Reason, sim::StopReason::AssertHalt);
  EXPECT_EQ(M().LastStop().Code, AssertHeapBootAlloc);
}

TEST_F(HeapTest, FailedInstallationIsReturnedAndTheListStaysUnpublished) {
  UseHeapHobs({Hob({1}), Hob({2})});
  EnableAssertions();
  Fw().FailService(sim::Firmware::Service::InstallProtocolInterface, 1, EFI_OUT_OF_RESOURCES);

  EXPECT_EQ(Construct(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw().FindProtocol(gTevHeapListProtocolGuid), nullptr);
  EXPECT_EQ(Nodes().size(), 2u) << "the list built stays in the driver's instance";
  EXPECT_EQ(M().Log(), AssertionAccesses(AssertHeapInstall));
}

}  // namespace
