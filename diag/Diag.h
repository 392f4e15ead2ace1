// Diagnostics: configuration record, trace lines, test points, assertion
// halt and debug output channels.
#pragma once

#include "diag/DiagCodes.h"
#include "firmware/Firmware.h"

// ---------------------------------------------------------------------------
// Diagnostics configuration (27 bytes, packed, little-endian).
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct DIAG_CONFIG {
  UINT8 TestPointPortEnable;      // 0: non-zero sends test points to port 0x80
  UINT8 FixedByte1;               // 1
  UINT8 TestPointPortWidth;       // 2: access width of the port write
  UINT16 TestPointPort;           // 3
  UINT8 AssertEnable;             // 5: non-zero lets assertion sites halt
  BOOLEAN TestPointMirrorEnable;  // 6
  BOOLEAN ScratchMirrorEnable;    // 7
  UINT8 ScratchMirrorSelect;      // 8
  UINT8 ScratchMirrorSelectAlt;   // 9: replaces the selector when it is 0x0F
  UINT8 Token4A6;                 // 10
  UINT8 Token4A4;                 // 11
  UINT32 ScratchMirrorRegister;   // 12: hub system register of the mirror
  BOOLEAN Token4A2;               // 16
  UINT32 Token45E;                // 17
  UINT32 Token45D;                // 21
  UINT8 Token4A3;                 // 25
  UINT8 FixedByte26;              // 26
};
#pragma pack(pop)
static_assert(sizeof(DIAG_CONFIG) == 27);
static_assert(OFFSET_OF(DIAG_CONFIG, TestPointPort) == 3 && OFFSET_OF(DIAG_CONFIG, AssertEnable) == 5);
static_assert(OFFSET_OF(DIAG_CONFIG, ScratchMirrorRegister) == 12 && OFFSET_OF(DIAG_CONFIG, Token4A2) == 16);
static_assert(OFFSET_OF(DIAG_CONFIG, Token45E) == 17 && OFFSET_OF(DIAG_CONFIG, Token45D) == 21);
static_assert(OFFSET_OF(DIAG_CONFIG, Token4A3) == 25 && OFFSET_OF(DIAG_CONFIG, FixedByte26) == 26);

// PCD tokens of the configuration record (default token space).
inline constexpr UINTN PcdTestPointMirrorEnable = 0x352;
inline constexpr UINTN PcdScratchMirrorEnable = 0x4A1;
inline constexpr UINTN PcdScratchMirrorSelect = 0x454;
inline constexpr UINTN PcdScratchMirrorSelectAlt = 0x4A0;
inline constexpr UINTN PcdToken4A6 = 0x4A6;
inline constexpr UINTN PcdToken4A4 = 0x4A4;
inline constexpr UINTN PcdScratchMirrorRegister = 0x4A5;
inline constexpr UINTN PcdToken4A2 = 0x4A2;
inline constexpr UINTN PcdToken45E = 0x45E;
inline constexpr UINTN PcdToken45D = 0x45D;
inline constexpr UINTN PcdToken4A3 = 0x4A3;

// ---------------------------------------------------------------------------
// Debug-print protocol of another driver; only its first member is used.
// ---------------------------------------------------------------------------
typedef EFI_STATUS(EFIAPI *TEV_DEBUG_PRINT)(IN UINT64 Filter, IN CONST CHAR8 *Format, IN VA_LIST Marker);
struct TEV_DEBUG_PRINT_PROTOCOL {
  TEV_DEBUG_PRINT Print;
};
static_assert(sizeof(TEV_DEBUG_PRINT_PROTOCOL) == 8);

// ---------------------------------------------------------------------------
// Debug output channels.
// ---------------------------------------------------------------------------
struct OUTPUT_CHANNEL {
  BOOLEAN (*InitCheck)(VOID);
  VOID (*Init)(VOID);
  BOOLEAN (*PrintCheck)(VOID);
  VOID (*Print)(const UINT8 *Text, UINT64 Length);
};
static_assert(sizeof(OUTPUT_CHANNEL) == 32);

