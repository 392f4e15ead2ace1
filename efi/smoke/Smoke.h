// The smoke test of the driver inside real UEFI firmware.
//
// PirnSmoke.efi is a UEFI application. It stands in for the drivers of the
// platform that the Pirn base driver relies on (debug print, PCD database,
// platform topology, SMM communication, the HOB list), loads and starts
// PirnBaseDxe.efi from its own boot volume, drives it through its protocol
// and its events, and reports every check on the debug console (I/O port
// 0xE9). Its verdict ends the machine through the isa-debug-exit device
// (I/O port 0xF4): 0 for a pass, 1 for a failure.
#pragma once

#include "diag/Diag.h"
#include "driver/Driver.h"
#include "firmware/Firmware.h"
#include "platform/PlatformData.h"
#include "s3save/S3Save.h"

// ---------------------------------------------------------------------------
// UEFI pieces only the application needs.
// ---------------------------------------------------------------------------
inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID gEfiSimpleFileSystemProtocolGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
};
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24);
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64);
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80);

struct EFI_FILE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(IN EFI_FILE_PROTOCOL *This, OUT EFI_FILE_PROTOCOL **NewHandle,
                                          IN CHAR16 *FileName, IN UINT64 OpenMode, IN UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(IN EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_READ)(IN EFI_FILE_PROTOCOL *This, IN OUT UINTN *BufferSize, OUT VOID *Buffer);
struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  VOID *Delete;
  EFI_FILE_READ Read;
  VOID *Write;
  VOID *GetPosition;
  VOID *SetPosition;
  VOID *GetInfo;
  VOID *SetInfo;
  VOID *Flush;
};
static_assert(OFFSET_OF(EFI_FILE_PROTOCOL, Open) == 8 && OFFSET_OF(EFI_FILE_PROTOCOL, Read) == 32);
inline constexpr UINT64 EfiFileModeRead = 0x1;

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME)(IN EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This,
                                                               OUT EFI_FILE_PROTOCOL **Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME OpenVolume;
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);

// A PCI I/O protocol instance has 18 function members, then the ROM size and
// the ROM image pointer. The smoke test installs inert instances of it.
inline constexpr UINTN PciIoFunctionCount = 18;
struct SMOKE_PCI_IO {
  VOID *Functions[PciIoFunctionCount];
  UINT64 RomSize;
  VOID *RomImage;
};
static_assert(sizeof(SMOKE_PCI_IO) == 160 && OFFSET_OF(SMOKE_PCI_IO, RomSize) == 144);

// The heap-list protocol instance, as the driver publishes it.
struct SMOKE_HEAP_LIST_PROTOCOL {
  UINT64 Revision;
  UINT64 Forward;  // first node, or the head itself
  UINT64 Back;     // last node, or the head itself
};
static_assert(sizeof(SMOKE_HEAP_LIST_PROTOCOL) == 24);

template <class T, UINTN N>
constexpr UINTN ArraySize(T (&)[N]) {
  return N;
}

