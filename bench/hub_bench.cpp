// The hub access path through the machine model: one mailbox request
// through the installed protocol (about a hundred configuration accesses
// and eighteen resume entries), and one system-register read.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "driver/Driver.h"
#include "regaccess/RegAccess.h"
#include "sim/Platform.h"

namespace {

void RunOrDie(sim::Platform &P, const std::function<void()> &Fn) {
  if (!P.Run(Fn)) {
    std::fprintf(stderr, "driver stopped: %s\n", P.machine.LastStop().Message.c_str());
    std::abort();
  }
}

std::unique_ptr<sim::Platform> Booted() {
  auto P = sim::MakeDefaultPlatform();
  if (P->StartDriver() != EFI_SUCCESS) {
    std::abort();
  }
  return P;
}

void BM_MailboxRequest(benchmark::State &State) {
  auto P = Booted();
  auto *Protocol = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(P->firmware.FindProtocol(gTevQeltServiceProtocolGuid));
  std::array<UINT32, QeltWordCount> Words = {1, 2, 3, 4, 5, 6};
  size_t Accesses = 0;
  for (auto _ : State) {
    EFI_STATUS Status = EFI_ABORTED;
    RunOrDie(*P, [&] { Status = Protocol->ServiceRequest(Protocol, 1, 0x010, Words.data(), Words.data()); });
    benchmark::DoNotOptimize(Status);
    State.PauseTiming();
    Accesses += P->machine.Log().size();
    P->machine.ClearLog();
    P->s3SaveState.ClearScript();
    P->debugPrint.Clear();
    P->HubOn(0x20).Qelt().ClearMessages();
    State.ResumeTiming();
  }
  State.counters["accesses/request"] =
      benchmark::Counter(static_cast<double>(Accesses) / static_cast<double>(State.iterations()));
}
BENCHMARK(BM_MailboxRequest);

void BM_SysRegRead(benchmark::State &State) {
  auto P = Booted();
  auto Read = PIRN_SYMBOL(P->Image(), SysRegRead);
  UINT32 Value = 0;
  for (auto _ : State) {
    RunOrDie(*P, [&] {
      for (int I = 0; I < 1000; I++) {
        Read(PciAddress(0, 0x40, 0, 0, HubIndexRegister), 0x101311AC, &Value);
      }
    });
    State.PauseTiming();
    P->machine.ClearLog();
    State.ResumeTiming();
  }
  benchmark::DoNotOptimize(Value);
  State.SetItemsProcessed(State.iterations() * 1000);
}
BENCHMARK(BM_SysRegRead);

}  // namespace
