// Cost of the instance lookup that every mailbox request makes: the HOB
// list is fetched from the configuration table and searched from its start,
// then the instance list is walked to the id.
#include <benchmark/benchmark.h>

#include <vector>

#include "driver/Driver.h"
#include "sim/Platform.h"

namespace {

void Lookup(benchmark::State &State, sim::Platform &P, UINT32 Id, EFI_STATUS Expected) {
  *PIRN_SYMBOL(P.Image(), mSystemTable) = P.firmware.SystemTable();
  auto Find = PIRN_SYMBOL(P.Image(), FindInstanceDescriptor);
  TOPOLOGY_DESCRIPTOR *Descriptor = nullptr;
  if (Find(Id, &Descriptor) != Expected) {
    State.SkipWithError("unexpected lookup status");
    return;
  }
  for (auto _ : State) {
    benchmark::DoNotOptimize(Find(Id, &Descriptor));
    benchmark::DoNotOptimize(Descriptor);
  }
  State.SetItemsProcessed(State.iterations());
}

// The default platform: the last of four instances.
void BM_FindInstanceDefault(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  Lookup(State, *P, 3, EFI_SUCCESS);
}
BENCHMARK(BM_FindInstanceDefault);

// A large platform: 256 instances behind 64 other HOBs; the last id, and an
// id that walks the whole list without a match.
void BM_FindInstanceLarge(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  std::vector<sim::TopologyNode> Hubs;
  for (uint32_t Id = 0; Id < 256; Id++) {
    Hubs.push_back(sim::HubInstance(static_cast<uint8_t>(Id), PciAddress(0, Id, 0, 0, 0)));
  }
  const sim::TopologyBlock Block({sim::TopologyGroup(Hubs)});
  sim::HobList List;
  for (int I = 0; I < 64; I++) {
    List.AddHob(0x0003, std::vector<uint8_t>(40, 0));
  }
  List.AddRaw(Block.Bytes()).AddEnd();
  P->hobs.Install(List);
  const UINT32 Id = static_cast<UINT32>(State.range(0));
  Lookup(State, *P, Id, Id < 256 ? EFI_SUCCESS : EFI_INVALID_PARAMETER);
}
BENCHMARK(BM_FindInstanceLarge)->Arg(255)->Arg(256);

}  // namespace
