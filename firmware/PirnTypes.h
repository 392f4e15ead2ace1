// Types shared by every subsystem of the Pirn base driver: access widths,
// PCI configuration addresses and trace filters.
#pragma once

#include "firmware/Uefi.h"

// ---------------------------------------------------------------------------
// Access widths. 1..4 are 8-, 16-, 32- and 64-bit accesses; the same codes
// with 0x80 set are writes that must also be recorded for S3 resume.
// ---------------------------------------------------------------------------
typedef UINT32 ACCESS_WIDTH;
inline constexpr ACCESS_WIDTH AccessWidth8 = 1;
inline constexpr ACCESS_WIDTH AccessWidth16 = 2;
inline constexpr ACCESS_WIDTH AccessWidth32 = 3;
inline constexpr ACCESS_WIDTH AccessWidth64 = 4;
inline constexpr ACCESS_WIDTH AccessWidthRecordFlag = 0x80;
inline constexpr ACCESS_WIDTH AccessWidth32Recorded = AccessWidth32 | AccessWidthRecordFlag;

// ---------------------------------------------------------------------------
// PCI configuration address: segment 31:28, bus 27:20, device 19:15,
// function 14:12, register 11:0.
// ---------------------------------------------------------------------------
constexpr UINT32 PciAddress(UINT32 Segment, UINT32 Bus, UINT32 Device, UINT32 Function, UINT32 Register) {
  return ((Segment & 0xF) << 28) | ((Bus & 0xFF) << 20) | ((Device & 0x1F) << 15) | ((Function & 0x7) << 12) |
         (Register & 0xFFF);
}
constexpr UINT32 PciAddressSegment(UINT32 Address) { return Address >> 28; }
constexpr UINT32 PciAddressBus(UINT32 Address) { return (Address >> 20) & 0xFF; }
constexpr UINT32 PciAddressDevice(UINT32 Address) { return (Address >> 15) & 0x1F; }
constexpr UINT32 PciAddressFunction(UINT32 Address) { return (Address >> 12) & 0x7; }
constexpr UINT32 PciAddressRegister(UINT32 Address) { return Address & 0xFFF; }

static_assert(PciAddress(0, 1, 0, 0, 0xB8) == 0x001000B8);
static_assert(PciAddress(1, 0x20, 3, 1, 0x554) == 0x12019554);
static_assert(PciAddressBus(0x060000B8) == 0x60 && PciAddressSegment(0x12019554) == 1);
static_assert(PciAddressDevice(0x12019554) == 3 && PciAddressFunction(0x12019554) == 1);

// Fixed physical base of the configuration window of segment 0 (256 buses).
inline constexpr UINT64 ConfigWindowBase = 0xE0000000ULL;
inline constexpr UINT32 ConfigWindowLimit = 0x10000000;  // first address outside the window

// Hub index/data pair: configuration registers of device 0, function 0.
inline constexpr UINT32 HubIndexRegister = 0xB8;
inline constexpr UINT32 HubDataRegister = 0xBC;

// ---------------------------------------------------------------------------
// Trace filters handed to the debug-print protocol.
// ---------------------------------------------------------------------------
inline constexpr UINT64 FilterError = 0x80000000ULL;
inline constexpr UINT64 FilterFlow = 0x4000000000000ULL;
inline constexpr UINT64 FilterHub = 0x100000ULL;
inline constexpr UINT64 FilterTestPoint = 0x1000000000000000ULL;
