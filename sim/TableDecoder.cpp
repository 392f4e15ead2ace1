// Resume-table decoder: bounded reads over a byte buffer of unknown origin.
#include "sim/TableDecoder.h"

#include <cstdio>

namespace sim {
namespace {

constexpr uint32_t Signature = 0x54335354;  // "TS3T" little-endian
constexpr uint32_t EndMarker = 0x01558844;
constexpr uint16_t Terminator = 0xFFFF;
constexpr uint64_t HeaderSize = 0x30;
constexpr uint64_t MinTableSize = 0x4000;

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

// Little-endian read of Width bytes at Offset; the caller has checked that
// Offset + Width lies inside the buffer.
uint64_t ReadLe(std::span<const uint8_t> Bytes, uint64_t Offset, unsigned Width) {
  uint64_t Value = 0;
  for (unsigned I = 0; I < Width; I++) {
    Value |= static_cast<uint64_t>(Bytes[Offset + I]) << (8 * I);
  }
  return Value;
}

bool AllZero(std::span<const uint8_t> Bytes, uint64_t Offset, uint64_t Count) {
  for (uint64_t I = 0; I < Count; I++) {
    if (Bytes[Offset + I] != 0) {
      return false;
    }
  }
  return true;
}

// Unpacks one record whose Size bytes at Offset lie inside the buffer.
TableRecord Unpack(std::span<const uint8_t> Bytes, uint64_t Offset, uint16_t OpCode, uint64_t Size,
                   std::vector<std::string> &Warnings) {
  TableRecord Record;
  Record.Offset = Offset;
  Record.OpCode = OpCode;
  Record.Size = Size;
  auto Field64 = [&](uint64_t At) { return ReadLe(Bytes, Offset + At, 8); };
  auto Warn = [&](const char *What) {
    Warnings.push_back("record at " + Hex(Offset) + " (" + TableOpCodeName(OpCode) + "): " + What);
  };
  if (!AllZero(Bytes, Offset + 2, 2)) {
    Warn("bytes +2..+3 are not zero");
  }
  if (OpCode == 9) {
    if (!AllZero(Bytes, Offset + 4, 4)) {
      Warn("bytes +4..+7 are not zero");
    }
    Record.Operands = {Field64(8), Field64(16)};
    return Record;
  }
  Record.Operands.push_back(ReadLe(Bytes, Offset + 4, 4));
  uint64_t At = 8;
  if (OpCode >= 6 && OpCode <= 8) {
    Record.Operands.push_back(ReadLe(Bytes, Offset + 8, 2));
    if (!AllZero(Bytes, Offset + 10, 6)) {
      Warn("bytes +10..+15 are not zero");
    }
    At = 16;
  }
  for (; At + 8 <= Size; At += 8) {
    Record.Operands.push_back(Field64(At));
  }
  return Record;
}

}  // namespace

uint64_t TableRecordSize(uint16_t OpCode) {
  static constexpr uint64_t Sizes[10] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};
  return OpCode < 10 ? Sizes[OpCode] : 0;
}

std::string TableOpCodeName(uint16_t OpCode) {
  switch (OpCode) {
    case 3:
      return "MEM_WRITE";
    case 5:
      return "MEM_POLL";
    case 6:
      return "PCI_WRITE";
    case 8:
      return "PCI_POLL";
    default:
      return "OP_" + std::to_string(OpCode);
  }
}

unsigned BootScriptWidthBytes(uint64_t Width) {
  switch (Width) {
    case 0:
      return 1;
    case 1:
      return 2;
    case 2:
      return 4;
    case 3:
      return 8;
    default:
      return 0;
  }
}

