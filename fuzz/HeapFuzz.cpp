// Fuzz target: heap migration over arbitrary heap HOBs.
//
// Input: byte 0 picks a node allocation that fails (0: none, n: the n-th of
// the input's node allocations, when there are that many); the rest, up to
// 64 KiB, is the HOB list, followed by end-of-list padding as in
// PaddedHobBytes.
//
// The platform starts without a HOB list, so start-up leaves mHobListCache
// null and publishes an empty heap list. Then one fixed buffer goes into the
// configuration table: the first input's migration fetches it into
// mHobListCache through LocateHobList, and every later input is written into
// that same buffer, so the cached pointer stays right. For every input the
// driver's TevHeapLibConstructor runs again on the same terms: the heap-list
// protocol is reported absent (the lookup fails once), so it migrates, and
// the installation fails once, so the firmware's protocol database does not
// grow by one installation per input (the failure path it takes is the
// documented one: the assertion site, then the installation's status).
//
// Checks: the list holds one node per heap HOB that migrates by the rules
// (signature "HEAP", flag 1, a HOB long enough for its header and data), in
// HOB order, minus the one whose allocation failed; forward and backward
// links agree; each node is a live pool block of 32 + DataSize bytes of the
// selected memory type holding the header and the data; no other block was
// allocated. The nodes are then released by the model, as the list's owner.
#include <algorithm>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "platform/PlatformData.h"
#include "sim/HeapHobBuilder.h"

namespace {

constexpr size_t MaxList = 0x10000;

sim::Platform *Plat;
std::vector<uint8_t> *ListBuffer;  // MaxList + padding, all 0xFF outside the input
size_t LastInput = 0;
size_t BaselineBlocks = 0;

struct ExpectedNode {
  size_t Hob;  // offset of the heap HOB in the list
  HEAP_HEADER Header;
};

std::vector<ExpectedNode> ReferenceMigration(std::span<const uint8_t> List) {
  std::vector<ExpectedNode> Nodes;
  size_t Offset = 0;
  for (;;) {
    const uint16_t Type = fuzz::Le16(List, Offset);
    const uint16_t Length = fuzz::Le16(List, Offset + 2);
    if (Type == EFI_HOB_TYPE_END_OF_HOB_LIST || Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return Nodes;
    }
    if (Type == EFI_HOB_TYPE_GUID_EXTENSION && Length >= HeapHobDataOffset &&
        std::memcmp(List.data() + Offset + OFFSET_OF(EFI_HOB_GUID_TYPE, Name), &gTevHeapHobGuid, sizeof(EFI_GUID)) ==
            0) {
      HEAP_HEADER Header;
      std::memcpy(&Header, List.data() + Offset + HeapHobHeaderOffset, sizeof Header);
      if (Header.Signature == HeapSignature && Header.MigrateFlag == HeapMigrate &&
          Header.DataSize <= Length - HeapHobDataOffset) {
        Nodes.push_back({Offset, Header});
      }
    }
    Offset += Length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Plat = &fuzz::BootedPlatform({}, [](sim::Platform &P) { P.hobs.Remove(); });
  sim::Platform &P = *Plat;
  ListBuffer = new std::vector<uint8_t>(MaxList + fuzz::PaddedHobBytes::Padding, 0xFF);
  P.firmware.SetConfigurationTable(gEfiHobListGuid, ListBuffer->data());
  BaselineBlocks = P.firmware.LiveAllocations().size();
  fuzz::Check(*PIRN_SYMBOL(P.Image(), mHobListCache) == nullptr, "start-up found a HOB list");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  sim::Platform &P = *Plat;
  fuzz::Reader In({Data, Size});
  const uint8_t FailingNode = In.U8();
  std::span<const uint8_t> Hobs = In.Rest();
  if (Hobs.size() > MaxList) {
    Hobs = Hobs.first(MaxList);
  }
  std::memset(ListBuffer->data(), 0xFF, LastInput);
  std::memcpy(ListBuffer->data(), Hobs.data(), Hobs.size());
  LastInput = Hobs.size();

  const std::vector<ExpectedNode> Migrating = ReferenceMigration(*ListBuffer);
  P.firmware.FailService(sim::Firmware::Service::LocateProtocol, 1, EFI_NOT_FOUND);
  P.firmware.FailService(sim::Firmware::Service::InstallProtocolInterface, 1, EFI_OUT_OF_RESOURCES);
  const bool Fails = FailingNode != 0 && FailingNode <= Migrating.size();
  if (Fails) {
    P.firmware.FailAllocation(FailingNode);
  }

  EFI_STATUS Status = EFI_ABORTED;
  auto *Constructor = PIRN_SYMBOL(P.Image(), TevHeapLibConstructor);
  fuzz::MustRun(P, [&] { Status = Constructor(); });
  fuzz::Check(Status == EFI_OUT_OF_RESOURCES, "the failed installation was not returned");
  fuzz::Check(*PIRN_SYMBOL(P.Image(), mHobListCache) == ListBuffer->data(), "the HOB list was not cached");

  LIST_LINK *Head = *PIRN_SYMBOL(P.Image(), mHeapListHead);
  fuzz::Check(Head == &PIRN_SYMBOL(P.Image(), mHeapListProtocol)->Head, "migration did not use its own list");
  const auto Forward = sim::HeapListForward(Head, Migrating.size() + 2);
  auto Backward = sim::HeapListBackward(Head, Migrating.size() + 2);
  std::reverse(Backward.begin(), Backward.end());
  fuzz::Check(Forward == Backward, "forward and backward links disagree");
  fuzz::Check(Forward.size() == Migrating.size() - (Fails ? 1 : 0), "not one node per migrating heap HOB");

  const auto Blocks = P.firmware.LiveAllocations();
  fuzz::Check(Blocks.size() == BaselineBlocks + Forward.size(), "pool blocks other than the nodes were allocated");
  size_t Node = 0;
  for (size_t I = 0; I < Migrating.size(); I++) {
    if (Fails && I + 1 == FailingNode) {
      continue;
    }
    const ExpectedNode &Want = Migrating[I];
    const HEAP_NODE *Got = Forward[Node++];
    fuzz::Check(std::memcmp(&Got->Header, &Want.Header, sizeof(HEAP_HEADER)) == 0, "a node's header differs");
    fuzz::Check(std::memcmp(reinterpret_cast<const uint8_t *>(Got) + sizeof(HEAP_NODE),
                            ListBuffer->data() + Want.Hob + HeapHobDataOffset, Want.Header.DataSize) == 0,
                "a node's data differs");
    bool Live = false;
    for (const auto &Block : Blocks) {
      if (Block.Buffer == Got) {
        const EFI_MEMORY_TYPE Type =
            Want.Header.PoolSelector == HeapPoolRuntime ? EfiRuntimeServicesData : EfiBootServicesData;
        Live = Block.Size == sizeof(HEAP_NODE) + Want.Header.DataSize && Block.Type == Type;
      }
    }
    fuzz::Check(Live, "a node is not a pool block of its size and type");
  }

  for (const HEAP_NODE *Got : Forward) {
    P.firmware.BootServices()->FreePool(const_cast<HEAP_NODE *>(Got));
  }
  fuzz::CheckNoViolations(P);
  P.ClearRecords();
  return 0;
}
