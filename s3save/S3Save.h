// S3 resume recording: the shared record and resume table, the resume-script
// recorder, and the table's life from creation to hand-off.
#pragma once

#include "firmware/Firmware.h"

// ---------------------------------------------------------------------------
// Shared control record, published through PCD token 1345 (24 bytes).
// ---------------------------------------------------------------------------
struct TEV_S3_LIB_PRIVATE_DATA {
  UINT8 ScriptLocked;  // 1 once the SMM ready-to-lock point has been seen
  UINT8 TableClosed;   // 1 once the table has been handed to SMM
  UINT8 Reserved0[6];
  UINT64 Table;  // address of the table, 0 until created
  UINT32 RefCount;
  UINT32 Reserved1;
};
static_assert(sizeof(TEV_S3_LIB_PRIVATE_DATA) == 24);
static_assert(OFFSET_OF(TEV_S3_LIB_PRIVATE_DATA, TableClosed) == 1);
static_assert(OFFSET_OF(TEV_S3_LIB_PRIVATE_DATA, Table) == 8 && OFFSET_OF(TEV_S3_LIB_PRIVATE_DATA, RefCount) == 16);

// ---------------------------------------------------------------------------
// Resume table: header, records from 0x30, terminator, end marker at
// TableSize (outside the counted size).
// ---------------------------------------------------------------------------
struct TEV_S3_LIB_TABLE_HEADER {
  UINT8 Signature[4];  // "TS3T"
  UINT32 Version;      // 1
  UINT8 Reserved[24];
  UINT64 TableSize;         // bytes, counting from offset 0
  UINT64 NextRecordOffset;  // 0x30 in an empty table
};
static_assert(sizeof(TEV_S3_LIB_TABLE_HEADER) == 0x30);
static_assert(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, Version) == 4);
static_assert(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, TableSize) == 0x20);
static_assert(OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset) == 0x28);

inline constexpr UINT32 S3TableSignature = 0x54335354;  // "TS3T" read as a little-endian UINT32
inline constexpr UINT32 S3TableEndMarker = 0x01558844;
inline constexpr UINT16 S3TableTerminator = 0xFFFF;
inline constexpr UINT64 S3TableFirstRecord = 0x30;
inline constexpr UINT64 S3TableMinSize = 0x4000;
inline constexpr UINTN S3ScratchRecordSize = 96;

// Status byte of the resume library.
inline constexpr UINT8 S3Success = 0;
inline constexpr UINT8 S3Failure = 7;

// Table op codes produced by the recorder (0..9 are packable).
inline constexpr UINT16 S3OpMemWrite = 3;
inline constexpr UINT16 S3OpMemPoll = 5;
inline constexpr UINT16 S3OpPciWrite = 6;
inline constexpr UINT16 S3OpPciPoll = 8;
inline constexpr UINT16 S3OpMax = 9;

inline constexpr UINT64 S3MemPollDelay = 0x1999999AULL;       // memory poll, table form
inline constexpr UINT64 S3MemPollSaveState = 0x100000004ULL;  // memory poll, save-state form
inline constexpr UINT64 S3PciPollDelay = 0xFFFFFFFFULL;       // PCI poll, both forms

// PCD tokens.
inline constexpr UINTN PcdS3PrivateData = 1345;
inline constexpr UINTN PcdS3Table = 1346;
inline constexpr UINTN PcdS3TableSize = 1347;
inline constexpr UINTN PcdSmmCommBuffer = 0x27001;  // in gTevPcdTokenSpaceGuid

// Model-specific register describing the PCI configuration window.
inline constexpr UINT32 MsrPciCfgWindow = 0xC0010058;

