// Firmware services and processor primitives of the Pirn base driver.
//
// This is the one header the other driver subsystems include to reach the
// firmware (system table, boot services, GUIDs, memory helpers) and the
// processor (ports, MSRs, CPUID, time-stamp counter, physical memory).
#pragma once

#include "firmware/PirnTypes.h"
#include "firmware/Uefi.h"

// ---------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------
inline constexpr EFI_GUID gTevQeltServiceProtocolGuid = {
    0x2CEC9C8E, 0xBC8D, 0x425B, {0x98, 0xCA, 0x77, 0x8C, 0xDE, 0x94, 0x1F, 0xB7}};
inline constexpr EFI_GUID gTevTopologyHobGuid = {
    0x03EB1D90, 0xCE14, 0x40D8, {0xA6, 0xBA, 0x10, 0x3A, 0x8D, 0x7B, 0xD3, 0x2D}};
inline constexpr EFI_GUID gTevTopologyProtocolGuid = {
    0x756DB75C, 0xBB9D, 0x4289, {0x81, 0x3A, 0xDF, 0x21, 0x05, 0xC4, 0xF8, 0x0E}};
inline constexpr EFI_GUID gTevDebugPrintProtocolGuid = {
    0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};
inline constexpr EFI_GUID gTevHeapListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
inline constexpr EFI_GUID gTevHeapHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
inline constexpr EFI_GUID gTevS3SmmHandlerGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
inline constexpr EFI_GUID gTevPcdTokenSpaceGuid = {
    0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};
inline constexpr EFI_GUID gPcdProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
inline constexpr EFI_GUID gEfiPcdProtocolGuid = {
    0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};
inline constexpr EFI_GUID gEfiS3SaveStateProtocolGuid = {
    0xE857CAF6, 0xC046, 0x45DC, {0xBE, 0x3F, 0xEE, 0x07, 0x65, 0xFB, 0xA8, 0x87}};
inline constexpr EFI_GUID gEfiSmmCommunicationProtocolGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};
inline constexpr EFI_GUID gEfiDxeSmmReadyToLockProtocolGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
inline constexpr EFI_GUID gEfiEventReadyToBootGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
inline constexpr EFI_GUID gEfiPciIoProtocolGuid = {
    0x4CF5B200, 0x68B8, 0x4CA5, {0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A}};
inline constexpr EFI_GUID gEfiHobListGuid = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

extern "C" {

// ---------------------------------------------------------------------------
// Module globals, zero at load. The first constructor step fills them.
// ---------------------------------------------------------------------------
extern EFI_SYSTEM_TABLE *mSystemTable;
extern EFI_BOOT_SERVICES *mBootServices;
// S3 Save State protocol, or null when the firmware has none.
extern EFI_S3_SAVE_STATE_PROTOCOL *mS3SaveState;

// ---------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------

// Copies Count bytes and returns Destination. Overlapping areas are safe:
// when Destination lies above Source inside the source range the copy runs
// from the last byte down; otherwise 8 bytes at a time upwards, then the
// rest singly.
VOID *MemCopy(VOID *Destination, const VOID *Source, UINTN Count);

// Sets Count bytes to Value and returns Buffer.
VOID *MemFill(VOID *Buffer, UINTN Count, UINT8 Value);

// Clears Count bytes and returns Buffer.
VOID *MemZero(VOID *Buffer, UINTN Count);

// ---------------------------------------------------------------------------
// Processor primitives. Each is one access of exactly the stated size, in
// program order; nothing is merged, split, cached or reordered.
// ---------------------------------------------------------------------------
UINT8 PortRead8(UINT16 Port);
VOID PortWrite8(UINT16 Port, UINT8 Value);
VOID PortWrite16(UINT16 Port, UINT16 Value);
VOID PortWrite32(UINT16 Port, UINT32 Value);

// 64-bit read of a model-specific register.
UINT64 MsrRead(UINT32 Index);

// CPUID with ECX equal to Leaf on entry; each output is stored only when its
// pointer is not null.
VOID CpuidRead(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);

// The simulator query: CPUID with EAX 0xBACCD00B, EBX 2, SI cleared and ECX
// holding Ecx (callers pass the assertion code); returns SI. Non-zero means a simulator answered. Every other
// register the caller can see is preserved.
UINT16 SimulatorQuery(UINT32 Ecx);

// Time-stamp counter and the pause hint of a busy-wait loop.
UINT64 TscRead(VOID);
VOID SpinPause(VOID);

// Exact-width accesses to identity-mapped physical memory.
UINT8 PhysRead8(UINT64 Address);
UINT16 PhysRead16(UINT64 Address);
UINT32 PhysRead32(UINT64 Address);
VOID PhysWrite8(UINT64 Address, UINT8 Value);
VOID PhysWrite16(UINT64 Address, UINT16 Value);
VOID PhysWrite32(UINT64 Address, UINT32 Value);

}  // extern "C"
