// UEFI and PI definitions used by the Pirn base driver.
//
// Written from the published UEFI 2.x and PI 1.x layouts. Only the pieces
// the driver, its host model and its image test need are here, but every
// table that is shared with real firmware keeps all of its members in their
// published order, so the same layout works in a real DXE environment.
//
// Freestanding: no includes. Function types carry EFIAPI, which is the
// Microsoft x64 calling convention on every build, the host build included.
#pragma once

// ---------------------------------------------------------------------------
// Base types
// ---------------------------------------------------------------------------
typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef UINT64 UINTN;
typedef INT64 INTN;
typedef unsigned char BOOLEAN;
typedef char CHAR8;
typedef unsigned short CHAR16;
typedef void VOID;

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4 && sizeof(UINT64) == 8);
static_assert(sizeof(void *) == 8, "x86-64 only");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#define IN
#define OUT
#define OPTIONAL
#define CONST const

#define EFIAPI __attribute__((ms_abi))

// VA_LIST of the firmware calling convention: 8-byte slots, one per argument.
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start(Marker, Parameter)
#define VA_ARG(Marker, Type) __builtin_va_arg(Marker, Type)
#define VA_END(Marker) __builtin_ms_va_end(Marker)
#define VA_COPY(Dest, Start) __builtin_ms_va_copy(Dest, Start)

#define OFFSET_OF(Type, Field) __builtin_offsetof(Type, Field)

typedef UINT64 EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define EFI_ERROR_BIT 0x8000000000000000ULL
#define EFI_SUCCESS 0ULL
#define EFI_LOAD_ERROR (EFI_ERROR_BIT | 1)
#define EFI_INVALID_PARAMETER (EFI_ERROR_BIT | 2)
#define EFI_UNSUPPORTED (EFI_ERROR_BIT | 3)
#define EFI_BAD_BUFFER_SIZE (EFI_ERROR_BIT | 4)
#define EFI_BUFFER_TOO_SMALL (EFI_ERROR_BIT | 5)
#define EFI_NOT_READY (EFI_ERROR_BIT | 6)
#define EFI_DEVICE_ERROR (EFI_ERROR_BIT | 7)
#define EFI_OUT_OF_RESOURCES (EFI_ERROR_BIT | 9)
#define EFI_NOT_FOUND (EFI_ERROR_BIT | 14)
#define EFI_ACCESS_DENIED (EFI_ERROR_BIT | 15)
#define EFI_ABORTED (EFI_ERROR_BIT | 21)

constexpr bool EfiError(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

// ---------------------------------------------------------------------------
// GUID
// ---------------------------------------------------------------------------
struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);
static_assert(OFFSET_OF(EFI_GUID, Data2) == 4 && OFFSET_OF(EFI_GUID, Data4) == 8);

// Compares all 16 bytes.
constexpr bool GuidEqual(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) {
    return false;
  }
  for (int I = 0; I < 8; I++) {
    if (A.Data4[I] != B.Data4[I]) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Memory, events, task priority levels
// ---------------------------------------------------------------------------
enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
};
static_assert(sizeof(EFI_MEMORY_TYPE) == 4 && EfiBootServicesData == 4 && EfiRuntimeServicesData == 6);

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages, AllocateMaxAddress, AllocateAddress, MaxAllocateType };
enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };
enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };
enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

#define TPL_APPLICATION 4
#define TPL_CALLBACK 8
#define TPL_NOTIFY 16
#define TPL_HIGH_LEVEL 31

#define EVT_TIMER 0x80000000U
#define EVT_RUNTIME 0x40000000U
#define EVT_NOTIFY_WAIT 0x00000100U
#define EVT_NOTIFY_SIGNAL 0x00000200U
#define EVT_SIGNAL_EXIT_BOOT_SERVICES 0x00000201U
#define EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE 0x60000202U

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(IN EFI_EVENT Event, IN VOID *Context);

struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
};
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40);

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
};
static_assert(sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) == 24);

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------
struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL  // "IBI SYST"
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544f4f42ULL  // "BOOTSERV"