// RAM debug buffer at a fixed physical address.
inline constexpr UINT64 RamBufferBase = 0x08A00000ULL;
inline constexpr UINT64 RamBufferRegionSize = 0x1000000ULL;
inline constexpr UINT32 RamBufferDataSize = 0xFFFFF0;
inline constexpr UINT32 RamBufferDataOffset = 0x10;
inline constexpr UINT32 RamBufferSignature = 0x4D454D44;  // "DMEM"
inline constexpr UINT32 RamBufferMarker1 = 0x55AA55AA;
inline constexpr UINT32 RamBufferMarker2 = 0xBB66BB66;

extern "C" {

// Zero at load; filled once by TevCfgPcdBufLibDxeConstructor.
extern DIAG_CONFIG DiagConfig;
// Cached PCD protocol; null until a locate finds it.
extern PCD_PROTOCOL *mPcdProtocol;
// Cached debug-print protocol; null until a locate finds it.
extern TEV_DEBUG_PRINT_PROTOCOL *mDebugPrintProtocol;
// Core frequency cache in hertz; zero means "still to be computed".
extern UINT64 mCoreFrequencyHz;

// Clears DiagConfig and, when both PCD protocols are present, loads it.
VOID TevCfgPcdBufLibDxeConstructor(VOID);

// Returns the PCD protocol, locating it on first use; null when absent (the
// next call tries again).
PCD_PROTOCOL *GetPcdProtocol(VOID);

// Hands Filter, Format and the arguments to the debug-print protocol.
// Returns its status, or the failed locate status when there is none.
EFI_STATUS EFIAPI TracePrint(IN UINT64 Filter, IN CONST CHAR8 *Format, ...);

// Posts a 16-bit progress code: port 0x80, a trace line, the hub mirror.
VOID PostTestPoint(UINT32 Code);
VOID TestPointPortWrite(UINT8 Width, const UINT32 *Value);
VOID MirrorTestPoint(UINT32 Value);

// Shows Code on port 0x80 and halts for ever, unless a simulator answers.
VOID AssertHalt(UINT32 Code);

// Current core frequency in hertz, or 0 when it cannot be computed.
UINT64 CoreFrequencyHz(VOID);

// Start-up step 6 and the channel table.
extern const OUTPUT_CHANNEL *const OutputChannelTable[];
extern const OUTPUT_CHANNEL PostPortChannel;
extern const OUTPUT_CHANNEL SerialChannel;
extern const OUTPUT_CHANNEL RamBufferChannel;
VOID InitOutputChannels(VOID);
BOOLEAN AnyChannelInitCheck(VOID);
// The same two walks over any null-terminated channel table (fewer than 256
// channels): every channel is asked first, then each that answers yes is
// asked again and initialised.
VOID InitOutputChannelsIn(const OUTPUT_CHANNEL *const *Table);
BOOLEAN AnyChannelInitCheckIn(const OUTPUT_CHANNEL *const *Table);
BOOLEAN ChannelCheckFalse(VOID);
VOID ChannelNoInit(VOID);
BOOLEAN RamBufferPresent(VOID);
VOID RamBufferInit(VOID);
VOID RamBufferPrint(const UINT8 *Text, UINT64 Length);
VOID SerialPrint(const UINT8 *Text, UINT64 Length);
VOID PostPortPrint(const UINT8 *Text, UINT64 Length);

// Writes 8, 16 or 32 bits of *Value to a physical address; any other width
// (64-bit included) writes nothing and raises its assertion site.
VOID MemWriteByWidth(ACCESS_WIDTH Width, UINT64 Address, const VOID *Value);

}  // extern "C"

// Assertion-site rule: halt only when assertions are enabled; either way the
// caller goes on with its own failure path afterwards.
inline VOID AssertSite(UINT32 Code) {
  if (DiagConfig.AssertEnable != 0) {
    AssertHalt(Code);
  }
}
