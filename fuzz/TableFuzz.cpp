// Fuzz target: the resume table's check and a sequence of appends over
// arbitrary table bytes.
//
// The platform boots and reaches SMM ready-to-lock, so the driver's shared
// record and its 0x4000-byte table (a pool block of 0x4004 bytes) exist.
// Each input then rewrites, through the model's back door:
//   byte 0       the record's ScriptLocked byte
//   byte 1       the record's TableClosed byte
//   bytes 2..5   the 32-bit end marker at the table size the image knows
//   byte 6       how many appends follow (modulo 17)
//   50 bytes     per append: the 16-bit op code and six 64-bit operands
//   the rest     the table block from offset 0 (signature, version, size,
//                next-record offset, records, ...), zero beyond the input
// and calls the driver's S3TableCheck and S3TableAppend for each append. The
// record's Table pointer is the one thing never fuzzed: it is the block.
//
// Checks: the check passes only when the header fits the block (signature,
// the known size, the next-record offset leaving room for the terminator,
// the end marker); an append that reports 0 while recording is due adds
// exactly one record at the old next-record offset, which decodes to the
// op code and operands passed, and moves the offset by its size; every
// other append (status 7, or 0 with nothing due) leaves the whole block
// untouched; status 7 comes only while recording is due.
//
// Nothing the driver caches changes between inputs: the block is rewritten
// and the model's records are cleared.
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "s3save/S3Save.h"
#include "sim/TableDecoder.h"

namespace {

sim::Platform *Plat;
TEV_S3_LIB_PRIVATE_DATA *Record;
uint8_t *Block;
uint64_t KnownSize;
size_t BlockSize;

uint64_t HeaderField(size_t Offset) {
  uint64_t Value;
  std::memcpy(&Value, Block + Offset, sizeof Value);
  return Value;
}

// The header as the check must see it to pass.
bool HeaderSound() {
  uint32_t Signature;
  std::memcpy(&Signature, Block, sizeof Signature);
  const uint64_t Size = HeaderField(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, TableSize));
  const uint64_t Next = HeaderField(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset));
  if (Signature != S3TableSignature || Size != KnownSize || Next < S3TableFirstRecord || Next > Size - 2) {
    return false;
  }
  uint32_t Marker;
  std::memcpy(&Marker, Block + Size, sizeof Marker);
  return Marker == S3TableEndMarker;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Plat = &fuzz::BootedPlatform({});
  sim::Platform &P = *Plat;
  fuzz::Check(P.InstallSmmReadyToLock(), "ready-to-lock stopped");
  Record = *PIRN_SYMBOL(P.Image(), mTevS3LibPrivateData);
  fuzz::Check(Record != nullptr && Record->Table != 0 && Record->ScriptLocked == 1, "no locked table after start-up");
  Block = reinterpret_cast<uint8_t *>(Record->Table);
  KnownSize = *PIRN_SYMBOL(P.Image(), mS3TableSize);
  BlockSize = KnownSize + sizeof(UINT32);
  P.ClearRecords();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  sim::Platform &P = *Plat;
  fuzz::Reader In({Data, Size});
  Record->ScriptLocked = In.U8();
  Record->TableClosed = In.U8();
  const uint32_t Marker = In.U32();
  const unsigned Appends = In.U8() % 17;
  struct Append {
    uint16_t OpCode;
    uint64_t Operands[6];
  } Calls[16];
  for (unsigned I = 0; I < Appends; I++) {
    Calls[I].OpCode = In.U16();
    for (uint64_t &Operand : Calls[I].Operands) {
      Operand = In.U64();
    }
  }
  const std::span<const uint8_t> Image = In.Rest();
  std::memset(Block, 0, BlockSize);
  std::memcpy(Block, Image.data(), std::min(Image.size(), BlockSize));
  std::memcpy(Block + KnownSize, &Marker, sizeof Marker);

  auto *Check = PIRN_SYMBOL(P.Image(), S3TableCheck);
  auto *AppendRecord = PIRN_SYMBOL(P.Image(), S3TableAppend);
  std::vector<uint8_t> Before(BlockSize);
  for (unsigned I = 0; I < Appends; I++) {
    const Append &A = Calls[I];
    UINT8 Checked = 0xEE;
    fuzz::MustRun(P, [&] { Checked = Check(); });
    fuzz::Check(Checked == S3Success || Checked == S3Failure, "the check returned another status byte");
    const bool Sound = HeaderSound();
    fuzz::Check((Checked == S3Success) == Sound, "the check disagrees with the header");

    const bool Due = Record->ScriptLocked == 1 && Record->TableClosed == 0;
    const uint64_t RecordSize = sim::TableRecordSize(A.OpCode);
    const uint64_t Next = HeaderField(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset));
    const bool Fits = Sound && A.OpCode <= S3OpMax && Next + RecordSize + 2 <= KnownSize;
    std::memcpy(Before.data(), Block, BlockSize);
    UINT8 Status = 0xEE;
    fuzz::MustRun(P, [&] {
      Status = AppendRecord(A.OpCode, A.Operands[0], A.Operands[1], A.Operands[2], A.Operands[3], A.Operands[4],
                            A.Operands[5]);
    });
    fuzz::Check(Status == S3Success || Status == S3Failure, "an append returned another status byte");
    if (!Due) {
      fuzz::Check(Status == S3Success, "an append failed while nothing was due");
    }
    if (!(Due && Status == S3Success && Fits && RecordSize != 0)) {
      fuzz::Check(std::memcmp(Before.data(), Block, BlockSize) == 0,
                  "an append that recorded nothing changed the table");
      if (Due && Sound && A.OpCode <= S3OpMax) {
        fuzz::Check(Status == S3Failure && !Fits, "a record that fits was refused or lost");
      }
      if (Due && !Sound) {
        fuzz::Check(Status == S3Failure, "an append into a broken table reported success");
      }
      continue;
    }
    // Exactly one record at the old offset, and the offset moved past it.
    fuzz::Check(HeaderField(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset)) == Next + RecordSize,
                "the next-record offset did not move by the record");
    for (size_t Offset = 0; Offset < BlockSize; Offset++) {
      const bool InRecord = Offset >= Next && Offset < Next + RecordSize;
      const bool InOffset = Offset >= OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset) &&
                            Offset < OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset) + 8;
      if (!InRecord && !InOffset && Before[Offset] != Block[Offset]) {
        fuzz::Fail("an append wrote outside its record");
      }
    }
    std::vector<sim::TableRecord> Decoded;
    std::vector<std::string> Warnings;
    std::string Error;
    fuzz::Check(sim::DecodeTableRecords({Block, BlockSize}, Next, Next + RecordSize, Decoded, Warnings, Error) &&
                    Decoded.size() == 1 && Decoded[0].OpCode == A.OpCode && Warnings.empty(),
                "the record appended does not decode");
    const std::vector<uint64_t> &Got = Decoded[0].Operands;
    for (size_t N = 0; N < Got.size(); N++) {
      uint64_t Want = A.Operands[N];
      if (N == 0 && A.OpCode != 9) {
        Want &= 0xFFFFFFFF;
      } else if (N == 1 && A.OpCode >= 6 && A.OpCode <= 8) {
        Want &= 0xFFFF;
      }
      fuzz::Check(Got[N] == Want, "an operand was stored wrongly");
    }
  }
  P.ClearRecords();
  return 0;
}
