// HOB list access: finding the list in the configuration table, the cached
// pointer filled at start-up, and the GUID-extension HOB search, well-formed
// and malformed lists alike. None of it touches the hardware.
#include <gtest/gtest.h>

#include <vector>

#include "PlatformFixture.h"
#include "platform/PlatformData.h"
#include "sim/HobBuilder.h"
#include "sim/PlatformHobs.h"

namespace {

constexpr EFI_GUID GuidA = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
// GuidA with only its last byte changed.
constexpr EFI_GUID GuidALastByte = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBC}};
constexpr EFI_GUID GuidB = {0xCAFEF00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04}};
// The HOB-list GUID with its last byte changed.
constexpr EFI_GUID HobListNearMiss = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4E}};

constexpr size_t NotFound = ~static_cast<size_t>(0);

class HobTest : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    *PIRN_SYMBOL(Img(), mSystemTable) = Fw().SystemTable();
    *PIRN_SYMBOL(Img(), mBootServices) = Fw().BootServices();
    M().ClearLog();
  }

  void TearDown() override {
    // Reading the HOB list is plain memory work: no port, MSR or bus access.
    EXPECT_TRUE(M().Log().empty()) << "unexpected access: " << M().Log().front();
    PlatformFixture::TearDown();
  }

  // Offset of the HOB found from StartOffset in Mem, or NotFound.
  size_t Find(sim::ExactBuffer &Mem, const EFI_GUID &Guid, size_t StartOffset) {
    const VOID *Found = PIRN_SYMBOL(Img(), FindGuidExtensionHob)(&Guid, Mem.At(StartOffset));
    return Found == nullptr ? NotFound : static_cast<size_t>(static_cast<const uint8_t *>(Found) - Mem.Data());
  }
};

// ---------------------------------------------------------------------------
// LocateHobList over configuration tables of different shapes.
// ---------------------------------------------------------------------------
struct LocateCase {
  const char *Name;
  std::vector<EFI_GUID> Entries;
  size_t HobListEntry;  // index of the entry expected, or NotFound
};

void PrintTo(const LocateCase &Case, std::ostream *Os) { *Os << Case.Name; }

class LocateHobListTest : public HobTest, public ::testing::WithParamInterface<LocateCase> {};

