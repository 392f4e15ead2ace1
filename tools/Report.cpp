// The text and JSON forms of a run report.
#include "tools/Report.h"

#include <cstdio>

#include "firmware/PirnTypes.h"
#include "sim/DebugPrint.h"
#include "tools/DiagMeanings.h"

namespace pirnsim {

using OJson = nlohmann::ordered_json;

std::string Hex(uint64_t Value, int Digits) {
  // 64 bits never need more than 16 digits.
  const int Width = Digits < 0 ? 0 : (Digits > 16 ? 16 : Digits);
  char Text[40];
  std::snprintf(Text, sizeof Text, "0x%0*llX", Width, static_cast<unsigned long long>(Value));
  return Text;
}

bool ReportOptions::Shows(uint64_t Filter) const {
  if (AllFilters) {
    return true;
  }
  for (uint64_t F : Filters) {
    if (F == Filter) {
      return true;
    }
  }
  return false;
}

bool ParseTraceFilter(const std::string &Text, ReportOptions &Options, std::string &Error) {
  std::vector<uint64_t> &Filters = Options.Filters;
  Filters.clear();
  Options.AllFilters = false;
  size_t Start = 0;
  while (Start <= Text.size()) {
    size_t End = Text.find(',', Start);
    if (End == std::string::npos) {
      End = Text.size();
    }
    std::string Name = Text.substr(Start, End - Start);
    for (char &C : Name) {
      C = static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C);
    }
    if (Name == "all") {
      Options.AllFilters = true;
    } else if (Name == "none") {
      // Nothing to add: a list of only "none" shows no trace line.
    } else if (Name == "error") {
      Filters.push_back(FilterError);
    } else if (Name == "flow") {
      Filters.push_back(FilterFlow);
    } else if (Name == "hub") {
      Filters.push_back(FilterHub);
    } else if (Name == "testpoint") {
      Filters.push_back(FilterTestPoint);
    } else if (Name.size() > 2 && Name[0] == '0' && Name[1] == 'x' &&
               Name.find_first_not_of("0123456789abcdef", 2) == std::string::npos && Name.size() <= 18) {
      Filters.push_back(std::stoull(Name.substr(2), nullptr, 16));
    } else {
      Error = "unknown trace filter \"" + Name + "\" (error, flow, hub, testpoint, all, none or a hex value)";
      return false;
    }
    Start = End + 1;
  }
  return true;
}

namespace {

const char *WidthName(uint64_t Width) {
  switch (Width) {
    case 0:
      return "8-bit";
    case 1:
      return "16-bit";
    case 2:
      return "32-bit";
    case 3:
      return "64-bit";
    default:
      return "bad-width";
  }
}

int WidthDigits(uint64_t Width) {
  const unsigned Bytes = sim::BootScriptWidthBytes(Width);
  return Bytes == 0 ? 8 : static_cast<int>(2 * Bytes);
}

std::string PciText(uint64_t Segment, uint64_t Address) {
  const uint64_t Register = (Address >> 32) & 0xFFF ? (Address >> 32) & 0xFFF : Address & 0xFF;
  char Text[64];
  std::snprintf(Text, sizeof Text, "PCI %llX:%02llX:%02llX.%llX reg 0x%03llX", static_cast<unsigned long long>(Segment),
                static_cast<unsigned long long>((Address >> 24) & 0xFF),
                static_cast<unsigned long long>((Address >> 16) & 0x1F),
                static_cast<unsigned long long>((Address >> 8) & 0x7), static_cast<unsigned long long>(Register));
  return Text;
}

// The hub register a window address reaches, for readers: "bus 0x10 index"
// or "bus 0x10 data".
std::string WindowText(uint64_t Address) {
  if (Address < ConfigWindowBase || Address >= ConfigWindowBase + ConfigWindowLimit) {
    return "";
  }
  const auto Pci = static_cast<uint32_t>(Address - ConfigWindowBase);
  const uint32_t Register = PciAddressRegister(Pci);
  std::string Text = "  [bus " + Hex(PciAddressBus(Pci), 2);
  if (PciAddressDevice(Pci) != 0 || PciAddressFunction(Pci) != 0) {
    Text += " dev " + std::to_string(PciAddressDevice(Pci)) + " fn " + std::to_string(PciAddressFunction(Pci));
  }
  if (Register == HubIndexRegister) {
    Text += " index]";
  } else if (Register == HubDataRegister) {
    Text += " data]";
  } else {
    Text += " reg " + Hex(Register, 3) + "]";
  }
  return Text;
}

}  // namespace

