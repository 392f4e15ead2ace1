// Plays a scenario: builds the platform it describes, boots the unchanged
// driver images on it, plays the timeline, and at the resume step resets the
// hubs and replays what the driver recorded. The result is a RunReport.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/HeapHobBuilder.h"
#include "sim/Scenario.h"
#include "sim/TopologyBuilder.h"
#include "tools/Report.h"

namespace pirnsim {

struct PlayOptions {
  bool Accesses = false;  // keep the hardware-access log of every section
  bool EchoTrace = false;
};

struct PlayResult {
  RunReport Report;
  std::vector<uint8_t> HandedTable;  // the table block SMM received (empty when none)
};

PlayResult Play(const sim::Scenario &Scenario, const PlayOptions &Options);

// The HOB-list pieces a scenario describes: its topology block (the instance
// list under TopologyLevels grouping descriptors) and its heap HOBs (data
// bytes 0, 1, 2, ...).
sim::TopologyBlock ScenarioTopology(const sim::Scenario &S);
std::vector<sim::HeapHob> ScenarioHeapHobs(const sim::Scenario &S);

}  // namespace pirnsim