// Boot-service function types, in table order.
typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(IN EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(IN EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(IN EFI_ALLOCATE_TYPE Type, IN EFI_MEMORY_TYPE MemoryType,
                                               IN UINTN Pages, IN OUT EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(IN EFI_PHYSICAL_ADDRESS Memory, IN UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_MAP)(IN OUT UINTN *MemoryMapSize, OUT EFI_MEMORY_DESCRIPTOR *MemoryMap,
                                               OUT UINTN *MapKey, OUT UINTN *DescriptorSize,
                                               OUT UINT32 *DescriptorVersion);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size, OUT VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                             IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                             IN VOID *NotifyContext OPTIONAL, OUT EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(IN EFI_EVENT Event, IN EFI_TIMER_DELAY Type, IN UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(IN UINTN NumberOfEvents, IN EFI_EVENT *Event, OUT UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle, IN CONST EFI_GUID *Protocol,
                                                           IN EFI_INTERFACE_TYPE InterfaceType, IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                                             IN VOID *OldInterface, IN VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                                             IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                                OUT VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(IN CONST EFI_GUID *Protocol, IN EFI_EVENT Event,
                                                         OUT VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                              IN CONST EFI_GUID *Protocol OPTIONAL, IN VOID *SearchKey OPTIONAL,
                                              IN OUT UINTN *BufferSize, OUT EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(IN CONST EFI_GUID *Protocol,
                                                   IN OUT EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   OUT EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(IN CONST EFI_GUID *Guid, IN VOID *Table);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(IN BOOLEAN BootPolicy, IN EFI_HANDLE ParentImageHandle,
                                           IN EFI_DEVICE_PATH_PROTOCOL *DevicePath OPTIONAL,
                                           IN VOID *SourceBuffer OPTIONAL, IN UINTN SourceSize,
                                           OUT EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(IN EFI_HANDLE ImageHandle, OUT UINTN *ExitDataSize,
                                            OUT CHAR16 **ExitData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_EXIT)(IN EFI_HANDLE ImageHandle, IN EFI_STATUS ExitStatus, IN UINTN ExitDataSize,
                                     IN CHAR16 *ExitData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(IN EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_EXIT_BOOT_SERVICES)(IN EFI_HANDLE ImageHandle, IN UINTN MapKey);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_MONOTONIC_COUNT)(OUT UINT64 *Count);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(IN UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(IN UINTN Timeout, IN UINT64 WatchdogCode, IN UINTN DataSize,
                                                   IN CHAR16 *WatchdogData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(IN EFI_HANDLE ControllerHandle,
                                                   IN EFI_HANDLE *DriverImageHandle OPTIONAL,
                                                   IN EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath OPTIONAL,
                                                   IN BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_DISCONNECT_CONTROLLER)(IN EFI_HANDLE ControllerHandle,
                                                      IN EFI_HANDLE DriverImageHandle OPTIONAL,
                                                      IN EFI_HANDLE ChildHandle OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                              OUT VOID **Interface OPTIONAL, IN EFI_HANDLE AgentHandle,
                                              IN EFI_HANDLE ControllerHandle, IN UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                               IN EFI_HANDLE AgentHandle, IN EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL_INFORMATION)(IN EFI_HANDLE Handle, IN CONST EFI_GUID *Protocol,
                                                          OUT EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer,
                                                          OUT UINTN *EntryCount);
typedef EFI_STATUS(EFIAPI *EFI_PROTOCOLS_PER_HANDLE)(IN EFI_HANDLE Handle, OUT EFI_GUID ***ProtocolBuffer,
                                                     OUT UINTN *ProtocolBufferCount);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     IN CONST EFI_GUID *Protocol OPTIONAL,
                                                     IN VOID *SearchKey OPTIONAL, OUT UINTN *NoHandles,
                                                     OUT EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(IN CONST EFI_GUID *Protocol, IN VOID *Registration OPTIONAL,
                                                OUT VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(IN OUT EFI_HANDLE *Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(IN EFI_HANDLE Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(IN VOID *Data, IN UINTN DataSize, OUT UINT32 *Crc32);
typedef VOID(EFIAPI *EFI_COPY_MEM)(IN VOID *Destination, IN VOID *Source, IN UINTN Length);
typedef VOID(EFIAPI *EFI_SET_MEM)(IN VOID *Buffer, IN UINTN Size, IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                                IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                                IN CONST VOID *NotifyContext OPTIONAL,
                                                IN CONST EFI_GUID *EventGroup OPTIONAL, OUT EFI_EVENT *Event);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // Task priority services
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  // Memory services
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  // Event and timer services
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  // Protocol handler services
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  // Image services
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  // Miscellaneous services
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  // Driver support services
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  // Open and close protocol services
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  // Library services
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  // 32-bit CRC services
  EFI_CALCULATE_CRC32 CalculateCrc32;
  // Miscellaneous services
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};
static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, RaiseTPL) == 0x18);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CreateEvent) == 0x50);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, SignalEvent) == 0x68);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CloseEvent) == 0x70);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, HandleProtocol) == 0x98);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 0xA8);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LoadImage) == 0xC8);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, StartImage) == 0xD0);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CreateEventEx) == 0x170);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24 && OFFSET_OF(EFI_CONFIGURATION_TABLE, VendorTable) == 16);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  VOID *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, FirmwareRevision) == 32);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, ConOut) == 64);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

