// Every diagnostic code of the Pirn base driver, in one place.
//
// Assertion codes: file code in bits 31:16, the site's line as four BCD
// digits in bits 15:0. Test points: 16-bit codes, posted as code | 0xB0000000.
#pragma once

#include "firmware/Uefi.h"

// File codes of the assertion sites.
inline constexpr UINT32 FileCodeWidthUtil = 0x0001;    // access-width utilities
inline constexpr UINT32 FileCodeHeap = 0x0008;         // heap migration
inline constexpr UINT32 FileCodeS3Lib = 0x000A;        // resume library
inline constexpr UINT32 FileCodeRamBuffer = 0x2085;    // RAM debug buffer
inline constexpr UINT32 FileCodePciCfg = 0xA10D;       // PCI configuration access
inline constexpr UINT32 FileCodeQeltService = 0xA113;  // mailbox service

// Assertion sites.
inline constexpr UINT32 AssertMemWriteWidth = 0x00010320;       // memory write by width: bad width code
inline constexpr UINT32 AssertAccessWidthBytes = 0x00010671;    // byte count of a width: bad width code
inline constexpr UINT32 AssertHeapRuntimeAlloc = 0x00080134;    // heap node: runtime-data allocation failed
inline constexpr UINT32 AssertHeapBootAlloc = 0x00080137;       // heap node: boot-data allocation failed
inline constexpr UINT32 AssertHeapInstall = 0x00080225;         // heap-list protocol installation failed
inline constexpr UINT32 AssertS3ValueWidth = 0x000A0596;        // value by width: width not 1..4
inline constexpr UINT32 AssertS3ScriptWidth = 0x000A0625;       // boot-script width: width not 1..4
inline constexpr UINT32 AssertS3PackOpCode = 0x000A0713;        // record packing: unknown op code
inline constexpr UINT32 AssertS3TableSignature = 0x000A0725;    // table check: wrong signature
inline constexpr UINT32 AssertS3TableBoundary = 0x000A0730;     // table check: wrong end marker
inline constexpr UINT32 AssertS3NoTable = 0x000A0755;           // append: no table
inline constexpr UINT32 AssertS3TableFull = 0x000A0772;         // append: record does not fit
inline constexpr UINT32 AssertS3NoCommBuffer = 0x000A0847;      // ready-to-boot: communicate buffer PCD is null
inline constexpr UINT32 AssertS3NoSmmComm = 0x000A0861;         // ready-to-boot: SMM Communication not found
inline constexpr UINT32 AssertS3WindowDisabled = 0x000A0896;    // constructor: MSR 0xC0010058 bit 0 clear
inline constexpr UINT32 AssertS3PrivateAlloc = 0x000A0902;      // constructor: shared record allocation failed
inline constexpr UINT32 AssertS3LockEvent = 0x000A0934;         // constructor: script-lock event not created
inline constexpr UINT32 AssertS3CloseEvent = 0x000A0952;        // constructor: close-table event not created
inline constexpr UINT32 AssertS3CloseLockEvent = 0x000A1001;    // destructor: closing the script-lock event failed
inline constexpr UINT32 AssertS3CloseTableEvent = 0x000A1007;   // destructor: closing the close-table event failed
inline constexpr UINT32 AssertRamBufferLength = 0x20850309;     // RAM buffer print: length above 0xFFFFF0
inline constexpr UINT32 AssertPciCfgWriteWidth = 0xA10D0078;    // configuration write: width not accepted
inline constexpr UINT32 AssertPciCfgReadWidth = 0xA10D0116;     // configuration read: width not accepted
inline constexpr UINT32 AssertQeltNoDescriptor = 0xA1130227;    // mailbox: lookup succeeded without a descriptor

// Test points.
inline constexpr UINT32 TpDriverEntryStart = 0xA902;  // driver entry, first step
inline constexpr UINT32 TpDriverEntryEnd = 0xA903;    // driver entry, last step
inline constexpr UINT32 TpQeltRequestStart = 0xA93E;  // mailbox request, first step
inline constexpr UINT32 TpQeltRequestEnd = 0xA93F;    // mailbox request, last step
inline constexpr UINT32 TpPciIoHookStart = 0xA95E;    // PCI I/O notification, first step
inline constexpr UINT32 TpPciIoHookEnd = 0xA95F;      // PCI I/O notification, last step
inline constexpr UINT32 TpQeltMessageBase = 0xAB00;   // mailbox request, before the command: 0xAB00 | (id & 0xFF)

// Marker of posted test points, and the special code posted in both halves.
inline constexpr UINT32 TestPointMarker = 0xB0000000;
inline constexpr UINT32 TestPointBothHalves = 0xAA55;

constexpr UINT32 TestPointValue(UINT32 Code) {
  return Code == TestPointBothHalves ? (Code | 0xAA550000U) : (Code | TestPointMarker);
}
static_assert(TestPointValue(0xA902) == 0xB000A902);
static_assert(TestPointValue(0xAA55) == 0xAA55AA55);

// The 64-bit ring shown on port 0x80 by a halted assertion.
constexpr UINT64 MarqueeValue(UINT32 Code) { return (0xDEADULL << 48) | (static_cast<UINT64>(Code) << 16); }
static_assert(MarqueeValue(0xA1130227) == 0xDEADA11302270000ULL);
