// Diagnostics configuration: the 27-byte record loaded from PCD values, and
// the cached PCD-protocol lookup.
#include <gmock/gmock.h>

#include <array>
#include <cstring>

#include "tests/DiagFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct ConfigCase {
  const char *Name;
  bool Pcd;
  bool PiPcd;
  const char *Message;  // the one error line, or null
};

class DiagConfigTest : public DiagFixture, public ::testing::WithParamInterface<ConfigCase> {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    O.Pcd = GetParam().Pcd;
    O.PiPcd = GetParam().PiPcd;
    return O;
  }

  void SetUp() override {
    DiagFixture::SetUp();
    // Distinct values, wider than their fields where a field is narrow.
    Pcd().Set(0x352, 1);
    Pcd().Set(0x4A1, 7);  // a boolean: any non-zero reads as 1
    Pcd().Set(0x454, 0x1F3);
    Pcd().Set(0x4A0, 0x44);
    Pcd().Set(0x4A6, 0x55);
    Pcd().Set(0x4A4, 0x66);
    Pcd().Set(0x4A5, 0x12345678);
    Pcd().Set(0x4A2, 1);
    Pcd().Set(0x45E, 0xA1B2C3D4);
    Pcd().Set(0x45D, 0x0BADF00D);
    Pcd().Set(0x4A3, 0x77);
    AttachFirmware();
    // Leftovers the record must not keep.
    std::memset(&Config(), 0xEE, sizeof(DIAG_CONFIG));
  }

  std::array<uint8_t, 27> Bytes() {
    std::array<uint8_t, 27> Out{};
    std::memcpy(Out.data(), &Config(), Out.size());
    return Out;
  }
};

TEST_P(DiagConfigTest, LoadsTheRecordOnlyWithBothProtocols) {
  RunDriver([this] { PIRN_SYMBOL(Img(), TevCfgPcdBufLibDxeConstructor)(); });

  std::vector<std::string> Getters;
  for (const auto &C : Pcd().Calls()) {
    Getters.push_back(C.Accessor + " " + std::to_string(C.Token));
  }
  if (GetParam().Message != nullptr) {
    EXPECT_EQ(Bytes(), (std::array<uint8_t, 27>{})) << "the record stays all zero";
    EXPECT_THAT(Getters, IsEmpty());
    EXPECT_THAT(Trace().Texts(FilterError), ElementsAre(GetParam().Message));
    return;
  }

  const std::array<uint8_t, 27> Expected = {
      1,    1,    3,    0x80, 0x00,                    // port enable, fixed, width, port 0x0080
      1,    1,    1,    0xF3, 0x44, 0x55, 0x66,        // assert, mirror, scratch, selectors, 4A6, 4A4
      0x78, 0x56, 0x34, 0x12,                          // mirror register
      1,                                               // 4A2
      0xD4, 0xC3, 0xB2, 0xA1, 0x0D, 0xF0, 0xAD, 0x0B,  // 45E at 17, 45D at 21: no gap after byte 16
      0x77, 2};
  EXPECT_EQ(Bytes(), Expected);
  // Eleven getter calls, in this order.
  EXPECT_THAT(Getters, ElementsAre("GetBool 850", "GetBool 1185", "Get8 1108", "Get8 1184", "Get8 1190", "Get8 1188",
                                   "Get32 1189", "GetBool 1186", "Get32 1118", "Get32 1117", "Get8 1187"));
  EXPECT_THAT(Trace().Texts(FilterError), IsEmpty());
  // Loading the record touches no hardware.
  EXPECT_THAT(ProcessorAccesses(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, DiagConfigTest,
    ::testing::Values(
        ConfigCase{"Both", true, true, nullptr},
        ConfigCase{"Neither", false, false,
                   "[TevCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\n"},
        ConfigCase{"NoPcd", false, true,
                   "[TevCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\n"},
        ConfigCase{"NoPiPcd", true, false,
                   "[TevCfgPcdBufLibDxeConstructor] LocateProtocol: gEfiPcdProtocolGuid, Status: Not Found\n"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

class PcdLookupTest : public DiagFixture {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    O.Pcd = false;
    return O;
  }
};

TEST_F(PcdLookupTest, RetriesUntilFoundThenServesTheCache) {
  AttachFirmware();
  auto Get = PIRN_SYMBOL(Img(), GetPcdProtocol);

  PCD_PROTOCOL *First = reinterpret_cast<PCD_PROTOCOL *>(1);
  RunDriver([&] { First = Get(); });
  EXPECT_EQ(First, nullptr);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mPcdProtocol), nullptr);

  Fw().InstallProtocol(gPcdProtocolGuid, Pcd().PcdProtocol());
  PCD_PROTOCOL *Second = nullptr;
  PCD_PROTOCOL *Third = nullptr;
  RunDriver([&] {
    Second = Get();
    Third = Get();
  });
  EXPECT_EQ(Second, Pcd().PcdProtocol());
  EXPECT_EQ(Third, Pcd().PcdProtocol());
  // Two locates: the failed one and the one that found it.
  EXPECT_EQ(Fw().CallCount("LocateProtocol"), 2u);
}

}  // namespace
