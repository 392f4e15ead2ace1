// Fuzz target: the instance lookup in the topology HOB, a mailbox request to
// what it finds, and the lock hook's walk over the block the topology
// protocol hands out, all over one arbitrary topology block.
//
// Input (little-endian, zero when short):
//   byte 0       how GetTopologyBlock behaves (TopologyProtocol::Mode, low 2 bits)
//   bytes 1..12  three instance ids looked up (32 bits each)
//   bytes 13..16 the message id of the request to the first id
//   bytes 17..40 its six argument words
//   the rest     the topology block: a 24-byte prefix whose 16-bit length at
//                byte 2 is the block's extent, then the descriptors
//
// The block is placed twice. For the lookup it is the topology HOB of a HOB
// list (HOB type and name forced, the length as fuzzed but at least 24, an
// end-of-list HOB right after it); for the hook it is handed out as it is, in
// storage of exactly max(24, length) bytes, so any read past the extent the
// block declares is caught by the address sanitizer.
//
// Checks: a lookup succeeds exactly when a plain walk of the two rules
// reaches a descriptor with the id, and returns the first such one; a request
// records its 18 resume entries only when the lookup succeeds and the id is
// not the reserved 0xFF; the hook records 6 entries per instance the walk
// reaches when it trusts the block, and none otherwise.
//
// Between inputs the model's records are cleared and the hubs are reset to
// power-on. The hook is called directly with one event that is already
// closed, so its CloseEvent fails harmlessly instead of leaving a closed
// event behind for every input; the lookup keeps nothing between calls.
#include <cstring>
#include <memory>

#include "driver/Driver.h"
#include "fuzz/FuzzSupport.h"

