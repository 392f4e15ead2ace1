// Decoder of the private resume table, from raw bytes.
//
// The table is one block: a 0x30-byte header ("TS3T", version, size,
// next-record offset), records back to back from 0x30, the 16-bit
// terminator 0xFFFF at the next-record offset once the table is closed,
// and the end marker 0x01558844 at the table size. The decoder takes the
// whole block (table size + 4 bytes) as bytes of unknown origin: every read
// is bounded by the buffer, every structural fault is reported with its
// offset, and nothing is read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

// One record of the table as laid out by its op code.
struct TableRecord {
  uint64_t Offset = 0;  // from the start of the table
  uint16_t OpCode = 0;
  uint64_t Size = 0;
  // The operands in append order (operand 1 first). Operand 1 is the 32-bit
  // field at +4, except for op code 9; in op codes 6..8 operand 2 is the
  // 16-bit segment at +8.
  std::vector<uint64_t> Operands;
};

struct TableDecodeResult {
  // False when the block is not a well-formed table; Error then says why
  // (and where), and Records holds what was decoded before the fault.
  bool Valid = false;
  std::string Error;
  uint32_t Version = 0;
  uint64_t TableSize = 0;
  uint64_t NextRecordOffset = 0;
  bool Terminated = false;  // 0xFFFF at the next-record offset
  std::vector<TableRecord> Records;
  // Oddities that do not stop decoding: non-zero reserved bytes, version
  // other than 1, a table that was never closed.
  std::vector<std::string> Warnings;
};

// Decodes a table block. Bytes must be the whole block: exactly the table
// size plus the 4 bytes of the end marker.
TableDecodeResult DecodeResumeTable(std::span<const uint8_t> Bytes);

// Decodes the records from offset From up to offset To (exclusive) of a
// table block whose header has been checked: To is at most Bytes.size().
// Appends to Records; on a fault returns false with Error set, keeping the
// records decoded before it.
bool DecodeTableRecords(std::span<const uint8_t> Bytes, uint64_t From, uint64_t To, std::vector<TableRecord> &Records,
                        std::vector<std::string> &Warnings, std::string &Error);

// Record size of an op code (0..9), or 0 for an unknown one.
uint64_t TableRecordSize(uint16_t OpCode);

// Short name of a table op code: "MEM_WRITE", "MEM_POLL", "PCI_WRITE",
// "PCI_POLL" for the four the recorder produces, "OP_<n>" for the others.
std::string TableOpCodeName(uint16_t OpCode);

// Access size in bytes of a boot-script width (0..3), or 0 for another.
unsigned BootScriptWidthBytes(uint64_t Width);

}  // namespace sim
