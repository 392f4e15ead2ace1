// Writes the seed corpora of the fuzz harnesses from the model's builders:
//   fuzz_seeds <corpus directory> [scenario directory]
// One subdirectory per harness, a handful of small files each, laid out as
// the harness reads its input (see each harness's header comment).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "s3save/S3Save.h"
#include "sim/HeapHobBuilder.h"
#include "sim/HobBuilder.h"
#include "sim/Hub.h"
#include "sim/Scenario.h"
#include "sim/TopologyBuilder.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::filesystem::path Root;

void Write(const std::string &Harness, const std::string &Name, const Bytes &Data) {
  const std::filesystem::path Dir = Root / Harness;
  std::filesystem::create_directories(Dir);
  std::ofstream Out(Dir / Name, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char *>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

void Append(Bytes &To, const Bytes &From) { To.insert(To.end(), From.begin(), From.end()); }
void Append8(Bytes &To, uint8_t Value) { To.push_back(Value); }
void Append16(Bytes &To, uint16_t Value) {
  for (int I = 0; I < 2; I++) To.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}
void Append32(Bytes &To, uint32_t Value) {
  for (int I = 0; I < 4; I++) To.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}
void Append64(Bytes &To, uint64_t Value) {
  for (int I = 0; I < 8; I++) To.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}

sim::HeapHob Heap(uint32_t DataSize, uint8_t Pool, uint8_t Migrate = HeapMigrate, uint32_t Signature = HeapSignature) {
  sim::HeapHob H;
  H.Signature = Signature;
  H.PoolSelector = Pool;
  H.MigrateFlag = Migrate;
  for (uint32_t I = 0; I < DataSize; I++) {
    H.Data.push_back(static_cast<uint8_t>(I * 7 + 1));
  }
  return H;
}

// A list in the platform's order: a hand-off HOB, the topology HOB, heap HOBs, the end.
Bytes PlatformList(const sim::TopologyBlock &Topology, const std::vector<sim::HeapHob> &HeapHobs) {
  sim::HobList List;
  List.AddHob(0x0001, Bytes(48, 0));
  List.AddRaw(Topology.Bytes());
  for (const auto &H : HeapHobs) {
    sim::AddHeapHob(List, H);
  }
  List.AddEnd();
  return List.Bytes();
}

void HobSearchSeeds() {
  const Bytes Default = PlatformList(sim::DefaultTopology(), sim::DefaultHeapHobs());
  for (uint8_t Selector : {0, 1}) {
    Bytes In{Selector};
    Append(In, Default);
    Write("hob_search", Selector == 0 ? "platform-topology" : "platform-heap", In);
  }
  sim::HobList Other;
  const EFI_GUID Name = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  Other.AddGuid(Name, Bytes(8, 0x55)).AddHob(0x0003, Bytes(16, 0)).AddGuid(Name).AddEnd();
  Bytes In{3};
  Bytes GuidBytes(sizeof Name);
  std::memcpy(GuidBytes.data(), &Name, sizeof Name);
  Append(In, GuidBytes);
  Append(In, Other.Bytes());
  Write("hob_search", "two-of-a-name", In);
  sim::HobList Empty;
  Empty.AddEnd();
  In = {1};
  Append(In, Empty.Bytes());
  Write("hob_search", "end-only", In);
}

void TopologySeed(const std::string &Name, uint8_t Mode, std::vector<uint32_t> Ids, uint32_t Message,
                  const sim::TopologyBlock &Block) {
  Bytes In{Mode};
  Ids.resize(3, 0);
  for (uint32_t Id : Ids) Append32(In, Id);
  Append32(In, Message);
  for (uint32_t Word = 0; Word < 6; Word++) Append32(In, Word + 1);
  Append(In, Block.Bytes());
  Write("topology", Name, In);
}

void TopologySeeds() {
  TopologySeed("default", 0, {0, 3, 7}, sim::QeltMsgEcho, sim::DefaultTopology());
  TopologySeed("reserved-id", 0, {2, 1, 0}, QeltInvalidMessageId, sim::DefaultTopology());
  TopologySeed("root-instances", 0, {1, 0x100, 2}, sim::QeltMsgVersion,
               sim::TopologyBlock({sim::HubInstance(1, PciAddress(0, 0x20, 0, 0, 0)),
                                   sim::HubInstance(2, PciAddress(1, 0x40, 0, 0, 0))}));
  TopologySeed("nested-duplicates", 0, {5, 6, 9}, sim::QeltMsgChecksum,
               sim::TopologyBlock(
                   {sim::TopologyGroup({sim::TopologyGroup({sim::HubInstance(5, PciAddress(0, 0x40, 0, 0, 0)),
                                                            sim::HubInstance(5, PciAddress(0, 0x60, 3, 1, 0x554))})}),
                    sim::TopologyGroup({sim::HubInstance(9, PciAddress(0, 0x20, 0, 0, 0))})},
                   24));
  TopologySeed("protocol-fails", 2, {0}, sim::QeltMsgEcho, sim::DefaultTopology());
  TopologySeed("no-block", 3, {1}, sim::QeltMsgEcho, sim::DefaultTopology());
}

void HeapSeed(const std::string &Name, uint8_t FailingNode, const std::vector<sim::HeapHob> &Hobs) {
  Bytes In{FailingNode};
  Append(In, PlatformList(sim::TopologyBlock({sim::HubInstance(0, 0)}), Hobs));
  Write("heap", Name, In);
}

void HeapSeeds() {
  HeapSeed("default", 0, sim::DefaultHeapHobs());
  HeapSeed("second-allocation-fails", 2, {Heap(8, 0), Heap(24, 8), Heap(0, 4)});
  HeapSeed("refused", 0,
           {Heap(16, 0, 0), Heap(16, 0, 2), Heap(16, 0, 1, 0x50414549), Heap(0, 9), Heap(40, HeapPoolRuntime)});
  sim::HeapHob Short = Heap(8, 0);
  Short.DataSize = 200;  // claims more than the HOB holds
  HeapSeed("short-hob", 1, {Short, Heap(4, 8)});
}

void TableSeed(const std::string &Name, uint8_t Locked, uint8_t Closed, uint32_t Marker,
               const std::vector<std::pair<uint16_t, std::vector<uint64_t>>> &Appends, uint64_t Next,
               uint64_t Size = S3TableMinSize) {
  Bytes In{Locked, Closed};
  Append32(In, Marker);
  Append8(In, static_cast<uint8_t>(Appends.size()));
  for (const auto &[OpCode, Operands] : Appends) {
    Append16(In, OpCode);
    for (size_t I = 0; I < 6; I++) Append64(In, I < Operands.size() ? Operands[I] : 0);
  }
  Append32(In, S3TableSignature);
  Append32(In, 1);
  Append(In, Bytes(24, 0));
  Append64(In, Size);
  Append64(In, Next);
  Write("table", Name, In);
}

void TableSeeds() {
  const std::vector<std::pair<uint16_t, std::vector<uint64_t>>> Request = {
      {S3OpMemWrite, {2, 0xE02000B8, 0x0C9109CC}},
      {S3OpMemWrite, {2, 0xE02000BC, 0x11111111}},
      {S3OpMemPoll, {2, 0xE02000BC, 0x80000101, 0xFFFFFFFF, S3MemPollDelay}},
      {S3OpPciWrite, {2, 1, BootScriptPciAddress(0x120000B8), 0x0C9109C8}},
      {S3OpPciPoll, {2, 1, BootScriptPciAddress(0x120000BC), 0x80000101, 0xFFFFFFFF, S3PciPollDelay}},
      {9, {0x1234, 0x5678}},
      {10, {1, 2, 3}},
  };
  TableSeed("empty-locked", 1, 0, S3TableEndMarker, Request, S3TableFirstRecord);
  TableSeed("nearly-full", 1, 0, S3TableEndMarker, Request, S3TableMinSize - 2 - 24 - 40);
  TableSeed("exactly-full", 1, 0, S3TableEndMarker, {{S3OpMemWrite, {2, 0xE0000000, 1}}}, S3TableMinSize - 2 - 24);
  TableSeed("unlocked", 0, 0, S3TableEndMarker, Request, S3TableFirstRecord);
  TableSeed("closed", 1, 1, S3TableEndMarker, Request, S3TableFirstRecord);
  TableSeed("bad-marker", 1, 0, 0x01558845, Request, S3TableFirstRecord);
  TableSeed("bad-size", 1, 0, S3TableEndMarker, Request, S3TableFirstRecord, 0x8000);
}

// A closed table block of the minimum size, as SMM receives it.
Bytes TableBlock(const std::vector<std::pair<uint16_t, Bytes>> &Records, bool Terminated) {
  Bytes Block(S3TableMinSize + 4, 0);
  auto Put64 = [&](size_t At, uint64_t Value) { std::memcpy(Block.data() + At, &Value, 8); };
  auto Put32 = [&](size_t At, uint32_t Value) { std::memcpy(Block.data() + At, &Value, 4); };
  Put32(0, S3TableSignature);
  Put32(4, 1);
  Put64(0x20, S3TableMinSize);
  size_t Next = S3TableFirstRecord;
  for (const auto &[OpCode, Record] : Records) {
    std::memcpy(Block.data() + Next, Record.data(), Record.size());
    std::memcpy(Block.data() + Next, &OpCode, 2);
    Next += Record.size();
  }
  Put64(0x28, Next);
  if (Terminated) {
    Block[Next] = 0xFF;
    Block[Next + 1] = 0xFF;
  }
  Put32(S3TableMinSize, S3TableEndMarker);
  return Block;
}

void TableDecoderSeeds() {
  Bytes Write3(24, 0);
  Write3[4] = 2;
  Write3[8] = 0xB8;
  Write3[16] = 0x42;
  Bytes Poll5(40, 0);
  Poll5[4] = 2;
  Poll5[8] = 0xBC;
  Poll5[16] = 0x01;
  Poll5[24] = 0xFF;
  Bytes Pci8(48, 0);
  Pci8[4] = 2;
  Pci8[8] = 1;
  Write("table_decoder", "closed-with-records",
        TableBlock({{3, Write3}, {5, Poll5}, {8, Pci8}, {9, Bytes(24, 0)}}, true));
  Write("table_decoder", "open-empty", TableBlock({}, false));
  Bytes Truncated = TableBlock({{3, Write3}}, true);
  Truncated.resize(0x40);
  Write("table_decoder", "truncated", Truncated);
}

void ScenarioSeeds(const std::filesystem::path &Scenarios) {
  if (Scenarios.empty()) {
    const std::string &Default = sim::DefaultScenarioJson();
    Write("scenario", "default", Bytes(Default.begin(), Default.end()));
    return;
  }
  for (const auto &Entry : std::filesystem::directory_iterator(Scenarios)) {
    if (Entry.path().extension() != ".json") {
      continue;
    }
    std::ifstream In(Entry.path(), std::ios::binary);
    const Bytes Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    Write("scenario", Entry.path().stem().string(), Text);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus directory> [scenario directory]\n");
    return 2;
  }
  Root = argv[1];
  HobSearchSeeds();
  TopologySeeds();
  HeapSeeds();
  TableSeeds();
  TableDecoderSeeds();
  ScenarioSeeds(argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::path());
  return 0;
}