// ---------------------------------------------------------------------------
// SMM communicate buffer of the hand-off (40 bytes).
// ---------------------------------------------------------------------------
struct TEV_S3_COMMUNICATE_BUFFER {
  EFI_GUID HeaderGuid;   // gTevS3SmmHandlerGuid
  UINT64 MessageLength;  // 16
  UINT32 Command;        // 1
  UINT32 Reserved;
  UINT64 PrivateData;  // address of the shared TEV_S3_LIB_PRIVATE_DATA
};
static_assert(sizeof(TEV_S3_COMMUNICATE_BUFFER) == 40);
static_assert(OFFSET_OF(TEV_S3_COMMUNICATE_BUFFER, MessageLength) == 0x10);
static_assert(OFFSET_OF(TEV_S3_COMMUNICATE_BUFFER, Command) == 0x18);
static_assert(OFFSET_OF(TEV_S3_COMMUNICATE_BUFFER, PrivateData) == 0x20);

// Boot-script PCI address: bus 31:24, device 20:16, function 10:8; a
// register below 0x100 in bits 7:0, otherwise whole in bits 43:32.
constexpr UINT64 BootScriptPciAddress(UINT32 Address) {
  const UINT64 Register = Address & 0xFFF;
  UINT64 Result = (static_cast<UINT64>((Address >> 20) & 0xFF) << 24) |
                  (static_cast<UINT64>((Address >> 15) & 0x1F) << 16) |
                  (static_cast<UINT64>((Address >> 12) & 0x7) << 8);
  if (Register < 0x100) {
    Result |= Register;
  } else {
    Result |= Register << 32;
  }
  return Result;
}
static_assert(BootScriptPciAddress(0x001000B8) == 0x010000B8ULL);
static_assert(BootScriptPciAddress(0x00119554) == 0x0000055401030100ULL);

extern "C" {

// Module globals, one set per driver image.
extern TEV_S3_LIB_PRIVATE_DATA *mTevS3LibPrivateData;
extern EFI_EVENT mS3ScriptLockEvent;
extern EFI_EVENT mCloseTableEvent;
extern UINT64 mPcieCfgBase;
extern EFI_PCD_PROTOCOL *mEfiPcdProtocol;
// Size of the shared table as this image knows it from the size request
// (token 1347, at least 0x4000); 0 until the constructor got that far. The
// table check reads the end marker only at this offset, so a damaged size
// field never leads outside the block.
extern UINT64 mS3TableSize;
// TRUE while this image holds a reference in the shared record's RefCount;
// the destructor drops only a reference its constructor took.
extern BOOLEAN mS3ReferenceHeld;

// Resume table.
UINT8 S3TableAppend(UINT16 OpCode, UINT64 Operand1 = 0, UINT64 Operand2 = 0, UINT64 Operand3 = 0, UINT64 Operand4 = 0,
                    UINT64 Operand5 = 0, UINT64 Operand6 = 0);
UINT8 S3TableCheck(VOID);
// Packs one record into a zero-filled buffer of at least 96 bytes; stores its
// length in *Size (left as it was for an unknown op code).
VOID S3PackRecord(UINT16 OpCode, const UINT64 Operands[6], UINT8 *Record, UINT64 *Size);

// Lifecycle.
EFI_STATUS TevS3SaveLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS TevS3SaveLibDestructor(VOID);
VOID EFIAPI TevS3SaveScriptLockCallBack(IN EFI_EVENT Event, IN VOID *Context);
VOID EFIAPI TevS3SaveCloseTableCallBack(IN EFI_EVENT Event, IN VOID *Context);
EFI_PCD_PROTOCOL *GetEfiPcdProtocol(VOID);
VOID *RuntimeZeroAlloc(UINTN Size);

// Recorder. Widths are ACCESS_WIDTH codes without the record flag.
UINT8 S3RecordMemWrite(ACCESS_WIDTH Width, UINT64 Address, const VOID *Value);
UINT8 S3RecordMemPoll(UINT64 Address, const UINT32 *Data, const UINT32 *Mask);
UINT8 S3RecordPciWrite(ACCESS_WIDTH Width, UINT32 PciAddress, const VOID *Value);
UINT8 S3RecordPciPoll(UINT32 PciAddress, const UINT32 *Data, const UINT32 *Mask);
UINT64 S3ValueByWidth(ACCESS_WIDTH Width, const VOID *Value);
UINT32 S3ScriptWidth(ACCESS_WIDTH Width);

}  // extern "C"