// ---------------------------------------------------------------------------
// Hand-off blocks (PI volume 3)
// ---------------------------------------------------------------------------
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_UNUSED 0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8 && OFFSET_OF(EFI_HOB_GENERIC_HEADER, HobLength) == 2);

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24 && OFFSET_OF(EFI_HOB_GUID_TYPE, Name) == 8);

// ---------------------------------------------------------------------------
// PCD protocols
// ---------------------------------------------------------------------------
typedef VOID(EFIAPI *PCD_PROTOCOL_SET_SKU)(IN UINTN SkuId);
typedef UINT8(EFIAPI *PCD_PROTOCOL_GET8)(IN UINTN TokenNumber);
typedef UINT16(EFIAPI *PCD_PROTOCOL_GET16)(IN UINTN TokenNumber);
typedef UINT32(EFIAPI *PCD_PROTOCOL_GET32)(IN UINTN TokenNumber);
typedef UINT64(EFIAPI *PCD_PROTOCOL_GET64)(IN UINTN TokenNumber);
typedef VOID *(EFIAPI *PCD_PROTOCOL_GET_POINTER)(IN UINTN TokenNumber);
typedef BOOLEAN(EFIAPI *PCD_PROTOCOL_GET_BOOLEAN)(IN UINTN TokenNumber);
typedef UINTN(EFIAPI *PCD_PROTOCOL_GET_SIZE)(IN UINTN TokenNumber);
typedef UINT8(EFIAPI *PCD_PROTOCOL_GET_EX_8)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT16(EFIAPI *PCD_PROTOCOL_GET_EX_16)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT32(EFIAPI *PCD_PROTOCOL_GET_EX_32)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT64(EFIAPI *PCD_PROTOCOL_GET_EX_64)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef VOID *(EFIAPI *PCD_PROTOCOL_GET_EX_POINTER)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef BOOLEAN(EFIAPI *PCD_PROTOCOL_GET_EX_BOOLEAN)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINTN(EFIAPI *PCD_PROTOCOL_GET_EX_SIZE)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET8)(IN UINTN TokenNumber, IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET16)(IN UINTN TokenNumber, IN UINT16 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET32)(IN UINTN TokenNumber, IN UINT32 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET64)(IN UINTN TokenNumber, IN UINT64 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_POINTER)(IN UINTN TokenNumber, IN OUT UINTN *SizeOfBuffer,
                                                     IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_BOOLEAN)(IN UINTN TokenNumber, IN BOOLEAN Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_8)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber, IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_16)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber, IN UINT16 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_32)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber, IN UINT32 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_64)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber, IN UINT64 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_POINTER)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                        IN OUT UINTN *SizeOfBuffer, IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_BOOLEAN)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                        IN BOOLEAN Value);
typedef VOID(EFIAPI *PCD_PROTOCOL_CALLBACK)(IN CONST EFI_GUID *CallBackGuid OPTIONAL, IN UINTN CallBackToken,
                                            IN OUT VOID *TokenData, IN UINTN TokenDataSize);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_CALLBACK_ONSET)(IN CONST EFI_GUID *Guid OPTIONAL, IN UINTN TokenNumber,
                                                        IN PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_CANCEL_CALLBACK)(IN CONST EFI_GUID *Guid OPTIONAL, IN UINTN TokenNumber,
                                                         IN PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_GET_NEXT_TOKEN)(IN CONST EFI_GUID *Guid OPTIONAL, IN OUT UINTN *TokenNumber);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_GET_NEXT_TOKENSPACE)(IN OUT CONST EFI_GUID **Guid);

