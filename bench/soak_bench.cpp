// Soak: one million mailbox requests on the model, across the SMM
// ready-to-lock point, until the resume table is full and far beyond.
//
// The table is sized so that 37 requests after ready-to-lock fill it to the
// last 2 bytes (the terminator's room): each request leaves 17 memory writes
// of 24 bytes and one memory poll of 40. The soak then checks what must hold
// however long the boot runs:
//   - pool use stays flat once the table is full (no block, no byte more);
//   - the record that fits exactly is accepted, and the next one is refused
//     with status 7 while the table stays as it is;
//   - the program, playing the same million requests, ends with a verdict
//     that names the entries that were refused.
// A broken promise ends the benchmark with an error instead of a rate.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "driver/Driver.h"
#include "s3save/S3Save.h"
#include "sim/Platform.h"
#include "sim/Scenario.h"
#include "tools/Engine.h"

namespace {

constexpr uint64_t RequestBytes = 17 * 24 + 40;
constexpr uint64_t ExactFit = S3TableFirstRecord + 37 * RequestBytes + 2;
constexpr int64_t Requests = 1000000;
constexpr int64_t BeforeLock = 1000;    // requests recorded through the S3 Save State service
constexpr int64_t Housekeeping = 4096;  // model records cleared every so many requests
constexpr uint32_t Instance = 1;        // bus 0x20 in the default topology

size_t PoolBytes(const sim::Firmware &Fw) {
  size_t Bytes = 0;
  for (const auto &Block : Fw.LiveAllocations()) {
    Bytes += Block.Size;
  }
  return Bytes;
}

// The million requests on the model, through the installed service.
void BM_MailboxSoak(benchmark::State &State) {
  auto P = sim::MakeDefaultPlatform();
  P->pcd.Set(PcdS3TableSize, ExactFit);
  if (P->StartDriver() != EFI_SUCCESS) {
    State.SkipWithError("start-up failed");
    return;
  }
  auto *Service = static_cast<TEV_QELT_SERVICE_PROTOCOL *>(P->firmware.FindProtocol(gTevQeltServiceProtocolGuid));
  const TEV_S3_LIB_PRIVATE_DATA *Record = *PIRN_SYMBOL(P->Image(), mTevS3LibPrivateData);
  if (Service == nullptr || Record == nullptr || Record->Table == 0) {
    State.SkipWithError("no service or no table after start-up");
    return;
  }
  const auto *Table = reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(Record->Table);

  std::array<uint32_t, 6> Args{};
  std::array<uint32_t, 6> Response{};
  EFI_STATUS Status = EFI_SUCCESS;
  int64_t Done = 0;
  int64_t FullAt = -1;
  size_t FullBlocks = 0;
  size_t FullBytes = 0;
  const char *Broken = nullptr;
  for (auto _ : State) {
    if (Done == BeforeLock) {
      State.PauseTiming();
      if (!P->InstallSmmReadyToLock() || Record->ScriptLocked != 1) {
        Broken = "ready-to-lock did not lock the script";
      }
      State.ResumeTiming();
    }
    Args = {static_cast<uint32_t>(Done), 1, 2, 3, 4, 5};
    if (!P->Run([&] {
          Status = Service->ServiceRequest(Service, Instance, sim::QeltMsgEcho, Args.data(), Response.data());
        }) ||
        Status != EFI_SUCCESS) {
      Broken = "a request failed";
    }
    Done++;
    if (FullAt < 0 && Table->NextRecordOffset == ExactFit - 2) {
      FullAt = Done;
      FullBlocks = P->firmware.LiveAllocations().size();
      FullBytes = PoolBytes(P->firmware);
    }
    if (Done % Housekeeping == 0 || Broken != nullptr) {
      State.PauseTiming();
      P->ClearRecords();
      if (FullAt >= 0 && (P->firmware.LiveAllocations().size() != FullBlocks || PoolBytes(P->firmware) != FullBytes)) {
        Broken = "pool use grew after the table was full";
      }
      State.ResumeTiming();
      if (Broken != nullptr) {
        State.SkipWithError(Broken);
        break;
      }
    }
  }
  if (Broken != nullptr) {
    return;
  }
  if (FullAt != BeforeLock + 37) {
    State.SkipWithError("the table did not fill up exactly with the 37th request after ready-to-lock");
    return;
  }
  if (P->firmware.LiveAllocations().size() != FullBlocks || PoolBytes(P->firmware) != FullBytes) {
    State.SkipWithError("pool use grew after the table was full");
    return;
  }
  // The table is full to the terminator's room: one more record is refused
  // with status 7 and changes nothing.
  const uint64_t Next = Table->NextRecordOffset;
  const UINT32 Value = 0x12345678;
  UINT8 Refused = 0;
  P->Run([&] { Refused = PIRN_SYMBOL(P->Image(), S3RecordMemWrite)(AccessWidth32, 0xE00200B8, &Value); });
  if (Refused != S3Failure || Table->NextRecordOffset != Next ||
      !P->debugPrint.Contains("No enough space for s3 data save\n")) {
    State.SkipWithError("a record that does not fit was not refused with status 7");
    return;
  }
  State.SetItemsProcessed(State.iterations());
  State.counters["requests_per_s"] = benchmark::Counter(static_cast<double>(Done), benchmark::Counter::kIsRate);
  State.counters["full_after"] = static_cast<double>(FullAt);
  State.counters["pool_bytes"] = static_cast<double>(FullBytes);
  State.counters["refused_status"] = Refused;
}
BENCHMARK(BM_MailboxSoak)->Iterations(Requests)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same million requests played by the program, resume replay included.
void BM_ProgramSoak(benchmark::State &State) {
  sim::Scenario S;
  S.Name = "soak";
  S.Instances = {{0, PciAddress(0, 0x20, 0, 0, 0), {}}};
  S.Pcd[PcdS3TableSize] = ExactFit;
  sim::ScenarioStep Request;
  Request.Kind = sim::StepKind::Request;
  Request.Message = sim::QeltMsgEcho;
  Request.Args = {1, 2, 3, 4, 5, 6};
  sim::ScenarioStep Lock, Boot, Resume;
  Lock.Kind = sim::StepKind::ReadyToLock;
  Boot.Kind = sim::StepKind::ReadyToBoot;
  Resume.Kind = sim::StepKind::Resume;
  sim::ScenarioStep Early = Request;
  Early.Repeat = BeforeLock;
  sim::ScenarioStep Late = Request;
  Late.Repeat = Requests - BeforeLock;
  S.Steps = {Early, Lock, Late, Boot, Resume};

  const std::string Named = "Step 3: request to instance 0, message 0x1, calls 38 to " + std::to_string(Late.Repeat) +
                            " of " + std::to_string(Late.Repeat) +
                            ": resume entries 1 to 18 (argument word 0 to the answer poll) of each call refused: \"No "
                            "enough space for s3 data save\"; the replay cannot repeat the request";
  for (auto _ : State) {
    const pirnsim::PlayResult Result = pirnsim::Play(S, {});
    const auto &Reasons = Result.Report.Reasons;
    if (Result.Report.Good || Reasons.empty() || Reasons.front() != Named) {
      State.SkipWithError(("the verdict does not name the refused entries: " +
                           (Reasons.empty() ? std::string("no reason") : Reasons.front()))
                              .c_str());
      return;
    }
  }
  State.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(Requests * State.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProgramSoak)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