extern "C" {

// Compiler support of the image runtime.
VOID *memcpy(VOID *Destination, const VOID *Source, UINTN Count);
VOID *memmove(VOID *Destination, const VOID *Source, UINTN Count);
VOID *memset(VOID *Buffer, int Value, UINTN Count);
int memcmp(const VOID *Left, const VOID *Right, UINTN Count);

// ---------------------------------------------------------------------------
// Console, formatting and verdict (SmokeConsole.cpp).
// ---------------------------------------------------------------------------

// Formats into Buffer (always NUL-terminated, cut at Size - 1 characters)
// the way the platform's print library does: %a %s %c %d %i %u %x %X %p %r
// %%, flags '-' and '0', a width (digits or '*'), size prefixes l/ll/L.
// Without a size prefix an integer is the low 32 bits of its 8-byte slot;
// hexadecimal digits are upper case. Returns the length.
UINTN SmokeFormat(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, VA_LIST Marker);
// The name of a status ("Success", "Not Found", ...), or null.
const CHAR8 *SmokeStatusName(EFI_STATUS Status);

// Writes a formatted text to the debug console.
VOID EFIAPI SmokeLog(const CHAR8 *Format, ...);

// Counts a check and reports it; returns Passed.
BOOLEAN EFIAPI SmokeCheck(BOOLEAN Passed, const CHAR8 *Format, ...);
// Checks Actual == Expected, showing both values when they differ.
BOOLEAN SmokeCheckEqual(UINT64 Actual, UINT64 Expected, const CHAR8 *What);

// Reports the verdict and ends the machine through isa-debug-exit; returns
// (on a machine without that device) the status the application should end
// with.
EFI_STATUS SmokeFinish(VOID);

// ---------------------------------------------------------------------------
// Processor primitives and image runtime on the real processor
// (SmokeProcessor.cpp).
// ---------------------------------------------------------------------------
VOID SmokeCheckProcessor(VOID);

// ---------------------------------------------------------------------------
// Debug-print protocol and the lines the driver printed (SmokeDebugPrint.cpp).
// ---------------------------------------------------------------------------
VOID SmokeInstallDebugPrint(VOID);
// Number of lines captured so far; a mark for SmokeCheckTrace.
UINTN SmokeTraceMark(VOID);
// Checks that the lines printed since Mark are exactly Expected, in order
// (texts without their final line feed).
BOOLEAN SmokeCheckTrace(UINTN Mark, const CHAR8 *const *Expected, UINTN Count, const CHAR8 *What);

// ---------------------------------------------------------------------------
// PCD protocols (SmokePcd.cpp).
// ---------------------------------------------------------------------------

// Installs both PCD protocols over the firmware's: the driver's tokens are
// answered from the application's table, every other call goes to the
// firmware's own service unchanged, except that an unknown token from the
// driver is refused and counted instead of reaching the firmware.
VOID SmokeInstallPcd(UINT64 CommBufferAddress);
// The address range of the driver image, to tell its calls from others.
VOID SmokeSetDriverRange(UINT64 Base, UINT64 Size);
// Current value of a token of the application's table (0 when absent).
UINT64 SmokePcdValue(UINTN Token);
// Calls the driver made: a kind letter and a token for each, in order.
UINTN SmokePcdCallCount(VOID);
VOID SmokePcdCall(UINTN Index, CHAR8 *Kind, UINTN *Token);
// Calls from the driver with a token outside the table.
UINTN SmokePcdUnknownCount(VOID);

// ---------------------------------------------------------------------------
// Platform stand-ins (SmokePlatform.cpp).
// ---------------------------------------------------------------------------

// The single hub instance of the topology: its id, and its configuration
// address on segment 1, which the configuration window does not reach.
inline constexpr UINT32 SmokeInstanceId = 3;
inline constexpr UINT32 SmokeInstanceBus = 0x20;
inline constexpr UINT32 SmokeInstanceAddress = PciAddress(1, SmokeInstanceBus, 0, 0, 0);
// The heap HOB's data.
inline constexpr UINT8 SmokeHeapData[8] = {'P', 'I', 'R', 'N', 'H', 'E', 'A', 'P'};

// Builds the HOB list (topology HOB, heap HOB, end) and puts it in the
// configuration table in place of the firmware's; SmokeRestoreHobList puts
// the firmware's back.
VOID SmokeInstallHobList(VOID);
VOID SmokeRestoreHobList(VOID);
const EFI_HOB_GUID_TYPE *SmokeHeapHob(VOID);

// Platform-topology protocol handing out the same block.
VOID SmokeInstallTopology(VOID);
UINTN SmokeTopologyCallCount(VOID);

// SMM Communication protocol: captures the hand-off buffer and, while the
// call lasts, copies the shared record and the resume table it leads to.
VOID SmokeInstallSmmCommunication(VOID);
UINT64 SmokeCommBufferAddress(VOID);
struct SMOKE_HANDOFF {
  UINTN Calls;
  const VOID *Buffer;  // as passed
  UINTN Size;          // *CommSize as passed
  TEV_S3_COMMUNICATE_BUFFER Message;
  TEV_S3_LIB_PRIVATE_DATA Record;
  UINT64 TableBytes;  // bytes copied into Table
  const UINT8 *Table;
};
const SMOKE_HANDOFF *SmokeHandoff(VOID);

// Installs an inert PCI I/O protocol instance on a new handle.
EFI_STATUS SmokeInstallPciIo(VOID);

// Installs Interface under Guid so that LocateProtocol finds it first:
// reinstalled in place of Previous when the firmware has one, on a new
// handle otherwise.
EFI_STATUS SmokeReplaceProtocol(const EFI_GUID *Guid, VOID *Previous, VOID *Interface);

// Firmware tables of the application.
extern EFI_HANDLE gSmokeImageHandle;
extern EFI_SYSTEM_TABLE *gSmokeSystemTable;
extern EFI_BOOT_SERVICES *gSmokeBootServices;

}  // extern "C"
