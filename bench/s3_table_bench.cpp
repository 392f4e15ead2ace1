// Resume-table appends: into an empty table, into a nearly full one, and
// rejected by a full 0x4000-byte table. An append assembles its record on
// the stack and copies it once; the "allocations" counter shows that no pool
// allocation happens in any of the loops.
//
// The library is constructed in one image and the script locked, as after
// the SMM ready-to-lock point. Assertions stay disabled (a halt is a port
// write and a query, not the append's own cost); the rejection's trace line
// does go to the debug-print protocol, whose record is emptied now and then
// outside the timing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "diag/Diag.h"
#include "firmware/Firmware.h"
#include "s3save/S3Save.h"
#include "sim/Platform.h"

namespace {

using AppendFn = decltype(&S3TableAppend);

struct Bench {
  std::unique_ptr<sim::Platform> P;
  AppendFn Append = nullptr;
  TEV_S3_LIB_TABLE_HEADER *Header = nullptr;
};

Bench Construct() {
  Bench B;
  B.P = sim::MakeDefaultPlatform();
  sim::DriverImage &Img = B.P->Image();
  *PIRN_SYMBOL(Img, mSystemTable) = B.P->firmware.SystemTable();
  *PIRN_SYMBOL(Img, mBootServices) = B.P->firmware.BootServices();
  EFI_STATUS Status = EFI_ABORTED;
  if (!B.P->Run(
          [&] { Status = PIRN_SYMBOL(Img, TevS3SaveLibConstructor)(Img.Handle(), B.P->firmware.SystemTable()); }) ||
      Status != EFI_SUCCESS) {
    std::fprintf(stderr, "resume library construction failed\n");
    std::abort();
  }
  auto *Private = *PIRN_SYMBOL(Img, mTevS3LibPrivateData);
  Private->ScriptLocked = 1;
  B.Append = PIRN_SYMBOL(Img, S3TableAppend);
  B.Header = reinterpret_cast<TEV_S3_LIB_TABLE_HEADER *>(Private->Table);
  return B;
}

constexpr UINT64 MemWriteSize = 24;

// Appends memory-write records from NextRecordOffset = Start, going back to
// Start whenever the next one would not fit.
void AppendLoop(benchmark::State &State, bool NearlyFull) {
  Bench B = Construct();
  const UINT64 Last = B.Header->TableSize - 2 - MemWriteSize;  // offset of the last record that fits
  const UINT64 Start = NearlyFull ? Last - 15 * MemWriteSize : S3TableFirstRecord;
  B.Header->NextRecordOffset = Start;
  const size_t Allocations = B.P->firmware.AllocationCount();
  UINT64 Failures = 0;
  UINT64 Value = 0;
  for (auto _ : State) {
    Failures += B.Append(S3OpMemWrite, 2, 0xE01000B8, Value++, 0, 0, 0);
    if (B.Header->NextRecordOffset > Last) {
      B.Header->NextRecordOffset = Start;
    }
  }
  if (Failures != 0) {
    State.SkipWithError("an append failed");
  }
  State.SetItemsProcessed(static_cast<int64_t>(State.iterations()));
  State.counters["allocations"] = static_cast<double>(B.P->firmware.AllocationCount() - Allocations);
}

void BM_AppendEmptyTable(benchmark::State &State) { AppendLoop(State, false); }
BENCHMARK(BM_AppendEmptyTable);

void BM_AppendNearlyFullTable(benchmark::State &State) { AppendLoop(State, true); }
BENCHMARK(BM_AppendNearlyFullTable);

// A full table: one byte short of a 24-byte record and its terminator. Every
// append is refused with its trace line; the rate must match the accepted
// appends' order of magnitude, however long the rejections go on.
void BM_RejectFullTable(benchmark::State &State) {
  Bench B = Construct();
  B.Header->NextRecordOffset = B.Header->TableSize - 2 - MemWriteSize + 1;
  const size_t Allocations = B.P->firmware.AllocationCount();
  UINT64 Refused = 0;
  UINT64 Count = 0;
  for (auto _ : State) {
    Refused += B.Append(S3OpMemWrite, 2, 0xE01000B8, 0x8001, 0, 0, 0) == S3Failure;
    if ((++Count & 0xFFFF) == 0) {
      State.PauseTiming();
      B.P->debugPrint.Clear();
      State.ResumeTiming();
    }
  }
  if (Refused != static_cast<UINT64>(State.iterations())) {
    State.SkipWithError("a record was accepted by the full table");
  }
  State.SetItemsProcessed(static_cast<int64_t>(State.iterations()));
  State.counters["allocations"] = static_cast<double>(B.P->firmware.AllocationCount() - Allocations);
}
BENCHMARK(BM_RejectFullTable)->Iterations(100000);
BENCHMARK(BM_RejectFullTable)->Iterations(2000000);

}  // namespace
