// Resume table: record packing, the table's integrity check and the append.
//
// The table lives in runtime-services-data pool shared by every driver that
// carries this library; each image reaches it through its own
// mTevS3LibPrivateData. An append assembles the record on the stack and
// copies it into the table once, so it never allocates.
#include "diag/Diag.h"
#include "s3save/S3Save.h"

namespace {

// Where the operands of one op code go.
enum class RecordForm : UINT8 {
  Plain,      // operand 1 as 32 bits at +4, the others as 64 bits from +8
  Segmented,  // as Plain, but operand 2 as 16 bits at +8 (PCI records)
  NoWidth,    // +4 stays zero; operands as 64 bits from +8
};

struct RecordLayout {
  UINT8 Size;          // record length in bytes
  UINT8 OperandCount;  // operands stored
  RecordForm Form;
};

constexpr RecordLayout RecordLayouts[S3OpMax + 1] = {
    {24, 3, RecordForm::Plain},      // 0: as 3
    {32, 4, RecordForm::Plain},      // 1: as 4
    {40, 5, RecordForm::Plain},      // 2: as 5
    {24, 3, RecordForm::Plain},      // 3: memory write
    {32, 4, RecordForm::Plain},      // 4
    {40, 5, RecordForm::Plain},      // 5: memory poll
    {32, 4, RecordForm::Segmented},  // 6: PCI configuration write
    {40, 5, RecordForm::Segmented},  // 7: as 8 without its last field
    {48, 6, RecordForm::Segmented},  // 8: PCI configuration poll
    {24, 2, RecordForm::NoWidth},    // 9
};

// Every record fits the scratch buffer and keeps the next record 8-aligned.
constexpr bool LayoutsFitScratch() {
  for (const RecordLayout &Layout : RecordLayouts) {
    const UINTN Last = Layout.Form == RecordForm::NoWidth ? 8 + 8 * Layout.OperandCount : 8 * Layout.OperandCount;
    if (Layout.Size > S3ScratchRecordSize || Layout.Size % 8 != 0 || Last != Layout.Size) {
      return false;
    }
  }
  return true;
}
static_assert(LayoutsFitScratch());

inline VOID Store(UINT8 *Destination, UINT64 Value, UINTN Bytes) { __builtin_memcpy(Destination, &Value, Bytes); }

inline UINT32 Load32(UINT64 Address) {
  UINT32 Value;
  __builtin_memcpy(&Value, reinterpret_cast<const VOID *>(Address), sizeof(Value));
  return Value;
}

}  // namespace

extern "C" {

UINT64 mS3TableSize;

VOID S3PackRecord(UINT16 OpCode, const UINT64 Operands[6], UINT8 *Record, UINT64 *Size) {
  Store(Record, OpCode, sizeof(UINT16));
  if (OpCode > S3OpMax) {
    AssertSite(AssertS3PackOpCode);
    return;
  }

  const RecordLayout &Layout = RecordLayouts[OpCode];
  UINTN First = 0;
  if (Layout.Form != RecordForm::NoWidth) {
    Store(Record + 4, Operands[0], sizeof(UINT32));
    First = 1;
  }
  for (UINTN Index = First; Index < Layout.OperandCount; Index++) {
    // Operand N (counting from 1) of a record with a width field sits at
    // 8 * (N - 1); in op code 9 operand N sits at 8 * N.
    const UINTN Offset = Layout.Form == RecordForm::NoWidth ? 8 * (Index + 1) : 8 * Index;
    const UINTN Bytes = (Layout.Form == RecordForm::Segmented && Index == 1) ? sizeof(UINT16) : sizeof(UINT64);
    Store(Record + Offset, Operands[Index], Bytes);
  }
  *Size = Layout.Size;
}

UINT8 S3TableCheck(VOID) {
  const TEV_S3_LIB_PRIVATE_DATA *Private = mTevS3LibPrivateData;
  if (Private == nullptr || Private->Table == 0) {
    return S3Failure;
  }
  const UINT64 Table = Private->Table;
  const TEV_S3_LIB_TABLE_HEADER *Header = reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(Table);

  if (Load32(Table) != S3TableSignature) {
    AssertSite(AssertS3TableSignature);
    TracePrint(FilterFlow, "TevS3Lib table Signature check fail\n");
    return S3Failure;
  }

  // The end marker is read only where this image knows the block ends: a
  // size field that disagrees with the allocation is itself a broken
  // boundary, and so is a next-record offset that leaves no room for the
  // terminator in front of the end marker.
  const UINT64 TableSize = Header->TableSize;
  const UINT64 Next = Header->NextRecordOffset;
  if (TableSize < S3TableMinSize || TableSize != mS3TableSize || Next < S3TableFirstRecord ||
      Next > TableSize - sizeof(UINT16) || Load32(Table + TableSize) != S3TableEndMarker) {
    AssertSite(AssertS3TableBoundary);
    TracePrint(FilterFlow, "TevS3Lib table boundary check fail\n");
    return S3Failure;
  }
  return S3Success;
}

UINT8 S3TableAppend(UINT16 OpCode, UINT64 Operand1, UINT64 Operand2, UINT64 Operand3, UINT64 Operand4, UINT64 Operand5,
                    UINT64 Operand6) {
  TEV_S3_LIB_PRIVATE_DATA *Private = mTevS3LibPrivateData;
  // Without a shared record the script cannot have been locked: the entry
  // belongs to the save-state service, not to the table.
  if (Private == nullptr || Private->ScriptLocked != 1 || Private->TableClosed != 0) {
    return S3Success;
  }
  if (Private->Table == 0) {
    AssertSite(AssertS3NoTable);
    TracePrint(FilterFlow, "TevS3Lib table allocate fail\n");
    return S3Failure;
  }
  if (S3TableCheck() != S3Success) {
    return S3Failure;
  }

  UINT8 Record[S3ScratchRecordSize];
  MemZero(Record, sizeof(Record));
  UINT64 Size = 0;
  const UINT64 Operands[6] = {Operand1, Operand2, Operand3, Operand4, Operand5, Operand6};
  S3PackRecord(OpCode, Operands, Record, &Size);

  // S3TableCheck has bounded the offset (Next + 2 <= TableSize), so the
  // subtraction cannot wrap.
  TEV_S3_LIB_TABLE_HEADER *Header = reinterpret_cast<TEV_S3_LIB_TABLE_HEADER *>(Private->Table);
  const UINT64 Next = Header->NextRecordOffset;
  if (Size + sizeof(UINT16) > Header->TableSize - Next) {
    AssertSite(AssertS3TableFull);
    TracePrint(FilterFlow, "No enough space for s3 data save\n");
    return S3Failure;
  }

  if (Size != 0) {
    MemCopy(reinterpret_cast<VOID *>(Private->Table + Next), Record, Size);
  }
  Header->NextRecordOffset = Next + Size;
  return S3Success;
}

}  // extern "C"