TEST_P(LocateHobListTest, FindsTheEntryByAllSixteenBytes) {
  const LocateCase &Case = GetParam();
  std::vector<EFI_CONFIGURATION_TABLE> Table;
  std::vector<uint64_t> Tables(Case.Entries.size() + 1);
  for (size_t I = 0; I < Case.Entries.size(); I++) {
    Table.push_back({Case.Entries[I], &Tables[I]});
  }
  EFI_SYSTEM_TABLE System = *Fw().SystemTable();
  System.NumberOfTableEntries = Table.size();
  System.ConfigurationTable = Table.empty() ? nullptr : Table.data();
  *PIRN_SYMBOL(Img(), mSystemTable) = &System;

  VOID *HobList = &Tables.back();  // stale value the call must overwrite
  const EFI_STATUS Status = PIRN_SYMBOL(Img(), LocateHobList)(&HobList);
  if (Case.HobListEntry == NotFound) {
    EXPECT_EQ(Status, EFI_NOT_FOUND);
    EXPECT_EQ(HobList, nullptr);
  } else {
    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(HobList, &Tables[Case.HobListEntry]);
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, LocateHobListTest,
                         ::testing::Values(LocateCase{"ZeroEntries", {}, NotFound},
                                           LocateCase{"OnlyEntry", {gEfiHobListGuid}, 0},
                                           LocateCase{"LastOfThree", {GuidA, gEfiPcdProtocolGuid, gEfiHobListGuid}, 2},
                                           LocateCase{"FirstOfTwoWins", {gEfiHobListGuid, gEfiHobListGuid}, 0},
                                           LocateCase{"LastByteDiffers", {GuidA, HobListNearMiss}, NotFound}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(HobTest, LocateHobListFindsThePlatformList) {
  VOID *HobList = nullptr;
  EXPECT_EQ(PIRN_SYMBOL(Img(), LocateHobList)(&HobList), EFI_SUCCESS);
  EXPECT_EQ(HobList, P().hobs.List()->Data());

  P().hobs.Remove();
  EXPECT_EQ(PIRN_SYMBOL(Img(), LocateHobList)(&HobList), EFI_NOT_FOUND);
  EXPECT_EQ(HobList, nullptr);
}

// ---------------------------------------------------------------------------
// Start-up step 4: fills the cache once.
// ---------------------------------------------------------------------------
TEST_F(HobTest, CacheConstructorFillsOnlyAnEmptyCache) {
  VOID **Cache = PIRN_SYMBOL(Img(), mHobListCache);
  ASSERT_EQ(*Cache, nullptr);

  P().hobs.Remove();
  PIRN_SYMBOL(Img(), HobListCacheConstructor)();
  EXPECT_EQ(*Cache, nullptr) << "no list: the cache stays empty";

  P().hobs.Install();
  VOID *First = P().hobs.List()->Data();
  PIRN_SYMBOL(Img(), HobListCacheConstructor)();
  EXPECT_EQ(*Cache, First);

  P().hobs.Install();  // a new list in the table
  ASSERT_NE(P().hobs.List()->Data(), First);
  PIRN_SYMBOL(Img(), HobListCacheConstructor)();
  EXPECT_EQ(*Cache, First) << "once set, the cache is never changed";
}

// ---------------------------------------------------------------------------
// FindGuidExtensionHob over a well-formed list.
// ---------------------------------------------------------------------------
TEST_F(HobTest, SearchStepsOverOtherHobsAndFindsEachMatchInTurn) {
  const std::vector<uint8_t> Body(20, 0x04);  // bytes that look like GUID-extension types
  sim::HobList List;
  const size_t Handoff = List.NextOffset();
  List.AddHob(0x0001, Body);  // another type
  const size_t NearMiss = List.NextOffset();
  List.AddGuid(GuidALastByte, Body);
  const size_t Other = List.NextOffset();
  List.AddGuid(GuidB);
  const size_t FirstA = List.NextOffset();
  List.AddGuid(GuidA, Body);
  const size_t AfterFirstA = List.NextOffset();
  List.AddHob(0x0003);
  const size_t SecondA = List.NextOffset();
  List.AddGuid(GuidA);
  const size_t AfterSecondA = List.NextOffset();
  List.AddEnd();
  const size_t End = AfterSecondA;
  sim::ExactBuffer Mem(List.Bytes());

  struct Case {
    const char *What;
    const EFI_GUID &Guid;
    size_t Start;
    size_t Expected;
  } Cases[] = {
      {"from the first HOB, past another type and a near miss", GuidA, Handoff, FirstA},
      {"a start HOB that matches is itself returned", GuidA, FirstA, FirstA},
      {"the search after the first match finds the second", GuidA, AfterFirstA, SecondA},
      {"after the last match the end comes first", GuidA, AfterSecondA, NotFound},
      {"from the end-of-list HOB", GuidA, End, NotFound},
      {"the near miss is found by its own GUID", GuidALastByte, Handoff, NearMiss},
      {"a GUID-extension HOB of another name", GuidB, Handoff, Other},
      {"a GUID that is not in the list", gTevHeapHobGuid, Handoff, NotFound},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(Find(Mem, C.Guid, C.Start), C.Expected) << C.What;
  }
}

// ---------------------------------------------------------------------------
// Malformed lists: each search ends without a hang and without reading past
// the list (the list lies in memory of exactly its size).
// ---------------------------------------------------------------------------
struct MalformedCase {
  const char *Name;
  std::vector<uint8_t> (*Build)(size_t &ExpectedOffset);
};

std::vector<uint8_t> Bytes(const sim::HobList &List) { return List.Bytes(); }

std::vector<uint8_t> RawHob(uint16_t Type, uint16_t Length, size_t Size) {
  std::vector<uint8_t> Hob(Size, 0);
  sim::Put16(Hob, 0, Type);
  sim::Put16(Hob, 2, Length);
  return Hob;
}

const MalformedCase MalformedCases[] = {
    {"ZeroLengthHobEndsTheSearch",
     [](size_t &Expected) {
       Expected = NotFound;
       sim::HobList L;
       L.AddHob(0x0001).AddRaw(RawHob(0x0003, 0, 8)).AddGuid(GuidA).AddEnd();
       return Bytes(L);
     }},
    {"LengthBelowTheHeaderEndsTheSearch",
     [](size_t &Expected) {
       Expected = NotFound;
       sim::HobList L;
       L.AddRaw(RawHob(0x0003, 7, 8)).AddGuid(GuidA).AddEnd();
       return Bytes(L);
     }},
    {"ZeroLengthGuidHobEndsTheSearch",
     [](size_t &Expected) {
       Expected = NotFound;
       sim::HobList L;
       L.AddRaw(RawHob(EFI_HOB_TYPE_GUID_EXTENSION, 0, 24)).AddEnd();
       return Bytes(L);
     }},
    {"NoEndHobButZeroedMemoryAfterIt",
     [](size_t &Expected) {
       Expected = NotFound;
       sim::HobList L;
       L.AddGuid(GuidB).AddRaw(std::vector<uint8_t>(8, 0));
       return Bytes(L);
     }},
    {"GuidHobTooShortForItsNameIsSteppedOver",
     [](size_t &Expected) {
       // Type 4 with length 16: its "name" would overlap the next HOB.
       sim::HobList L;
       L.AddRaw(RawHob(EFI_HOB_TYPE_GUID_EXTENSION, 16, 16));
       Expected = L.NextOffset();
       L.AddGuid(GuidA).AddEnd();
       return Bytes(L);
     }},
    {"HeaderOnlyGuidHobAtTheEndIsNotCompared",
     [](size_t &Expected) {
       // Its name would lie past the end of the list.
       Expected = NotFound;
       sim::HobList L;
       L.AddRaw(RawHob(EFI_HOB_TYPE_GUID_EXTENSION, 8, 8)).AddEnd();
       return Bytes(L);
     }},
    {"OddLengthsLeaveLaterHobsUnaligned",
     [](size_t &Expected) {
       sim::HobList L;
       L.AddRaw(RawHob(0x0003, 13, 13)).AddRaw(RawHob(EFI_HOB_TYPE_GUID_EXTENSION, 27, 27));
       Expected = L.NextOffset();
       L.AddGuid(GuidA).AddEnd();
       return Bytes(L);
     }},
};

void PrintTo(const MalformedCase &Case, std::ostream *Os) { *Os << Case.Name; }

class MalformedHobListTest : public HobTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedHobListTest, SearchEndsInsideTheList) {
  size_t Expected = 0;
  sim::ExactBuffer Mem(GetParam().Build(Expected));
  EXPECT_EQ(Find(Mem, GuidA, 0), Expected);
}

INSTANTIATE_TEST_SUITE_P(Lists, MalformedHobListTest, ::testing::ValuesIn(MalformedCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(HobTest, NullStartFindsNothing) {
  EXPECT_EQ(PIRN_SYMBOL(Img(), FindGuidExtensionHob)(&GuidA, nullptr), nullptr);
}

}  // namespace
