// Fuzz target: the program's resume-table decoder over arbitrary bytes, and
// the text and JSON forms pirnsim decode-table writes from its result.
//
// The decoder takes the bytes as a whole table block of unknown origin. What
// it reports must stay inside them: every record lies in the block, after the
// header and before the next-record offset, records follow each other
// without overlap, and a block it calls valid has the size its header
// states plus the end marker. The range decoder is also run over an
// arbitrary range of the same bytes (the first 16 input bytes give it).
//
// The text and JSON forms write every record the same way, whatever its
// place; they are written for the first 32 records and, after those, the
// first record of each op code not yet seen. A full 16 KiB table holds about
// 680 records, and writing all of them (mostly the JSON library's work)
// would make each such input cost a millisecond.
#include <set>
#include <sstream>

#include "fuzz/FuzzSupport.h"
#include "sim/TableDecoder.h"
#include "tools/Report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::span<const uint8_t> Bytes(Data, Size);
  const sim::TableDecodeResult Table = sim::DecodeResumeTable(Bytes);
  uint64_t End = 0x30;
  for (const sim::TableRecord &Record : Table.Records) {
    fuzz::Check(Record.Offset >= End && Record.Size == sim::TableRecordSize(Record.OpCode) && Record.Size != 0,
                "a record overlaps its predecessor or has a wrong size");
    fuzz::Check(Record.Offset + Record.Size <= Size, "a record lies outside the block");
    End = Record.Offset + Record.Size;
  }
  if (Table.Valid) {
    fuzz::Check(Table.TableSize + 4 == Size, "a valid table whose size is not the block's");
    fuzz::Check(End <= Table.NextRecordOffset && Table.NextRecordOffset + 2 <= Table.TableSize,
                "a valid table whose records pass its next-record offset");
  } else {
    fuzz::Check(!Table.Error.empty(), "an invalid table without a reason");
  }
  sim::TableDecodeResult Shown = Table;
  Shown.Records.clear();
  std::set<uint16_t> OpCodes;
  for (const sim::TableRecord &Record : Table.Records) {
    if (OpCodes.insert(Record.OpCode).second || Shown.Records.size() < 32) {
      Shown.Records.push_back(Record);
    }
  }
  std::ostringstream Text;
  pirnsim::WriteTableText(Text, Shown, "  ");
  const std::string Json = pirnsim::TableJson(Shown).dump();
  fuzz::Check(!Json.empty(), "no JSON");

  fuzz::Reader In(Bytes);
  const uint64_t From = In.U64();
  const uint64_t To = In.U64();
  if (To <= Size) {
    std::vector<sim::TableRecord> Records;
    std::vector<std::string> Warnings;
    std::string Error;
    sim::DecodeTableRecords(Bytes, From, To, Records, Warnings, Error);
    for (const sim::TableRecord &Record : Records) {
      fuzz::Check(Record.Offset >= From && Record.Offset + Record.Size <= To, "a range record lies outside the range");
    }
  }
  return 0;
}
