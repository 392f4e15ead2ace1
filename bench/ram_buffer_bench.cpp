// RAM debug buffer through the machine model: initialising the whole 16 MiB
// region, and the text that makes a buffer filled to 12 MiB discard its
// oldest 4 MiB. Every byte goes through the driver's processor primitives.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "diag/Diag.h"
#include "sim/Platform.h"

namespace {

void RunOrDie(sim::Platform &P, const std::function<void()> &Fn) {
  if (!P.Run(Fn)) {
    std::fprintf(stderr, "driver stopped: %s\n", P.machine.LastStop().Message.c_str());
    std::abort();
  }
}

void BM_RamBufferInitWholeRegion(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  auto Init = PIRN_SYMBOL(P->Image(), RamBufferInit);
  for (auto _ : State) {
    // A broken signature makes every round initialise from scratch.
    P->ramBuffer.Poke(0x0, 0, 4);
    RunOrDie(*P, [&] { Init(); });
  }
  if (P->ramBuffer.Peek(0x0, 4) != RamBufferSignature) {
    State.SkipWithError("the buffer was not initialised");
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(RamBufferRegionSize));
}
BENCHMARK(BM_RamBufferInitWholeRegion)->Unit(benchmark::kMillisecond);

void BM_RamBufferPrintDiscard12MiB(benchmark::State &State) {
  sim::PlatformOptions Options;
  Options.RamBufferHeader = true;
  auto P = sim::MakeDefaultPlatform(Options);
  auto Print = PIRN_SYMBOL(P->Image(), RamBufferPrint);
  // One byte too long for what is left after 12 MiB.
  const std::vector<UINT8> Text(RamBufferDataSize - 0xC00000 + 1, 'b');
  for (auto _ : State) {
    P->ramBuffer.Poke(0x8, 0xC00000, 4);
    RunOrDie(*P, [&] { Print(Text.data(), Text.size()); });
  }
  if (P->ramBuffer.Peek(0x8, 4) != 0x800000 + Text.size()) {
    State.SkipWithError("the discard did not happen");
  }
}
BENCHMARK(BM_RamBufferPrintDiscard12MiB)->Unit(benchmark::kMillisecond);

}  // namespace