std::string EntryText(const sim::ScriptEntry &E) {
  const int Digits = WidthDigits(E.Width);
  char Name[16];
  std::snprintf(Name, sizeof Name, "%-9s", sim::ScriptKindName(E.Kind));
  std::string Text = std::string(Name) + " " + WidthName(E.Width) + "  ";
  switch (E.Kind) {
    case sim::ScriptKind::MemWrite:
      return Text + Hex(E.Address, 16) + " <- " + Hex(E.Value, Digits) + WindowText(E.Address);
    case sim::ScriptKind::MemPoll:
      return Text + Hex(E.Address, 16) + " until (value & " + Hex(E.Mask, 8) + ") == " + Hex(E.Value, 8) + "  delay " +
             Hex(E.Extra) + WindowText(E.Address);
    case sim::ScriptKind::PciWrite:
      return Text + PciText(E.Segment, E.Address) + " <- " + Hex(E.Value, Digits);
    case sim::ScriptKind::PciPoll:
      return Text + PciText(E.Segment, E.Address) + " until (value & " + Hex(E.Mask, 8) + ") == " + Hex(E.Value, 8) +
             "  delay " + Hex(E.Extra);
  }
  return Text;
}

OJson EntryJson(const sim::ScriptEntry &E) {
  OJson J;
  J["op"] = sim::ScriptKindName(E.Kind);
  J["width_bits"] = 8 * sim::BootScriptWidthBytes(E.Width);
  const bool Pci = E.Kind == sim::ScriptKind::PciWrite || E.Kind == sim::ScriptKind::PciPoll;
  if (Pci) {
    J["segment"] = E.Segment;
  }
  J["address"] = Hex(E.Address);
  const bool Poll = E.Kind == sim::ScriptKind::MemPoll || E.Kind == sim::ScriptKind::PciPoll;
  J[Poll ? "data" : "value"] = Hex(E.Value);
  if (Poll) {
    J["mask"] = Hex(E.Mask);
    J["delay"] = Hex(E.Extra);
  }
  return J;
}

void WriteTableText(std::ostream &Out, const sim::TableDecodeResult &T, const std::string &Indent) {
  Out << Indent << "signature \"TS3T\", version " << T.Version << ", size " << Hex(T.TableSize)
      << ", next-record offset " << Hex(T.NextRecordOffset) << ", " << T.Records.size() << " record"
      << (T.Records.size() == 1 ? "" : "s") << (T.Terminated ? ", terminated" : ", not terminated") << "\n";
  size_t Number = 0;
  for (const auto &R : T.Records) {
    char Head[48];
    std::snprintf(Head, sizeof Head, "#%-4zu @0x%04llX  op %u  ", ++Number, static_cast<unsigned long long>(R.Offset),
                  R.OpCode);
    sim::ScriptEntry E;
    if (sim::TableRecordEntry(R, E)) {
      Out << Indent << Head << EntryText(E) << "\n";
    } else {
      Out << Indent << Head << sim::TableOpCodeName(R.OpCode) << "  operands";
      for (uint64_t V : R.Operands) {
        Out << " " << Hex(V);
      }
      Out << "\n";
    }
  }
  for (const auto &W : T.Warnings) {
    Out << Indent << "warning: " << W << "\n";
  }
  if (!T.Valid) {
    Out << Indent << "error: " << T.Error << "\n";
  }
}

OJson TableJson(const sim::TableDecodeResult &T) {
  OJson J;
  J["valid"] = T.Valid;
  if (!T.Valid) {
    J["error"] = T.Error;
  }
  J["version"] = T.Version;
  J["size"] = Hex(T.TableSize);
  J["next_record_offset"] = Hex(T.NextRecordOffset);
  J["terminated"] = T.Terminated;
  OJson Records = OJson::array();
  for (const auto &R : T.Records) {
    OJson Rec;
    Rec["offset"] = Hex(R.Offset);
    Rec["op_code"] = R.OpCode;
    Rec["name"] = sim::TableOpCodeName(R.OpCode);
    Rec["size"] = R.Size;
    sim::ScriptEntry E;
    if (sim::TableRecordEntry(R, E)) {
      Rec["entry"] = EntryJson(E);
    }
    OJson Operands = OJson::array();
    for (uint64_t V : R.Operands) {
      Operands.push_back(Hex(V));
    }
    Rec["operands"] = Operands;
    Records.push_back(Rec);
  }
  J["records"] = Records;
  J["warnings"] = T.Warnings;
  return J;
}

