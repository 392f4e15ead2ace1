// Register access: PCI configuration registers through the fixed
// configuration window, and hub system registers through each instance's
// index/data pair. Writes whose width carries 0x80 are recorded for S3
// resume before they are performed.
#pragma once

#include "firmware/Firmware.h"

extern "C" {

// Writes the value behind Value at the width's size to configuration address
// Address. A width of 0x81 or more is recorded first, whatever follows.
VOID PciCfgWrite(UINT32 Address, ACCESS_WIDTH Width, const VOID *Value);

// Reads the width's size from Address into *Value; addresses outside the
// window give all ones; a refused width leaves *Value untouched.
VOID PciCfgRead(UINT32 Address, ACCESS_WIDTH Width, VOID *Value);

// 32-bit system-register read through the index register at IndexAddress;
// never recorded. The index register is restored afterwards.
VOID SysRegRead(UINT32 IndexAddress, UINT32 SysRegAddress, UINT32 *Value);

// System-register write through the index register at IndexAddress; with a
// flagged width the index and data writes are recorded (not the restore).
VOID SysRegWrite(UINT32 IndexAddress, UINT32 SysRegAddress, ACCESS_WIDTH Width, const VOID *Value);

// Byte count of a width code: 1, 2, 4, 8, or 0 for an unknown code.
UINT8 AccessWidthBytes(ACCESS_WIDTH Width);

}  // extern "C"
