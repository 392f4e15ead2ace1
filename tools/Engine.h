// Plays a scenario: builds the platform it describes, boots the unchanged
// driver images on it, plays the timeline, and at the resume step resets the
// hubs and replays what the driver recorded. The result is a RunReport.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Scenario.h"
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

}  // namespace pirnsim