namespace {

std::string Words(const std::array<uint32_t, 6> &W) {
  std::string Text;
  for (uint32_t V : W) {
    Text += (Text.empty() ? "" : " ") + Hex(V, 8);
  }
  return Text;
}

OJson WordsJson(const std::array<uint32_t, 6> &W) {
  OJson J = OJson::array();
  for (uint32_t V : W) {
    J.push_back(Hex(V, 8));
  }
  return J;
}

void WriteSection(std::ostream &Out, const Section &S, const ReportOptions &Options) {
  Out << "\n-- " << S.Title << (S.Note.empty() ? "" : " (" + S.Note + ")") << " --\n";
  if (S.Request) {
    const RequestFacts &R = *S.Request;
    Out << "  arguments   " << Words(R.Args) << "\n";
    if (R.Answer) {
      Out << "  answer      " << Hex(*R.Answer, 8) << "  (status byte " << (*R.Answer & 0xFF)
          << ((*R.Answer & 0xFF) == 1 ? ": success)" : ": failure)") << "\n";
    } else {
      Out << "  answer      none: the message was not sent\n";
    }
    Out << "  status      " << sim::StatusName(R.Status) << " (" << Hex(R.Status) << ")";
    if (R.Repeat > 1) {
      Out << "  [" << R.Repeat << " calls, " << R.Failures << " failed]";
    }
    Out << "\n";
    Out << "  response    " << (R.Response ? Words(*R.Response) : std::string("untouched")) << "\n";
  }
  for (const auto &[Name, Value] : S.Facts) {
    char Label[40];
    std::snprintf(Label, sizeof Label, "  %-11s ", Name.c_str());
    Out << Label << Value << "\n";
  }
  if (!S.PostCodes.empty()) {
    Out << "  post codes (port 0x80):\n";
    for (const auto &P : S.PostCodes) {
      const std::string Meaning = PostCodeMeaning(P.Value);
      Out << "    " << Hex(P.Value, 2 * P.Width) << (Meaning.empty() ? "" : "  " + Meaning) << "\n";
    }
  }
  bool TraceHeader = false;
  for (const auto &T : S.Traces) {
    if (!Options.Shows(T.Filter)) {
      continue;
    }
    if (!TraceHeader) {
      Out << "  trace:\n";
      TraceHeader = true;
    }
    char Filter[24];
    std::snprintf(Filter, sizeof Filter, "%-11s", ("[" + sim::FilterName(T.Filter) + "]").c_str());
    Out << "    " << Filter << " " << T.Text << "\n";
  }
  if (!S.Entries.empty() || !S.Lost.empty()) {
    Out << "  resume entries left:\n";
    for (const auto &E : S.Entries) {
      char Where[40];
      std::snprintf(Where, sizeof Where, "%-20s", sim::ItemName(E.Item).c_str());
      Out << "    " << Where << " " << EntryText(E.Item.Entry) << "\n";
    }
    for (const auto &L : S.Lost) {
      Out << "    LOST                 " << L << "\n";
    }
  }
  if (S.Halt) {
    Out << "  HALTED      " << S.Halt->Reason;
    if (S.Halt->Code != 0) {
      Out << " " << Hex(S.Halt->Code, 8);
      if (const AssertionInfo *A = FindAssertion(S.Halt->Code)) {
        Out << " (" << A->Name << "): " << A->Meaning;
      }
    }
    Out << "\n              " << S.Halt->Message << "\n";
  }
  if (Options.Accesses && !S.Accesses.empty()) {
    Out << "  hardware accesses (" << S.Accesses.size() << "):\n";
    for (const auto &A : S.Accesses) {
      Out << "    " << sim::Describe(A) << "\n";
    }
  }
}

OJson SectionJson(const Section &S, const ReportOptions &Options) {
  OJson J;
  J["kind"] = S.Kind;
  J["title"] = S.Title;
  if (!S.Note.empty()) {
    J["note"] = S.Note;
  }
  if (S.Request) {
    const RequestFacts &R = *S.Request;
    OJson Q;
    Q["image"] = R.Image;
    Q["instance"] = R.Instance;
    Q["message"] = Hex(R.Message);
    Q["arguments"] = WordsJson(R.Args);
    Q["repeat"] = R.Repeat;
    Q["answer"] = R.Answer ? OJson(Hex(*R.Answer, 8)) : OJson(nullptr);
    Q["status"] = Hex(R.Status);
    Q["status_name"] = sim::StatusName(R.Status);
    Q["response"] = R.Response ? WordsJson(*R.Response) : OJson(nullptr);
    Q["failures"] = R.Failures;
    J["request"] = Q;
  }
  OJson Facts = OJson::object();
  for (const auto &[Name, Value] : S.Facts) {
    Facts[Name] = Value;
  }
  J["facts"] = Facts;
  OJson Posts = OJson::array();
  for (const auto &P : S.PostCodes) {
    OJson Item;
    Item["width_bits"] = 8 * P.Width;
    Item["value"] = Hex(P.Value, 2 * P.Width);
    Item["meaning"] = PostCodeMeaning(P.Value);
    Posts.push_back(Item);
  }
  J["post_codes"] = Posts;
  OJson Traces = OJson::array();
  for (const auto &T : S.Traces) {
    if (Options.Shows(T.Filter)) {
      Traces.push_back({{"filter", sim::FilterName(T.Filter)}, {"text", T.Text}});
    }
  }
  J["trace"] = Traces;
  OJson Entries = OJson::array();
  for (const auto &E : S.Entries) {
    OJson Item = EntryJson(E.Item.Entry);
    Item["where"] = sim::ItemName(E.Item);
    Item["origin"] = sim::ReplayOriginName(E.Item.Origin);
    Item["number"] = E.Item.Index + 1;
    if (E.Item.Origin == sim::ReplayOrigin::Table) {
      Item["offset"] = Hex(E.Item.TableOffset, 4);
    }
    Entries.push_back(Item);
  }
  J["resume_entries"] = Entries;
  J["lost_entries"] = S.Lost;
  if (S.Halt) {
    J["halt"] = {{"reason", S.Halt->Reason}, {"code", Hex(S.Halt->Code, 8)}, {"message", S.Halt->Message}};
  }
  if (Options.Accesses) {
    OJson Accesses = OJson::array();
    for (const auto &A : S.Accesses) {
      Accesses.push_back(sim::Describe(A));
    }
    J["accesses"] = Accesses;
  }
  return J;
}

}  // namespace

