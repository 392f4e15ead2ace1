// What one played scenario showed, section by section, and the two forms it
// is written in: a readable text report and one JSON document with the same
// content.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/Machine.h"
#include "sim/S3Replay.h"
#include "sim/S3SaveState.h"
#include "sim/TableDecoder.h"

namespace pirnsim {

struct TraceItem {
  uint64_t Filter = 0;
  std::string Text;  // formatted, without the trailing newline
};

struct PostItem {
  uint8_t Width = 4;  // bytes
  uint32_t Value = 0;
};

// A resume entry as filed: through the S3 Save State service, or as a
// record of the private table.
struct EntryItem {
  sim::ReplayItem Item;
};

struct RequestFacts {
  uint32_t Image = 0;
  uint32_t Instance = 0;
  uint32_t Message = 0;
  std::array<uint32_t, 6> Args{};
  uint32_t Repeat = 1;
  uint64_t Status = 0;                              // of the last call
  std::optional<uint32_t> Answer;                   // the controller's answer R, when a message was sent
  std::optional<std::array<uint32_t, 6>> Response;  // what the caller got back
  uint32_t Failures = 0;                            // calls that returned an error
};

struct HaltFacts {
  std::string Reason;  // "assertion halt", "watchdog", "device"
  uint32_t Code = 0;   // assertion code
  std::string Message;
};

// One section of the story: start-up of an image, or one step.
struct Section {
  std::string Kind;   // "start-up", "request", "pci_io", "ready_to_lock", "ready_to_boot", "resume"
  std::string Title;  // one line
  std::string Note;
  std::vector<std::pair<std::string, std::string>> Facts;  // ordered name/value lines
  std::optional<RequestFacts> Request;
  std::vector<TraceItem> Traces;
  std::vector<PostItem> PostCodes;
  std::vector<EntryItem> Entries;
  // Resume entries the step made that reached neither the script nor the
  // table, one line per run of calls that lost the same ones.
  std::vector<std::string> Lost;
  std::vector<sim::Access> Accesses;  // with --accesses
  std::optional<HaltFacts> Halt;
};

struct HandOff {
  bool Delivered = false;
  std::string Error;  // why the handler refused it
  std::array<uint8_t, 40> Buffer{};
  std::string HeaderGuid;
  uint64_t MessageLength = 0;
  uint32_t Command = 0;
  uint64_t PrivateData = 0;
  uint64_t TableAddress = 0;
  sim::TableDecodeResult Table;
};

struct RegisterRow {
  std::string Name;  // "instance 0 (bus 0x10) 0x101311AC"
  sim::RegisterCheck Check;
  std::string Writer;  // "table #4 @0x90" or ""
};

struct ReplayReport {
  bool Played = false;
  std::string NotPlayed;  // why not (no resume step, boot halted)
  std::vector<sim::ReplayItem> Items;
  std::vector<sim::ReplayStepResult> Steps;
  std::vector<RegisterRow> Registers;
  std::vector<sim::Access> Accesses;  // with --accesses
};

struct RunReport {
  std::string Scenario;
  std::string Description;
  bool HardwareMode = false;
  uint32_t Images = 1;
  std::vector<std::pair<uint32_t, uint32_t>> Instances;  // id, PciAddress
  std::vector<Section> Sections;
  std::vector<sim::ScriptEntry> Script;  // the whole S3 Save State script
  std::optional<HandOff> Handoff;
  ReplayReport Replay;
  bool Good = false;
  std::vector<std::string> Reasons;  // why the verdict failed
  std::vector<std::string> ModelViolations;
};

// Which trace lines are shown: all, or those whose filter is in Filters.
struct ReportOptions {
  bool AllFilters = true;
  std::vector<uint64_t> Filters;
  bool Accesses = false;
  bool Shows(uint64_t Filter) const;
};

// Parses "flow,hub", "error", "all", "none" or hexadecimal values; false on
// an unknown name.
bool ParseTraceFilter(const std::string &Text, ReportOptions &Options, std::string &Error);

void WriteText(std::ostream &Out, const RunReport &Report, const ReportOptions &Options);
nlohmann::ordered_json ToJson(const RunReport &Report, const ReportOptions &Options);

// One line for a resume entry: "MEM_WRITE  32-bit  0x00000000E01000B8 <- 0x0C9109CC".
std::string EntryText(const sim::ScriptEntry &Entry);
nlohmann::ordered_json EntryJson(const sim::ScriptEntry &Entry);

// The decoded table, one record a line, for the report and decode-table.
void WriteTableText(std::ostream &Out, const sim::TableDecodeResult &Table, const std::string &Indent);
nlohmann::ordered_json TableJson(const sim::TableDecodeResult &Table);

std::string Hex(uint64_t Value, int Digits = 0);

}  // namespace pirnsim
