// The resume-table decoder over raw bytes: a well-formed block decodes record
// by record; each damaged field is refused with its own reason, one field at
// a time, and nothing is read past the end of the block.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/TableDecoder.h"

namespace {

void Put(std::vector<uint8_t> &B, size_t At, uint64_t Value, unsigned Width) {
  for (unsigned I = 0; I < Width; I++) {
    B[At + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

// A closed table of size 0x4000 with a memory write, a memory poll, a PCI
// write and a PCI poll, as the recorder lays them out.
std::vector<uint8_t> SampleTable() {
  std::vector<uint8_t> B(0x4000 + 4, 0);
  std::memcpy(B.data(), "TS3T", 4);
  Put(B, 4, 1, 4);
  Put(B, 0x20, 0x4000, 8);
  size_t At = 0x30;
  // op 3: width, address, value (24 bytes)
  Put(B, At, 3, 2), Put(B, At + 4, 2, 4), Put(B, At + 8, 0xE02000B8, 8), Put(B, At + 16, 0x0C9109CC, 8), At += 24;
  // op 5: width, address, data, mask, delay (40 bytes)
  Put(B, At, 5, 2), Put(B, At + 4, 2, 4), Put(B, At + 8, 0xE02000BC, 8), Put(B, At + 16, 0x80000101, 8);
  Put(B, At + 24, 0xFFFFFFFF, 8), Put(B, At + 32, 0x1999999A, 8), At += 40;
  // op 6: width, segment (16 bits), address, value (32 bytes)
  Put(B, At, 6, 2), Put(B, At + 4, 2, 4), Put(B, At + 8, 1, 2), Put(B, At + 16, 0x010000B8, 8);
  Put(B, At + 24, 0x1234, 8), At += 32;
  // op 8: width, segment, address, data, mask, delay (48 bytes)
  Put(B, At, 8, 2), Put(B, At + 4, 2, 4), Put(B, At + 8, 1, 2), Put(B, At + 16, 0x010000BC, 8);
  Put(B, At + 24, 0x80000101, 8), Put(B, At + 32, 0xFFFFFFFF, 8), Put(B, At + 40, 0xFFFFFFFF, 8), At += 48;
  Put(B, 0x28, At, 8);
  Put(B, At, 0xFFFF, 2);
  Put(B, 0x4000, 0x01558844, 4);
  return B;
}

TEST(PirnsimTable, DecodesEveryRecordOfAWellFormedTable) {
  const auto B = SampleTable();
  const sim::TableDecodeResult T = sim::DecodeResumeTable(B);
  ASSERT_TRUE(T.Valid) << T.Error;
  EXPECT_EQ(T.TableSize, 0x4000U);
  EXPECT_EQ(T.NextRecordOffset, 0x30U + 24 + 40 + 32 + 48);
  EXPECT_TRUE(T.Terminated);
  EXPECT_TRUE(T.Warnings.empty());
  ASSERT_EQ(T.Records.size(), 4U);
  EXPECT_EQ(T.Records[0].Offset, 0x30U);
  EXPECT_EQ(T.Records[0].Operands, (std::vector<uint64_t>{2, 0xE02000B8, 0x0C9109CC}));
  EXPECT_EQ(T.Records[1].Operands, (std::vector<uint64_t>{2, 0xE02000BC, 0x80000101, 0xFFFFFFFF, 0x1999999A}));
  EXPECT_EQ(T.Records[2].Operands, (std::vector<uint64_t>{2, 1, 0x010000B8, 0x1234}));
  EXPECT_EQ(T.Records[3].Offset, 0x30U + 24 + 40 + 32);
  EXPECT_EQ(T.Records[3].Operands.size(), 6U);
  EXPECT_EQ(sim::TableOpCodeName(8), "PCI_POLL");
}

struct Damage {
  const char *Name;
  void (*Apply)(std::vector<uint8_t> &);
  const char *Reason;
};

class PirnsimTableDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(PirnsimTableDamage, IsRefusedWithItsReason) {
  auto B = SampleTable();
  GetParam().Apply(B);
  const sim::TableDecodeResult T = sim::DecodeResumeTable(B);
  EXPECT_FALSE(T.Valid);
  EXPECT_NE(T.Error.find(GetParam().Reason), std::string::npos) << T.Error;
  // Restored, the same block decodes again: only the one field was at fault.
  EXPECT_TRUE(sim::DecodeResumeTable(SampleTable()).Valid);
}

INSTANTIATE_TEST_SUITE_P(
    OneFieldAtATime, PirnsimTableDamage,
    ::testing::Values(
        Damage{"signature", [](auto &B) { B[3] = 'X'; }, "bad signature"},
        Damage{"end_marker", [](auto &B) { Put(B, 0x4000, 0x01558845, 4); }, "bad end marker"},
        Damage{"size_too_small", [](auto &B) { Put(B, 0x20, 0x3FFC, 8); }, "bad size 0x3FFC"},
        Damage{"size_past_the_end", [](auto &B) { Put(B, 0x20, 0x8000, 8); }, "truncated: the size field says 0x8000"},
        Damage{"size_huge", [](auto &B) { Put(B, 0x20, ~0ULL - 2, 8); }, "truncated"},
        Damage{"size_short_of_the_end", [](auto &B) { B.resize(B.size() + 8); }, "bad size 0x4000"},
        Damage{"truncated_block", [](auto &B) { B.resize(0x2000); }, "truncated"},
        Damage{"truncated_header", [](auto &B) { B.resize(20); }, "truncated: 20 bytes"},
        Damage{"next_offset_below_records", [](auto &B) { Put(B, 0x28, 0x10, 8); }, "bad next-record offset 0x10"},
        Damage{"next_offset_past_the_size", [](auto &B) { Put(B, 0x28, 0x3FFF, 8); }, "bad next-record offset"},
        Damage{"unknown_op_code", [](auto &B) { Put(B, 0x30 + 24, 10, 2); }, "unknown op code 0xA at offset 0x48"},
        Damage{"record_cut_by_next_offset", [](auto &B) { Put(B, 0x28, 0x30 + 24 + 8, 8); },
               "runs past the next-record offset"}),
    [](const ::testing::TestParamInfo<Damage> &Info) { return std::string(Info.param.Name); });

TEST(PirnsimTable, OddButReadableFieldsAreWarnings) {
  auto B = SampleTable();
  Put(B, 4, 2, 4);                // version
  B[0x30 + 24 + 40 + 10] = 0x77;  // reserved byte of the PCI write
  const uint64_t Next = 0x30 + 24 + 40 + 32 + 48;
  Put(B, Next, 0, 2);  // never closed
  const sim::TableDecodeResult T = sim::DecodeResumeTable(B);
  ASSERT_TRUE(T.Valid) << T.Error;
  EXPECT_FALSE(T.Terminated);
  EXPECT_EQ(T.Warnings.size(), 3U);
}

TEST(PirnsimTable, EveryPrefixOfTheBlockIsRefusedWithoutReadingPastIt) {
  // Each prefix lives in a buffer of exactly its size, so a read past the end
  // is an AddressSanitizer report.
  const auto B = SampleTable();
  for (size_t Size : {size_t{0}, size_t{1}, size_t{47}, size_t{48}, size_t{0x100}, B.size() - 1}) {
    std::vector<uint8_t> Prefix(B.begin(), B.begin() + static_cast<long>(Size));
    Prefix.shrink_to_fit();
    EXPECT_FALSE(sim::DecodeResumeTable(Prefix).Valid) << Size;
  }
}

}  // namespace