void WriteText(std::ostream &Out, const RunReport &R, const ReportOptions &Options) {
  Out << "== pirnsim: scenario \"" << R.Scenario << "\" -- " << (R.HardwareMode ? "hardware" : "simulator") << " mode, "
      << R.Images << " driver image" << (R.Images == 1 ? "" : "s") << ", " << R.Instances.size() << " hub instance"
      << (R.Instances.size() == 1 ? "" : "s") << " ==\n";
  if (!R.Description.empty()) {
    Out << R.Description << "\n";
  }
  for (const auto &[Id, Address] : R.Instances) {
    Out << "  instance " << Id << ": PCI address " << Hex(Address, 8) << " (segment " << PciAddressSegment(Address)
        << ", bus " << Hex(PciAddressBus(Address), 2) << ")\n";
  }
  for (const auto &S : R.Sections) {
    WriteSection(Out, S, Options);
  }
  Out << "\n-- Resume script (S3 Save State), " << R.Script.size() << " entr" << (R.Script.size() == 1 ? "y" : "ies")
      << " --\n";
  for (size_t I = 0; I < R.Script.size(); I++) {
    char Where[24];
    std::snprintf(Where, sizeof Where, "#%-5zu", I + 1);
    Out << "  " << Where << " " << EntryText(R.Script[I]) << "\n";
  }
  Out << "\n-- Hand-off to SMM --\n";
  if (!R.Handoff) {
    Out << "  none: ready-to-boot did not hand a table over\n";
  } else {
    const HandOff &H = *R.Handoff;
    Out << "  communicate buffer:";
    for (size_t I = 0; I < H.Buffer.size(); I++) {
      Out << (I % 16 == 0 ? "\n    " : " ") << Hex(H.Buffer[I], 2).substr(2);
    }
    Out << "\n  header GUID " << H.HeaderGuid << ", message length " << H.MessageLength << ", command " << H.Command
        << ", shared record at " << Hex(H.PrivateData) << "\n";
    if (!H.Delivered) {
      Out << "  refused by the SMM handler: " << H.Error << "\n";
    } else {
      Out << "  resume table at " << Hex(H.TableAddress) << " as the SMM handler received it:\n";
      WriteTableText(Out, H.Table, "    ");
    }
  }
  Out << "\n-- S3 resume replay --\n";
  const ReplayReport &P = R.Replay;
  if (!P.Played) {
    Out << "  not played: " << P.NotPlayed << "\n";
  } else {
    Out << "  hubs reset to their power-on state; " << P.Items.size() << " entries replayed\n";
    for (size_t I = 0; I < P.Items.size() && I < P.Steps.size(); I++) {
      const auto &S = P.Steps[I];
      if (S.Outcome == sim::ReplayOutcome::Written) {
        continue;
      }
      Out << "  " << sim::ItemName(P.Items[I]) << ": " << sim::ReplayOutcomeName(S.Outcome);
      if (S.Reads > 0) {
        Out << " after " << S.Reads << " read" << (S.Reads == 1 ? "" : "s") << ", last " << Hex(S.LastRead, 8);
      }
      Out << "\n";
    }
    Out << "  hub registers written at boot:\n";
    for (const auto &Row : P.Registers) {
      char Line[160];
      std::snprintf(Line, sizeof Line, "    %-40s boot %s  resume %s  %s", Row.Name.c_str(),
                    Hex(Row.Check.BootValue, 8).c_str(), Hex(Row.Check.ResumeValue, 8).c_str(),
                    Row.Check.Restored ? "restored" : "NOT RESTORED");
      Out << Line << (Row.Writer.empty() ? "" : "  (" + Row.Writer + ")") << "\n";
    }
    if (Options.Accesses) {
      Out << "  replay accesses (" << P.Accesses.size() << "):\n";
      for (const auto &A : P.Accesses) {
        Out << "    " << sim::Describe(A) << "\n";
      }
    }
  }
  for (const auto &V : R.ModelViolations) {
    Out << "  model: " << V << "\n";
  }
  Out << "\nVERDICT: " << (R.Good ? "GOOD" : "FAILED") << "\n";
  for (const auto &Reason : R.Reasons) {
    Out << "  - " << Reason << "\n";
  }
}

