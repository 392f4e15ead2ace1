// A scenario: the platform the driver boots on and the timeline played on
// it, as described by a JSON file (see README, "Scenarios").
//
// Loading checks everything before anything is played: bad JSON, an unknown
// key, a value out of range or of the wrong type, a step that names a
// missing instance or image. The first fault is reported with its JSON path
// ("$.steps[3].instance") and the reason.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ScenarioInstance {
  uint8_t Id = 0;
  uint32_t PciAddress = 0;  // segment 31:28, bus 27:20 (device, function, register as given)
  // Hub system registers with a power-on value other than 0.
  std::map<uint32_t, uint32_t> PowerOn;
  bool operator==(const ScenarioInstance &) const = default;
};

// How the Qelt controller answers one message id.
struct ScenarioHandler {
  uint8_t Status = 1;  // status byte of the answer (bits 7:0)
  // Response words; without them the controller echoes the argument words.
  std::optional<std::array<uint32_t, 6>> Response;
  bool operator==(const ScenarioHandler &) const = default;
};

struct ScenarioController {
  // Reads of the message register that show "busy" before the answer.
  uint32_t Latency = 2;
  // Every message id not listed; without it those ids get the controller's
  // built-in answers (0x001 echo, 0x002 version, 0x010 checksum, 0x020 echo
  // of a non-zero argument 0; any other id fails with status 2).
  std::optional<ScenarioHandler> Default;
  std::map<uint32_t, ScenarioHandler> Messages;  // by message id
  // After the S3 power-on reset the controller no longer answers (a dead
  // controller on resume).
  bool SilentAfterReset = false;
  // The controller takes messages but never answers, from power-on: the
  // driver's answer wait would never end, and the model's watchdog stops it.
  bool NeverAnswers = false;
  bool operator==(const ScenarioController &) const = default;
};

struct ScenarioHeapHob {
  uint32_t Signature = 0x50414548;  // "HEAP"
  uint32_t DataSize = 16;
  uint8_t PoolSelector = 4;
  uint8_t MigrateFlag = 1;
  bool operator==(const ScenarioHeapHob &) const = default;
};

// Firmware protocols present at start-up.
struct ScenarioProtocols {
  bool Pcd = true;               // PCD_PROTOCOL
  bool PiPcd = true;             // EFI_PCD_PROTOCOL
  bool S3SaveState = true;       // EFI_S3_SAVE_STATE_PROTOCOL
  bool SmmCommunication = true;  // EFI_SMM_COMMUNICATION_PROTOCOL
  bool DebugPrint = true;        // the debug-print driver
  bool Topology = true;          // the platform-topology driver
  bool operator==(const ScenarioProtocols &) const = default;
};

enum class StepKind : uint8_t { Request, PciIo, ReadyToLock, ReadyToBoot, Resume };
const char *StepKindName(StepKind Kind);  // "request", "pci_io", ...

struct ScenarioStep {
  StepKind Kind = StepKind::Request;
  std::string Note;  // shown in the report
  // Request only.
  uint32_t Instance = 0;
  uint32_t Message = 0;
  std::array<uint32_t, 6> Args{};
  uint32_t Image = 0;   // which driver image's protocol is called
  uint32_t Repeat = 1;  // the same request this many times
  bool operator==(const ScenarioStep &) const = default;
};

struct Scenario {
  std::string Name;
  std::string Description;
  bool HardwareMode = false;  // simulator query answers 0: a failed assertion halts
  uint32_t Images = 1;        // driver images carrying the resume library
  std::vector<ScenarioInstance> Instances;
  uint32_t TopologyLevels = 1;  // descriptors above the instance list
  ScenarioController Controller;
  std::map<uint32_t, uint64_t> Pcd;   // default token space, by token number
  bool CommBuffer = true;             // token 0x27001 holds a 40-byte buffer (else 0)
  std::map<uint32_t, uint64_t> Msrs;  // over the platform defaults
  std::vector<ScenarioHeapHob> HeapHobs;
  ScenarioProtocols Protocols;
  uint32_t PollLimit = 1000;  // reads a replayed poll may take
  std::vector<ScenarioStep> Steps;
  bool operator==(const Scenario &) const = default;
};

// A loading fault: where ("$.steps[2].message", or "" for the document) and
// why.
struct ScenarioError {
  std::string Path;
  std::string Reason;
  std::string Text() const { return Path.empty() ? Reason : Path + ": " + Reason; }
};

struct ScenarioLoad {
  std::optional<Scenario> Value;
  ScenarioError Error;  // meaningful when Value is empty
};

ScenarioLoad ParseScenario(const std::string &JsonText);
// Reads and parses a file; an unreadable file is an error with an empty path.
ScenarioLoad LoadScenarioFile(const std::string &Path);

// The built-in default scenario (the same as scenarios/default.json).
const std::string &DefaultScenarioJson();
Scenario DefaultScenario();

// The PCD tokens a scenario may set, with their width in bits (1 for a
// boolean); the driver reads no other.
const std::map<uint32_t, unsigned> &ScenarioPcdTokens();

}  // namespace sim
