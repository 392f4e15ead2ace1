// Cost of the model's hot path: byte writes into the unlogged RAM debug
// buffer, which the driver's buffer channel makes tens of millions of times.
#include <benchmark/benchmark.h>

#include "diag/Diag.h"
#include "sim/Platform.h"

namespace {

// One byte write straight into the machine.
void BM_MachinePhysWrite8Unlogged(benchmark::State &State) {
  sim::Machine M;
  sim::RamDevice Ram(RamBufferRegionSize);
  M.Map(RamBufferBase, RamBufferRegionSize, Ram, false);
  uint64_t Offset = 0;
  for (auto _ : State) {
    M.PhysWrite(RamBufferBase + Offset, 1, static_cast<uint32_t>(Offset));
    Offset = (Offset + 1) & (RamBufferRegionSize - 1);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_MachinePhysWrite8Unlogged);

// The same through a loaded image's processor primitive, as the driver does.
void BM_DriverPhysWrite8(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  auto Write = PIRN_SYMBOL(P->Image(), PhysWrite8);
  uint64_t Offset = 0;
  for (auto _ : State) {
    Write(RamBufferBase + Offset, static_cast<UINT8>(Offset));
    Offset = (Offset + 1) & (RamBufferRegionSize - 1);
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_DriverPhysWrite8);

// The driver's RAM buffer initialisation: header plus 0xFFFFF0 byte clears.
void BM_DriverRamBufferInit(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  auto Init = PIRN_SYMBOL(P->Image(), RamBufferInit);
  for (auto _ : State) {
    State.PauseTiming();
    P->ramBuffer.Poke(0, 0, 4);  // invalidate the header so the clear runs again
    State.ResumeTiming();
    P->Run([&] { Init(); });
  }
  State.SetItemsProcessed(State.iterations() * RamBufferDataSize);
}
BENCHMARK(BM_DriverRamBufferInit)->Unit(benchmark::kMillisecond);

}  // namespace