OJson ToJson(const RunReport &R, const ReportOptions &Options) {
  OJson J;
  J["scenario"] = R.Scenario;
  J["description"] = R.Description;
  J["mode"] = R.HardwareMode ? "hardware" : "simulator";
  J["images"] = R.Images;
  OJson Instances = OJson::array();
  for (const auto &[Id, Address] : R.Instances) {
    Instances.push_back({{"id", Id}, {"pci_address", Hex(Address, 8)}});
  }
  J["instances"] = Instances;
  OJson Sections = OJson::array();
  for (const auto &S : R.Sections) {
    Sections.push_back(SectionJson(S, Options));
  }
  J["sections"] = Sections;
  OJson Script = OJson::array();
  for (const auto &E : R.Script) {
    Script.push_back(EntryJson(E));
  }
  J["resume_script"] = Script;
  if (R.Handoff) {
    const HandOff &H = *R.Handoff;
    OJson Bytes = OJson::array();
    for (uint8_t B : H.Buffer) {
      Bytes.push_back(B);
    }
    J["handoff"] = {{"delivered", H.Delivered},
                    {"error", H.Error},
                    {"buffer", Bytes},
                    {"header_guid", H.HeaderGuid},
                    {"message_length", H.MessageLength},
                    {"command", H.Command},
                    {"private_data", Hex(H.PrivateData)},
                    {"table_address", Hex(H.TableAddress)},
                    {"table", TableJson(H.Table)}};
  } else {
    J["handoff"] = nullptr;
  }
  OJson Replay;
  Replay["played"] = R.Replay.Played;
  if (!R.Replay.Played) {
    Replay["not_played"] = R.Replay.NotPlayed;
  }
  OJson Steps = OJson::array();
  for (size_t I = 0; I < R.Replay.Items.size() && I < R.Replay.Steps.size(); I++) {
    const auto &S = R.Replay.Steps[I];
    OJson Item = EntryJson(R.Replay.Items[I].Entry);
    Item["where"] = sim::ItemName(R.Replay.Items[I]);
    Item["outcome"] = sim::ReplayOutcomeName(S.Outcome);
    if (S.Reads > 0) {
      Item["reads"] = S.Reads;
      Item["last_read"] = Hex(S.LastRead, 8);
    }
    Steps.push_back(Item);
  }
  Replay["entries"] = Steps;
  OJson Registers = OJson::array();
  for (const auto &Row : R.Replay.Registers) {
    Registers.push_back({{"register", Row.Name},
                         {"boot", Hex(Row.Check.BootValue, 8)},
                         {"resume", Hex(Row.Check.ResumeValue, 8)},
                         {"restored", Row.Check.Restored},
                         {"last_written_by", Row.Writer}});
  }
  Replay["registers"] = Registers;
  if (Options.Accesses) {
    OJson Accesses = OJson::array();
    for (const auto &A : R.Replay.Accesses) {
      Accesses.push_back(sim::Describe(A));
    }
    Replay["accesses"] = Accesses;
  }
  J["replay"] = Replay;
  J["model_violations"] = R.ModelViolations;
  J["verdict"] = {{"good", R.Good}, {"reasons", R.Reasons}};
  return J;
}

}  // namespace pirnsim
