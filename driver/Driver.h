// Driver core: image entry and start-up, instance topology lookup, mailbox
// service and hardware-init lock hook.
#pragma once

#include "firmware/Firmware.h"

// ---------------------------------------------------------------------------
// Topology block: a 24-byte prefix, then a tree of descriptors reached only
// through their offsets. Fields are little-endian and unaligned.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct TOPOLOGY_DESCRIPTOR {
  UINT32 Flags;
  UINT16 Reserved4;
  UINT16 SiblingOffset;  // bytes to the next descriptor of the same list
  UINT16 ChildOffset;    // bytes to the first subordinate descriptor, 0 for none
  UINT8 InstanceId;
  UINT8 Reserved11[3];
  UINT32 PciAddress;
};
#pragma pack(pop)
static_assert(sizeof(TOPOLOGY_DESCRIPTOR) == 18);
static_assert(OFFSET_OF(TOPOLOGY_DESCRIPTOR, SiblingOffset) == 6 && OFFSET_OF(TOPOLOGY_DESCRIPTOR, ChildOffset) == 8);
static_assert(OFFSET_OF(TOPOLOGY_DESCRIPTOR, InstanceId) == 10 && OFFSET_OF(TOPOLOGY_DESCRIPTOR, PciAddress) == 14);

inline constexpr UINT32 TopologyFlagInstance = 0x02000000;
inline constexpr UINT32 TopologyFlagLast = 0x20000000;
inline constexpr UINTN TopologyPrefixSize = 24;

// Platform-topology protocol of another driver; only the first member is used.
struct TEV_TOPOLOGY_PROTOCOL;
typedef EFI_STATUS(EFIAPI *TEV_GET_TOPOLOGY_BLOCK)(IN TEV_TOPOLOGY_PROTOCOL *This, OUT VOID **Block);
struct TEV_TOPOLOGY_PROTOCOL {
  TEV_GET_TOPOLOGY_BLOCK GetTopologyBlock;
};
static_assert(sizeof(TEV_TOPOLOGY_PROTOCOL) == 8);

// ---------------------------------------------------------------------------
// Mailbox service protocol.
// ---------------------------------------------------------------------------
struct TEV_QELT_SERVICE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *TEV_QELT_SERVICE_REQUEST)(IN TEV_QELT_SERVICE_PROTOCOL *This, IN UINT32 InstanceId,
                                                     IN UINT32 MessageId, IN CONST UINT32 *Arguments,
                                                     OUT UINT32 *Response);
struct TEV_QELT_SERVICE_PROTOCOL {
  UINT64 Revision;
  TEV_QELT_SERVICE_REQUEST ServiceRequest;
};
static_assert(sizeof(TEV_QELT_SERVICE_PROTOCOL) == 16 && OFFSET_OF(TEV_QELT_SERVICE_PROTOCOL, ServiceRequest) == 8);

inline constexpr UINTN QeltWordCount = 6;
inline constexpr UINT32 QeltMessageReg = 0x0C9109C8;
inline constexpr UINT32 QeltArgReg = 0x0C9109CC;  // + 4 * i, i = 0..5
inline constexpr UINT32 QeltDoorbellReg = 0x0C910554;
inline constexpr UINT32 QeltReadyBit = 0x80000000;
inline constexpr UINT32 QeltDoorbellValue = 0xFFFFFFFF;
inline constexpr UINT32 QeltStatusSuccess = 1;
inline constexpr UINT32 QeltInvalidMessageId = 0xFF;

constexpr UINT32 QeltCommand(UINT32 MessageId) { return (MessageId & 0xFFF) << 8; }
// Index register of an instance for the mailbox: device, function and
// register replaced, segment and bus kept.
constexpr UINT32 QeltIndexAddress(UINT32 PciAddress) { return (PciAddress & 0xFFF000B8) | 0xB8; }
static_assert(QeltCommand(0x1234) == 0x23400 && QeltIndexAddress(0x0201B554) == 0x020000B8);

// Hardware-init lock registers, handled in this order; bit 0 is the lock.
inline constexpr UINT32 HwInitLockRegs[3] = {0x101311AC, 0x101313AC, 0x101315AC};
// Index register for the lock writes: bus only, always segment 0.
constexpr UINT32 LockIndexAddress(UINT32 Bus) { return ((Bus & 0xFF) << 20) | 0xB8; }

extern "C" {

// Entry and start-up.
EFI_STATUS EFIAPI ImageEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID RunConstructors(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI TevPirnBaseDxeEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID RunDestructors(VOID);

// The driver's single protocol instance.
extern TEV_QELT_SERVICE_PROTOCOL mQeltServiceProtocol;

// Topology walk rules, shared by the lookup and the lock hook. The block's
// extent bounds every step: a descriptor that would not lie wholly inside
// [Block, Block + BlockSize) ends the walk, and so does a sibling offset of
// 0 on a descriptor without TopologyFlagLast. A null Block has no list.
//
// Extent of a block: the 16-bit length at byte 2 of its prefix, which has
// the form of a HOB header (for the topology HOB it is the HOB length). The
// lock hook bounds the protocol's block with it. 0 for a null Block.
UINTN TopologyBlockSize(const VOID *Block);
//
// Rule 1: the head of the instance list, or null when there is none.
const TOPOLOGY_DESCRIPTOR *TopologyInstanceListHead(const VOID *Block, UINTN BlockSize);
// Rule 2: the descriptor after Current in the instance list, or null when
// Current is the last one (or the block breaks its guarantees).
const TOPOLOGY_DESCRIPTOR *TopologyNextInstance(const VOID *Block, UINTN BlockSize,
                                                const TOPOLOGY_DESCRIPTOR *Current);

// Maps an instance id to its descriptor in the topology HOB.
EFI_STATUS FindInstanceDescriptor(UINT32 InstanceId, TOPOLOGY_DESCRIPTOR **Descriptor);

// Mailbox service.
EFI_STATUS EFIAPI TevQeltServiceRequest(IN TEV_QELT_SERVICE_PROTOCOL *This, IN UINT32 InstanceId,
                                        IN UINT32 MessageId, IN CONST UINT32 *Arguments, OUT UINT32 *Response);
UINT32 QeltServiceRequest(UINT32 PciAddress, UINT32 MessageId, UINT32 *Words);
// The request for a found instance: sends Words (a private copy of the
// arguments) and on a success status byte copies the response words to
// Response. A null Descriptor sends nothing and gives EFI_NOT_FOUND; a
// status byte other than 1 gives EFI_INVALID_PARAMETER, Response untouched.
EFI_STATUS QeltServiceInstance(const TOPOLOGY_DESCRIPTOR *Descriptor, UINT32 MessageId, UINT32 *Words,
                               UINT32 *Response);

// Hardware-init lock hook.
VOID EFIAPI PirnBaseHookPciIO(IN EFI_EVENT Event, IN VOID *Context);
VOID PirnBaseSetHwInitLock(const TOPOLOGY_DESCRIPTOR *Descriptor);
VOID SetHwInitLockBit(UINT32 Bus, UINT32 Register);

}  // extern "C"