namespace {

sim::Platform *Plat;
EFI_EVENT ClosedEvent;
// The block the topology protocol hands out for the current input.
std::unique_ptr<uint8_t[]> ProtocolBlock;

// Offsets of the descriptors of the instance list, by the two walk rules,
// each wholly inside the first Extent bytes.
std::vector<size_t> ReferenceInstances(std::span<const uint8_t> Block, size_t Extent) {
  std::vector<size_t> List;
  const auto Inside = [&](size_t Offset) { return Offset <= Extent && Extent - Offset >= sizeof(TOPOLOGY_DESCRIPTOR); };
  size_t At = TopologyPrefixSize;
  if (!Inside(At)) {
    return List;
  }
  while ((fuzz::Le32(Block, At) & TopologyFlagInstance) == 0) {
    const uint16_t Child = fuzz::Le16(Block, At + OFFSET_OF(TOPOLOGY_DESCRIPTOR, ChildOffset));
    if (Child == 0 || !Inside(At + Child)) {
      return List;
    }
    At += Child;
  }
  for (;;) {
    List.push_back(At);
    const uint32_t Flags = fuzz::Le32(Block, At);
    const uint16_t Sibling = fuzz::Le16(Block, At + OFFSET_OF(TOPOLOGY_DESCRIPTOR, SiblingOffset));
    if ((Flags & TopologyFlagLast) != 0 || Sibling == 0 || !Inside(At + Sibling)) {
      return List;
    }
    At += Sibling;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Plat = &fuzz::BootedPlatform({});
  sim::Platform &P = *Plat;
  P.topology.SetBlockSource([] { return static_cast<VOID *>(ProtocolBlock.get()); });
  EFI_BOOT_SERVICES *Boot = P.firmware.BootServices();
  Boot->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, PIRN_SYMBOL(P.Image(), PirnBaseHookPciIO), nullptr, &ClosedEvent);
  Boot->CloseEvent(ClosedEvent);
  P.ClearRecords();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  sim::Platform &P = *Plat;
  fuzz::Reader In({Data, Size});
  const auto Mode = static_cast<sim::TopologyProtocol::Mode>(In.U8() & 3);
  uint32_t Ids[3];
  for (uint32_t &Id : Ids) {
    Id = In.U32();
  }
  const uint32_t Message = In.U32();
  uint32_t Args[6];
  for (uint32_t &Word : Args) {
    Word = In.U32();
  }
  const std::span<const uint8_t> Block = In.Rest();
  const size_t Extent = fuzz::Le16(Block, 2);
  const size_t Stored = std::max<size_t>(Extent, TopologyPrefixSize);

  // The block as the protocol hands it out.
  ProtocolBlock = std::make_unique<uint8_t[]>(Stored);
  std::memset(ProtocolBlock.get(), 0, Stored);
  std::memcpy(ProtocolBlock.get(), Block.data(), std::min(Stored, Block.size()));
  const std::span<const uint8_t> Bytes(ProtocolBlock.get(), Stored);

  // The block as the topology HOB, then the end of the list.
  std::vector<uint8_t> Hobs(Stored + sizeof(EFI_HOB_GENERIC_HEADER), 0);
  std::memcpy(Hobs.data(), ProtocolBlock.get(), Stored);
  sim::Put16(Hobs, 0, EFI_HOB_TYPE_GUID_EXTENSION);
  sim::Put16(Hobs, 2, static_cast<uint16_t>(Stored));
  sim::PutGuid(Hobs, OFFSET_OF(EFI_HOB_GUID_TYPE, Name), gTevTopologyHobGuid);
  sim::Put16(Hobs, Stored, EFI_HOB_TYPE_END_OF_HOB_LIST);
  sim::Put16(Hobs, Stored + 2, sizeof(EFI_HOB_GENERIC_HEADER));
  sim::ExactBuffer HobList(Hobs);
  P.firmware.SetConfigurationTable(gEfiHobListGuid, HobList.Data());

  // ---- Lookup ----------------------------------------------------------------
  const std::vector<size_t> HobInstances = ReferenceInstances(Hobs, Stored);
  auto *Find = PIRN_SYMBOL(P.Image(), FindInstanceDescriptor);
  TOPOLOGY_DESCRIPTOR *Found[3] = {};
  for (size_t I = 0; I < 3; I++) {
    EFI_STATUS Status = EFI_ABORTED;
    TOPOLOGY_DESCRIPTOR Unset{};
    TOPOLOGY_DESCRIPTOR *Descriptor = &Unset;  // both outcomes write it
    fuzz::MustRun(P, [&] { Status = Find(Ids[I], &Descriptor); });
    size_t Expected = SIZE_MAX;
    for (size_t Offset : HobInstances) {
      if (Hobs[Offset + OFFSET_OF(TOPOLOGY_DESCRIPTOR, InstanceId)] == Ids[I]) {
        Expected = Offset;
        break;
      }
    }
    if (Expected == SIZE_MAX) {
      fuzz::Check(Status == EFI_INVALID_PARAMETER && Descriptor == nullptr, "a lookup without a match did not fail");
    } else {
      fuzz::Check(Status == EFI_SUCCESS && Descriptor == reinterpret_cast<TOPOLOGY_DESCRIPTOR *>(HobList.At(Expected)),
                  "a lookup did not return the first descriptor with the id");
      Found[I] = Descriptor;
    }
  }

  // ---- One request to the first id ------------------------------------------
  TEV_QELT_SERVICE_PROTOCOL *Service = PIRN_SYMBOL(P.Image(), mQeltServiceProtocol);
  uint32_t Response[6];
  std::memset(Response, 0xA5, sizeof Response);
  EFI_STATUS Status = EFI_ABORTED;
  P.s3SaveState.ClearScript();
  fuzz::MustRun(P, [&] { Status = Service->ServiceRequest(Service, Ids[0], Message, Args, Response); });
  if (Found[0] == nullptr) {
    fuzz::Check(Status == EFI_INVALID_PARAMETER, "a request to a missing instance did not fail");
    fuzz::Check(P.s3SaveState.Script().empty(), "a request to a missing instance recorded resume entries");
  } else if (Message == QeltInvalidMessageId) {
    fuzz::Check(Status == EFI_SUCCESS && std::memcmp(Response, Args, sizeof Args) == 0,
                "the reserved message id did not echo the arguments");
    fuzz::Check(P.s3SaveState.Script().empty(), "the reserved message id recorded resume entries");
  } else {
    fuzz::Check(P.s3SaveState.Script().size() == 18, "a request did not record its 18 resume entries");
  }

  // ---- The lock hook over the protocol's block ---------------------------------
  P.topology.SetMode(Mode);
  P.s3SaveState.ClearScript();
  auto *Hook = PIRN_SYMBOL(P.Image(), PirnBaseHookPciIO);
  fuzz::MustRun(P, [&] { Hook(ClosedEvent, nullptr); });
  const bool Trusted = Mode == sim::TopologyProtocol::Mode::Normal;
  const size_t Walked = Trusted ? ReferenceInstances(Bytes, Extent).size() : 0;
  fuzz::Check(P.s3SaveState.Script().size() == 6 * Walked, "the hook did not lock exactly the instances walked");

  fuzz::CheckNoViolations(P);
  P.ResetHubs();
  P.ClearRecords();
  return 0;
}