// The platform's dynamic PCD protocol (default token space).
struct PCD_PROTOCOL {
  PCD_PROTOCOL_SET_SKU SetSku;
  PCD_PROTOCOL_GET8 Get8;
  PCD_PROTOCOL_GET16 Get16;
  PCD_PROTOCOL_GET32 Get32;
  PCD_PROTOCOL_GET64 Get64;
  PCD_PROTOCOL_GET_POINTER GetPtr;
  PCD_PROTOCOL_GET_BOOLEAN GetBool;
  PCD_PROTOCOL_GET_SIZE GetSize;
  PCD_PROTOCOL_GET_EX_8 Get8Ex;
  PCD_PROTOCOL_GET_EX_16 Get16Ex;
  PCD_PROTOCOL_GET_EX_32 Get32Ex;
  PCD_PROTOCOL_GET_EX_64 Get64Ex;
  PCD_PROTOCOL_GET_EX_POINTER GetPtrEx;
  PCD_PROTOCOL_GET_EX_BOOLEAN GetBoolEx;
  PCD_PROTOCOL_GET_EX_SIZE GetSizeEx;
  PCD_PROTOCOL_SET8 Set8;
  PCD_PROTOCOL_SET16 Set16;
  PCD_PROTOCOL_SET32 Set32;
  PCD_PROTOCOL_SET64 Set64;
  PCD_PROTOCOL_SET_POINTER SetPtr;
  PCD_PROTOCOL_SET_BOOLEAN SetBool;
  PCD_PROTOCOL_SET_EX_8 Set8Ex;
  PCD_PROTOCOL_SET_EX_16 Set16Ex;
  PCD_PROTOCOL_SET_EX_32 Set32Ex;
  PCD_PROTOCOL_SET_EX_64 Set64Ex;
  PCD_PROTOCOL_SET_EX_POINTER SetPtrEx;
  PCD_PROTOCOL_SET_EX_BOOLEAN SetBoolEx;
  PCD_PROTOCOL_CALLBACK_ONSET CallbackOnSet;
  PCD_PROTOCOL_CANCEL_CALLBACK CancelCallback;
  PCD_PROTOCOL_GET_NEXT_TOKEN GetNextToken;
  PCD_PROTOCOL_GET_NEXT_TOKENSPACE GetNextTokenSpace;
};
static_assert(sizeof(PCD_PROTOCOL) == 31 * 8);
static_assert(OFFSET_OF(PCD_PROTOCOL, Get8) == 0x08 && OFFSET_OF(PCD_PROTOCOL, Get32) == 0x18);
static_assert(OFFSET_OF(PCD_PROTOCOL, Get64) == 0x20 && OFFSET_OF(PCD_PROTOCOL, GetBool) == 0x30);
static_assert(OFFSET_OF(PCD_PROTOCOL, Set64) == 0x90);

typedef EFI_STATUS(EFIAPI *EFI_PCD_PROTOCOL_CALLBACK_ONSET)(IN CONST EFI_GUID *Guid OPTIONAL, IN UINTN TokenNumber,
                                                            IN PCD_PROTOCOL_CALLBACK CallBackFunction);

// The PI PCD protocol: every accessor takes a token-space GUID.
struct EFI_PCD_PROTOCOL {
  PCD_PROTOCOL_SET_SKU SetSku;
  PCD_PROTOCOL_GET_EX_8 Get8;
  PCD_PROTOCOL_GET_EX_16 Get16;
  PCD_PROTOCOL_GET_EX_32 Get32;
  PCD_PROTOCOL_GET_EX_64 Get64;
  PCD_PROTOCOL_GET_EX_POINTER GetPtr;
  PCD_PROTOCOL_GET_EX_BOOLEAN GetBool;
  PCD_PROTOCOL_GET_EX_SIZE GetSize;
  PCD_PROTOCOL_SET_EX_8 Set8;
  PCD_PROTOCOL_SET_EX_16 Set16;
  PCD_PROTOCOL_SET_EX_32 Set32;
  PCD_PROTOCOL_SET_EX_64 Set64;
  PCD_PROTOCOL_SET_EX_POINTER SetPtr;
  PCD_PROTOCOL_SET_EX_BOOLEAN SetBool;
  EFI_PCD_PROTOCOL_CALLBACK_ONSET CallbackOnSet;
  PCD_PROTOCOL_CANCEL_CALLBACK CancelCallback;
  PCD_PROTOCOL_GET_NEXT_TOKEN GetNextToken;
  PCD_PROTOCOL_GET_NEXT_TOKENSPACE GetNextTokenSpace;
};
static_assert(sizeof(EFI_PCD_PROTOCOL) == 18 * 8);
static_assert(OFFSET_OF(EFI_PCD_PROTOCOL, Get64) == 0x20 && OFFSET_OF(EFI_PCD_PROTOCOL, Set64) == 0x58);

