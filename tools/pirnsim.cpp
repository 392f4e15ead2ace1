// pirnsim: boots the unchanged Pirn base driver on a described platform,
// plays a boot through to an S3 resume, reports every effect and verifies
// that the resume replay brings the hubs back to their state at boot.
//
//   pirnsim [--scenario FILE] [--json FILE] [--trace-filter LIST] [--accesses] [--save-table FILE]
//   pirnsim explain CODE
//   pirnsim decode-table FILE [--json]
//
// Exit status: 0 the boot played and the replay verdict is good, 1 the
// verdict failed, 2 bad usage or bad input.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "sim/Scenario.h"
#include "sim/TableDecoder.h"
#include "tools/DiagMeanings.h"
#include "tools/Engine.h"
#include "tools/Report.h"

namespace {

constexpr int ExitGood = 0;
constexpr int ExitFailed = 1;
constexpr int ExitBadInput = 2;

int BadInput(const std::string &Message) {
  std::fprintf(stderr, "pirnsim: %s\n", Message.c_str());
  return ExitBadInput;
}

// Writes Text to Path whole or not at all: a temporary file renamed over
// the target. "-" is standard output.
bool WriteFileAtomically(const std::string &Path, const std::string &Text, std::string &Error) {
  if (Path == "-") {
    std::cout << Text;
    return true;
  }
  const std::string Temporary = Path + ".partial";
  {
    std::ofstream Out(Temporary, std::ios::binary | std::ios::trunc);
    Out << Text;
    Out.close();
    if (!Out) {
      std::remove(Temporary.c_str());
      Error = "cannot write " + Path;
      return false;
    }
  }
  if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
    std::remove(Temporary.c_str());
    Error = "cannot write " + Path;
    return false;
  }
  return true;
}

bool ParseCode(const std::string &Text, uint64_t &Value) {
  const bool IsHex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const std::string Digits = IsHex ? Text.substr(2) : Text;
  if (Digits.empty() || Digits.size() > 16 ||
      Digits.find_first_not_of(IsHex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
    return false;
  }
  errno = 0;
  Value = std::strtoull(Digits.c_str(), nullptr, IsHex ? 16 : 10);
  return errno == 0;
}

int Explain(const std::string &Text) {
  uint64_t Value = 0;
  if (!ParseCode(Text, Value)) {
    return BadInput("\"" + Text + "\" is not a number (write 0xA1130227 or a decimal value)");
  }
  const auto Readings = pirnsim::Explain(Value);
  if (Readings.empty()) {
    return BadInput(pirnsim::Hex(Value) +
                    " is no assertion code, test point, test-point value or marquee window of this driver");
  }
  for (const auto &Reading : Readings) {
    std::cout << Reading << "\n";
  }
  return ExitGood;
}

int DecodeTable(const std::string &Path, bool Json) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    return BadInput("cannot read " + Path);
  }
  const std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  const sim::TableDecodeResult Table = sim::DecodeResumeTable(Bytes);
  if (Json) {
    std::cout << pirnsim::TableJson(Table).dump(2) << "\n";
  } else {
    std::cout << "resume table " << Path << " (" << Bytes.size() << " bytes)\n";
    pirnsim::WriteTableText(std::cout, Table, "  ");
  }
  if (!Table.Valid) {
    std::fprintf(stderr, "pirnsim: %s: %s\n", Path.c_str(), Table.Error.c_str());
    return ExitBadInput;
  }
  return ExitGood;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{
      "pirnsim: boot the Pirn base driver on a modelled platform, play a boot and an S3 resume, report and "
      "verify the resume replay"};
  App.require_subcommand(0, 1);

  std::string ScenarioPath;
  std::string JsonPath;
  std::string TraceFilter = "all";
  std::string SaveTable;
  bool Accesses = false;
  bool Echo = false;
  App.add_option("--scenario", ScenarioPath, "JSON scenario file (default: the built-in scenario)");
  App.add_option("--json", JsonPath, "write the report as one JSON document to FILE ('-': standard output)");
  App.add_option("--trace-filter", TraceFilter,
                 "trace lines shown: comma-separated error, flow, hub, testpoint, all, none or hex values");
  App.add_flag("--accesses", Accesses, "add the ordered hardware-access log of every section");
  App.add_option("--save-table", SaveTable, "save the resume table handed to SMM as raw bytes to FILE");
  App.add_flag("--echo", Echo, "echo trace lines as the driver prints them");

  std::string Code;
  CLI::App *ExplainCmd = App.add_subcommand("explain", "explain an assertion code, test point or marquee window");
  ExplainCmd->add_option("CODE", Code, "the value, e.g. 0xA1130227")->required();

  std::string TablePath;
  bool TableJson = false;
  CLI::App *DecodeCmd = App.add_subcommand("decode-table", "decode a resume table saved as raw bytes");
  DecodeCmd->add_option("FILE", TablePath, "the table file (see --save-table)")->required();
  DecodeCmd->add_flag("--json", TableJson, "write the decoded table as JSON");

  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &E) {
    const int Status = App.exit(E);
    return Status == 0 ? ExitGood : ExitBadInput;
  }

  if (*ExplainCmd) {
    return Explain(Code);
  }
  if (*DecodeCmd) {
    return DecodeTable(TablePath, TableJson);
  }

  pirnsim::ReportOptions Report;
  Report.Accesses = Accesses;
  std::string Error;
  if (!pirnsim::ParseTraceFilter(TraceFilter, Report, Error)) {
    return BadInput(Error);
  }
  sim::Scenario Scenario;
  if (ScenarioPath.empty()) {
    Scenario = sim::DefaultScenario();
  } else {
    const sim::ScenarioLoad Load = sim::LoadScenarioFile(ScenarioPath);
    if (!Load.Value) {
      return BadInput(ScenarioPath + ": " + Load.Error.Text());
    }
    Scenario = *Load.Value;
  }

  pirnsim::PlayOptions Play;
  Play.Accesses = Accesses;
  Play.EchoTrace = Echo;
  const pirnsim::PlayResult Result = pirnsim::Play(Scenario, Play);

  if (JsonPath != "-") {
    pirnsim::WriteText(std::cout, Result.Report, Report);
  }
  if (!JsonPath.empty()) {
    const std::string Text = pirnsim::ToJson(Result.Report, Report).dump(2) + "\n";
    if (!WriteFileAtomically(JsonPath, Text, Error)) {
      return BadInput(Error);
    }
  }
  if (!SaveTable.empty()) {
    if (Result.HandedTable.empty()) {
      std::fprintf(stderr, "pirnsim: no table was handed to SMM; %s not written\n", SaveTable.c_str());
    } else if (!WriteFileAtomically(SaveTable, std::string(Result.HandedTable.begin(), Result.HandedTable.end()),
                                    Error)) {
      return BadInput(Error);
    }
  }
  return Result.Report.Good ? ExitGood : ExitFailed;
}
