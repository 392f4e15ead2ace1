// pirnsim playing a scenario of 10,000 mailbox requests over four hub
// instances, through to the S3 resume replay and its verdict.
#include <benchmark/benchmark.h>

#include "sim/Scenario.h"
#include "tools/Engine.h"

namespace {

sim::Scenario TenThousandRequests() {
  sim::Scenario S;
  S.Name = "bench";
  for (uint8_t Id = 0; Id < 4; Id++) {
    S.Instances.push_back({Id, static_cast<uint32_t>(Id) * 0x20 << 20, {}});
  }
  auto Step = [](sim::StepKind Kind) {
    sim::ScenarioStep Out;
    Out.Kind = Kind;
    return Out;
  };
  S.Steps.push_back(Step(sim::StepKind::PciIo));
  // 2,500 requests to each instance, the message and arguments varying.
  for (uint32_t Round = 0; Round < 25; Round++) {
    for (uint32_t Id = 0; Id < 4; Id++) {
      sim::ScenarioStep R = Step(sim::StepKind::Request);
      R.Instance = Id;
      R.Message = Round % 2 == 0 ? 0x001 : 0x010;
      R.Args = {Round, Id, 3, 4, 5, 6};
      R.Repeat = 100;
      S.Steps.push_back(R);
    }
  }
  S.Steps.push_back(Step(sim::StepKind::ReadyToLock));
  S.Steps.push_back(Step(sim::StepKind::ReadyToBoot));
  S.Steps.push_back(Step(sim::StepKind::Resume));
  return S;
}

void BM_Play10000Requests(benchmark::State &State) {
  const sim::Scenario S = TenThousandRequests();
  size_t Requests = 0;
  for (auto _ : State) {
    const pirnsim::PlayResult Result = pirnsim::Play(S, {});
    if (!Result.Report.Good) {
      State.SkipWithError("the replay verdict failed");
      break;
    }
    benchmark::DoNotOptimize(Result.Report.Replay.Registers.size());
    Requests += 10000;
  }
  State.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(Requests), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Play10000Requests)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