// ---------------------------------------------------------------------------
// S3 Save State protocol (PI volume 5) and boot-script op codes
// ---------------------------------------------------------------------------
#define EFI_BOOT_SCRIPT_IO_WRITE_OPCODE 0x00
#define EFI_BOOT_SCRIPT_IO_READ_WRITE_OPCODE 0x01
#define EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE 0x02
#define EFI_BOOT_SCRIPT_MEM_READ_WRITE_OPCODE 0x03
#define EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE 0x04
#define EFI_BOOT_SCRIPT_PCI_CONFIG_READ_WRITE_OPCODE 0x05
#define EFI_BOOT_SCRIPT_SMBUS_EXECUTE_OPCODE 0x06
#define EFI_BOOT_SCRIPT_STALL_OPCODE 0x07
#define EFI_BOOT_SCRIPT_DISPATCH_OPCODE 0x08
#define EFI_BOOT_SCRIPT_DISPATCH_2_OPCODE 0x09
#define EFI_BOOT_SCRIPT_INFORMATION_OPCODE 0x0A
#define EFI_BOOT_SCRIPT_PCI_CONFIG2_WRITE_OPCODE 0x0B
#define EFI_BOOT_SCRIPT_PCI_CONFIG2_READ_WRITE_OPCODE 0x0C
#define EFI_BOOT_SCRIPT_IO_POLL_OPCODE 0x0D
#define EFI_BOOT_SCRIPT_MEM_POLL_OPCODE 0x0E
#define EFI_BOOT_SCRIPT_PCI_CONFIG_POLL_OPCODE 0x0F
#define EFI_BOOT_SCRIPT_PCI_CONFIG2_POLL_OPCODE 0x10

// Boot-script widths.
#define EfiBootScriptWidthUint8 0
#define EfiBootScriptWidthUint16 1
#define EfiBootScriptWidthUint32 2
#define EfiBootScriptWidthUint64 3

struct EFI_S3_SAVE_STATE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_S3_SAVE_STATE_WRITE)(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *This, IN UINTN OpCode, ...);
typedef EFI_STATUS(EFIAPI *EFI_S3_SAVE_STATE_INSERT)(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *This,
                                                     IN BOOLEAN BeforeOrAfter, IN OUT VOID **Position OPTIONAL,
                                                     IN UINTN OpCode, ...);
typedef EFI_STATUS(EFIAPI *EFI_S3_SAVE_STATE_LABEL)(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *This,
                                                    IN BOOLEAN BeforeOrAfter, IN BOOLEAN CreateIfNotFound,
                                                    IN OUT VOID **Position OPTIONAL, IN CONST CHAR8 *Label);
typedef EFI_STATUS(EFIAPI *EFI_S3_SAVE_STATE_COMPARE)(IN CONST EFI_S3_SAVE_STATE_PROTOCOL *This, IN VOID *Position1,
                                                      IN VOID *Position2, OUT UINTN *RelativePosition);

struct EFI_S3_SAVE_STATE_PROTOCOL {
  EFI_S3_SAVE_STATE_WRITE Write;
  EFI_S3_SAVE_STATE_INSERT Insert;
  EFI_S3_SAVE_STATE_LABEL Label;
  EFI_S3_SAVE_STATE_COMPARE Compare;
};
static_assert(sizeof(EFI_S3_SAVE_STATE_PROTOCOL) == 32);

// ---------------------------------------------------------------------------
// SMM Communication protocol (PI volume 4)
// ---------------------------------------------------------------------------
struct EFI_SMM_COMMUNICATION_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_COMMUNICATE2)(IN CONST EFI_SMM_COMMUNICATION_PROTOCOL *This,
                                                 IN OUT VOID *CommBuffer, IN OUT UINTN *CommSize OPTIONAL);
struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_SMM_COMMUNICATE2 Communicate;
};
static_assert(sizeof(EFI_SMM_COMMUNICATION_PROTOCOL) == 8);

struct EFI_SMM_COMMUNICATE_HEADER {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  UINT8 Data[1];
};
static_assert(OFFSET_OF(EFI_SMM_COMMUNICATE_HEADER, MessageLength) == 16);
static_assert(OFFSET_OF(EFI_SMM_COMMUNICATE_HEADER, Data) == 24);