bool DecodeTableRecords(std::span<const uint8_t> Bytes, uint64_t From, uint64_t To, std::vector<TableRecord> &Records,
                        std::vector<std::string> &Warnings, std::string &Error) {
  if (To > Bytes.size()) {
    Error = "records end at " + Hex(To) + ", past the end of the block at " + Hex(Bytes.size());
    return false;
  }
  uint64_t At = From;
  while (At < To) {
    if (To - At < 2) {
      Error = "record at " + Hex(At) + " is cut by the next-record offset " + Hex(To);
      return false;
    }
    const auto OpCode = static_cast<uint16_t>(ReadLe(Bytes, At, 2));
    const uint64_t RecordSize = TableRecordSize(OpCode);
    if (RecordSize == 0) {
      Error = "unknown op code " + Hex(OpCode) + " at offset " + Hex(At);
      return false;
    }
    if (To - At < RecordSize) {
      Error = "record " + TableOpCodeName(OpCode) + " at " + Hex(At) + " (" + std::to_string(RecordSize) +
              " bytes) runs past the next-record offset " + Hex(To);
      return false;
    }
    Records.push_back(Unpack(Bytes, At, OpCode, RecordSize, Warnings));
    At += RecordSize;
  }
  return true;
}

TableDecodeResult DecodeResumeTable(std::span<const uint8_t> Bytes) {
  TableDecodeResult Result;
  auto Fail = [&](std::string Why) {
    Result.Valid = false;
    Result.Error = std::move(Why);
    return Result;
  };
  const uint64_t Length = Bytes.size();
  if (Length < HeaderSize) {
    return Fail("truncated: " + std::to_string(Length) + " bytes, the header alone needs 48");
  }
  if (ReadLe(Bytes, 0, 4) != Signature) {
    return Fail("bad signature " + Hex(ReadLe(Bytes, 0, 4)) + " at offset 0x0 (expected \"TS3T\")");
  }
  Result.Version = static_cast<uint32_t>(ReadLe(Bytes, 4, 4));
  Result.TableSize = ReadLe(Bytes, 0x20, 8);
  Result.NextRecordOffset = ReadLe(Bytes, 0x28, 8);
  if (Result.Version != 1) {
    Result.Warnings.push_back("version " + std::to_string(Result.Version) + " (expected 1)");
  }
  if (!AllZero(Bytes, 8, 24)) {
    Result.Warnings.push_back("header bytes 0x8..0x1F are not zero");
  }
  const uint64_t Size = Result.TableSize;
  if (Size < MinTableSize) {
    return Fail("bad size " + Hex(Size) + " at offset 0x20 (a table holds at least 0x4000 bytes)");
  }
  // Size + 4 cannot wrap: Length bounds it below.
  if (Size > Length || Length - Size < 4) {
    return Fail("truncated: the size field says " + Hex(Size) + " + 4 bytes, the block has " + Hex(Length));
  }
  if (Length - Size > 4) {
    return Fail("bad size " + Hex(Size) + " at offset 0x20: the block has " + Hex(Length) +
                " bytes, the size field accounts for " + Hex(Size + 4));
  }
  const uint64_t Marker = ReadLe(Bytes, Size, 4);
  if (Marker != EndMarker) {
    return Fail("bad end marker " + Hex(Marker) + " at offset " + Hex(Size) + " (expected 0x01558844)");
  }
  const uint64_t Next = Result.NextRecordOffset;
  if (Next < HeaderSize || Next > Size - 2) {
    return Fail("bad next-record offset " + Hex(Next) + " at offset 0x28 (must lie in 0x30.." + Hex(Size - 2) + ")");
  }
  if (!DecodeTableRecords(Bytes, HeaderSize, Next, Result.Records, Result.Warnings, Result.Error)) {
    return Result;
  }
  Result.Terminated = ReadLe(Bytes, Next, 2) == Terminator;
  if (!Result.Terminated) {
    Result.Warnings.push_back("no terminator 0xFFFF at the next-record offset " + Hex(Next) +
                              " (the table was not closed)");
  }
  Result.Valid = true;
  return Result;
}

}  // namespace sim
