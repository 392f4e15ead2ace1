// The debug-print driver's formatter and recorder, and the PCD database.
#include <gtest/gtest.h>

#include "firmware/Firmware.h"
#include "sim/DebugPrint.h"
#include "sim/Firmware.h"
#include "sim/Pcd.h"

namespace {

// Calls the protocol the way the driver's TracePrint does: the arguments
// after the format behind a firmware-convention VA_LIST.
EFI_STATUS EFIAPI CallPrint(TEV_DEBUG_PRINT_PROTOCOL *Protocol, UINT64 Filter, const char *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  const EFI_STATUS Status = Protocol->Print(Filter, Format, Marker);
  VA_END(Marker);
  return Status;
}

struct FormatCase {
  const char *Format;
  UINT64 A;
  UINT64 B;
  const char *Expected;
};

const char kName[] = "TevPirnBaseDxeEntry";

const FormatCase kCases[] = {
    {"%a Entry\n", reinterpret_cast<UINT64>(kName), 0, "TevPirnBaseDxeEntry Entry\n"},
    {"KORVU_TP:[%x]\n", 0xB000A902, 0, "KORVU_TP:[B000A902]\n"},
    {"%x", 0x12345678000000ABULL, 0, "AB"},  // 32 bits unless 'l'
    {"%lx|%llx", 0x123456789AULL, 0x1ULL << 40, "123456789A|10000000000"},
    {"%08x|%8x|", 0x1F, 0x1F, "0000001F|      1F|"},
    {"%-4x|%-4a|", 0x1F, reinterpret_cast<UINT64>("ab"), "1F  |ab  |"},
    {"%X", 0xAB, 0, "000000AB"},
    {"%d %d", 0xFFFFFFFFFFFFFFFBULL, 0xDEADBEEF00000007ULL, "-5 7"},
    {"%ld|%u", 0xFFFFFFFFFFFFFFFBULL, 0xFFFFFFFF, "-5|4294967295"},
    {"%5d|%05d", 42, 42, "   42|00042"},
    {"%r", EFI_SUCCESS, 0, "Success"},
    {"%r", EFI_NOT_FOUND, 0, "Not Found"},
    {"%r", EFI_INVALID_PARAMETER, 0, "Invalid Parameter"},
    {"%r", EFI_OUT_OF_RESOURCES, 0, "Out of Resources"},
    {"%r|%r", EFI_UNSUPPORTED, EFI_DEVICE_ERROR, "Unsupported|Device Error"},
    {"100%% %c", 'x', 0, "100% x"},
    {"%a", 0, 0, "<null string>"},
};

void PrintTo(const FormatCase &C, std::ostream *Os) { *Os << '"' << C.Format << '"'; }

class SimDebugPrint : public ::testing::TestWithParam<FormatCase> {};

TEST_P(SimDebugPrint, FormatsLikeTheFirmwarePrintLibrary) {
  sim::DebugPrint Dp;
  const FormatCase &C = GetParam();
  EXPECT_EQ(CallPrint(Dp.Protocol(), FilterFlow, C.Format, C.A, C.B), EFI_SUCCESS);
  ASSERT_EQ(Dp.Lines().size(), 1u);
  EXPECT_EQ(Dp.Lines()[0].Text, C.Expected);
  EXPECT_EQ(Dp.Lines()[0].Format, C.Format);
  EXPECT_EQ(Dp.Lines()[0].Filter, FilterFlow);
}

INSTANTIATE_TEST_SUITE_P(Conversions, SimDebugPrint, ::testing::ValuesIn(kCases));

TEST(SimDebugPrintProtocol, InstalledRecordsFilterAndReturnsItsStatus) {
  sim::Firmware Fw;
  sim::DebugPrint Dp;
  Dp.Install(Fw);
  auto *P = static_cast<TEV_DEBUG_PRINT_PROTOCOL *>(Fw.FindProtocol(gTevDebugPrintProtocolGuid));
  ASSERT_EQ(P, Dp.Protocol());
  Dp.SetStatus(EFI_DEVICE_ERROR);
  EXPECT_EQ(CallPrint(P, FilterTestPoint, "KORVU_TP:[%x]\n", 0xB000A903ULL), EFI_DEVICE_ERROR);
  EXPECT_EQ(Dp.Texts(FilterTestPoint), std::vector<std::string>{"KORVU_TP:[B000A903]\n"});
  EXPECT_TRUE(Dp.Texts(FilterFlow).empty());

  EXPECT_EQ(sim::FilterName(FilterError), "ERROR");
  EXPECT_EQ(sim::FilterName(FilterFlow), "FLOW");
  EXPECT_EQ(sim::FilterName(FilterHub), "HUB");
  EXPECT_EQ(sim::FilterName(FilterTestPoint), "TESTPOINT");
  EXPECT_EQ(sim::FilterName(0x40), "0x40");
}

TEST(SimPcd, AccessorsTruncateLogEveryCallAndFlagUnknownTokens) {
  sim::Firmware Fw;
  sim::PcdDatabase Db;
  Db.Set(0x4A5, 0x1122334455667788ULL);
  Db.Set(0x352, 1);
  Db.Set(1345, 0);
  Db.Set(gTevPcdTokenSpaceGuid, 0x27001, 0xCAFE);
  Db.Install(Fw, true, false);
  ASSERT_EQ(Fw.FindProtocol(gEfiPcdProtocolGuid), nullptr) << "the PI protocol was left out";
  auto *Pcd = static_cast<PCD_PROTOCOL *>(Fw.FindProtocol(gPcdProtocolGuid));
  ASSERT_NE(Pcd, nullptr);
  EFI_PCD_PROTOCOL *Pi = Db.PiPcdProtocol();

  EXPECT_EQ(Pcd->Get8(0x4A5), 0x88);
  EXPECT_EQ(Pcd->Get32(0x4A5), 0x55667788u);
  EXPECT_EQ(Pcd->GetBool(0x352), TRUE);
  EXPECT_EQ(Pcd->Get64(999), 0u);
  EXPECT_EQ(Pcd->Set64(1345, 0xABCD), EFI_SUCCESS);
  EXPECT_EQ(Pcd->Set64(998, 1), EFI_NOT_FOUND);
  EXPECT_EQ(Pi->Get64(&gTevPcdTokenSpaceGuid, 0x27001), 0xCAFEu);
  EXPECT_EQ(Pi->Get64(&gTevPcdTokenSpaceGuid, 0x4A5), 0u) << "token spaces are apart";

  EXPECT_EQ(Db.Peek(1345), 0xABCDu);
  EXPECT_FALSE(Db.Peek(998).has_value());
  const std::vector<std::tuple<std::string, UINTN, uint64_t, bool>> Expected = {
      {"Get8", 0x4A5, 0x88, true},        {"Get32", 0x4A5, 0x55667788, true}, {"GetBool", 0x352, 1, true},
      {"Get64", 999, 0, false},           {"Set64", 1345, 0xABCD, true},      {"Set64", 998, 1, false},
      {"PiGet64", 0x27001, 0xCAFE, true}, {"PiGet64", 0x4A5, 0, false},
  };
  ASSERT_EQ(Db.Calls().size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); I++) {
    const auto &Call = Db.Calls()[I];
    EXPECT_EQ(std::tie(Call.Accessor, Call.Token, Call.Value, Call.Known), Expected[I]) << "call " << I;
  }
  EXPECT_TRUE(GuidEqual(Db.Calls()[6].Guid, gTevPcdTokenSpaceGuid));
  EXPECT_TRUE(Db.Violations().empty());
}

}  // namespace
