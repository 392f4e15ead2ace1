// Plays a scenario on the platform model with the unchanged driver images.
#include "tools/Engine.h"

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <span>

#include "diag/Diag.h"
#include "driver/Driver.h"
#include "platform/PlatformData.h"
#include "s3save/S3Save.h"
#include "sim/Hub.h"
#include "sim/Platform.h"
#include "sim/PlatformHobs.h"
#include "sim/S3SaveState.h"
#include "sim/SmmComm.h"
#include "sim/TopologyProtocol.h"
#include "tools/DiagMeanings.h"

namespace pirnsim {
namespace {

// PCD values of the platform before the scenario's own.
const std::map<uint32_t, uint64_t> DefaultPcd = {
    {850, 0},  {1185, 0}, {1108, 2}, {1184, 0}, {1190, 0}, {1188, 0}, {1189, 0x0C910600},
    {1186, 0}, {1118, 0}, {1117, 0}, {1187, 0}, {1345, 0}, {1346, 0}, {1347, 0x4000},
};

sim::TopologyNode Nest(std::vector<sim::TopologyNode> Instances, uint32_t Levels) {
  if (Levels == 0) {
    // The instance list is the top list: the first instance is the root.
    return sim::TopologyNode{};  // unused
  }
  sim::TopologyNode Node = sim::TopologyGroup(std::move(Instances));
  for (uint32_t L = 1; L < Levels; L++) {
    Node = sim::TopologyGroup({Node});
  }
  return Node;
}

sim::QeltHandler HandlerFor(const sim::ScenarioHandler &H) {
  return [H](uint32_t, const sim::QeltWordArray &Arguments) {
    sim::QeltReply Reply;
    Reply.Status = H.Status;
    Reply.Words = H.Response ? *H.Response : Arguments;
    return Reply;
  };
}

std::string RegisterText(uint64_t Key) { return sim::HubRegisterName(Key); }

// A request that reaches the mailbox leaves 18 resume entries: index and data
// for each of the six argument words, the command and the doorbell, then the
// index for the poll and the poll of the answer.
constexpr size_t RequestResumeEntries = 18;

std::string ResumeEntryPart(size_t Entry) {
  if (Entry <= 12) {
    return "argument word " + std::to_string((Entry - 1) / 2);
  }
  return Entry <= 14 ? "the command" : Entry <= 16 ? "the doorbell" : "the answer poll";
}

// The messages with which the resume library refuses an entry (status 7).
constexpr const char *RefusalMessages[] = {
    "No enough space for s3 data save\n",
    "TevS3Lib table allocate fail\n",
    "TevS3Lib table Signature check fail\n",
    "TevS3Lib table boundary check fail\n",
};

class Player {
 public:
  Player(const sim::Scenario &S, const PlayOptions &O) : S(S), O(O) {}

  PlayResult Run() {
    RunReport &R = Result.Report;
    R.Scenario = S.Name;
    R.Description = S.Description;
    R.HardwareMode = S.HardwareMode;
    R.Images = S.Images;
    for (const auto &I : S.Instances) {
      R.Instances.emplace_back(I.Id, I.PciAddress);
    }
    Build();
    for (uint32_t I = 0; I < S.Images && !Halted; I++) {
      StartImage(I);
    }
    for (size_t I = 0; I < S.Steps.size() && !Halted; I++) {
      PlayStep(I, S.Steps[I]);
    }
    if (Halted) {
      R.Replay.NotPlayed = "the boot halted";
    } else if (!ResumePlayed) {
      R.Replay.NotPlayed = "the scenario has no resume step";
    }
    R.Script = P->s3SaveState.Script();
    for (const auto &V : P->Violations()) {
      R.ModelViolations.push_back(V);
    }
    R.Good = R.Reasons.empty();
    return std::move(Result);
  }

 private:
  // ---- Platform ----------------------------------------------------------
  sim::Hub *HubOnBus(uint8_t Bus) {
    for (const auto &H : P->hubs) {
      if (H->Bus() == Bus) {
        return H.get();
      }
    }
    return nullptr;
  }

  void Build() {
    sim::PlatformOptions PO;
    PO.DebugPrint = S.Protocols.DebugPrint;
    PO.Pcd = S.Protocols.Pcd;
    PO.PiPcd = S.Protocols.PiPcd;
    PO.S3SaveState = S.Protocols.S3SaveState;
    PO.SmmCommunication = S.Protocols.SmmCommunication;
    PO.Topology = S.Protocols.Topology;
    PO.Simulator = !S.HardwareMode;
    PO.Images = S.Images;
    PO.EchoTrace = O.EchoTrace;
    P = sim::MakeDefaultPlatform(PO);

    for (const auto &[Index, Value] : S.Msrs) {
      P->machine.SetMsr(Index, Value);
    }
    for (const auto &[Token, Value] : DefaultPcd) {
      P->pcd.Set(Token, Value);
    }
    for (const auto &[Token, Value] : S.Pcd) {
      P->pcd.Set(Token, Value);
    }
    P->pcd.Set(gTevPcdTokenSpaceGuid, PcdSmmCommBuffer, S.CommBuffer ? P->smm.CommBufferAddress() : 0);

    // A hub on every instance bus of segment 0 (the platform's own hubs stay:
    // they are hardware whether the topology names them or not).
    for (const auto &I : S.Instances) {
      if (PciAddressSegment(I.PciAddress) != 0) {
        continue;  // outside the window: nothing answers there
      }
      const auto Bus = static_cast<uint8_t>(PciAddressBus(I.PciAddress));
      sim::Hub *H = HubOnBus(Bus);
      if (H == nullptr) {
        H = &P->AddHub(Bus);
      }
      ScenarioBuses.insert(Bus);
      for (const auto &[Register, Value] : I.PowerOn) {
        H->SetPowerOn(Register, Value);
      }
    }
    for (const auto &H : P->hubs) {
      sim::QeltController &Q = H->Qelt();
      Q.SetBusyReads(S.Controller.Latency);
      if (S.Controller.NeverAnswers) {
        Q.SetNeverAnswer(true);
      }
      if (S.Controller.Default) {
        Q.SetUnknownHandler(HandlerFor(*S.Controller.Default));
        for (uint32_t Builtin : {sim::QeltMsgEcho, sim::QeltMsgVersion, sim::QeltMsgChecksum, sim::QeltMsgNonZero}) {
          Q.SetHandler(Builtin, HandlerFor(*S.Controller.Default));
        }
      }
      for (const auto &[Id, Handler] : S.Controller.Messages) {
        Q.SetHandler(Id, HandlerFor(Handler));
      }
    }

    // HOB list: the scenario's topology and heap HOBs.
    P->hobs.Topology = ScenarioTopology(S);
    P->hobs.HeapHobs = ScenarioHeapHobs(S);
    P->hobs.Install();
    P->machine.ClearLog();
  }

  // ---- Sections ------------------------------------------------------------
  Section Begin(const std::string &Kind, const std::string &Title, const std::string &Note) {
    Section Sec;
    Sec.Kind = Kind;
    Sec.Title = Title;
    Sec.Note = Note;
    TraceMark = P->debugPrint.Lines().size();
    ScriptMark = P->s3SaveState.Script().size();
    P->machine.ClearLog();
    return Sec;
  }

  // Guarded driver call; a stop becomes the section's halt and ends the boot.
  bool Guarded(Section &Sec, const std::function<void()> &Fn) {
    if (P->Run(Fn)) {
      return true;
    }
    RecordStop(Sec);
    return false;
  }

  void RecordStop(Section &Sec) {
    const sim::StopInfo &Stop = P->machine.LastStop();
    HaltFacts H;
    H.Reason = Stop.Reason == sim::StopReason::AssertHalt ? "assertion halt"
               : Stop.Reason == sim::StopReason::Watchdog ? "watchdog"
                                                          : "device gave up";
    H.Code = Stop.Code;
    H.Message = Stop.Message;
    std::string Reason = Sec.Title + ": the boot stopped (" + H.Reason;
    if (H.Code != 0) {
      Reason += " " + Hex(H.Code, 8);
      if (const AssertionInfo *A = FindAssertion(H.Code)) {
        Reason += std::string(", ") + A->Name + ": " + A->Meaning;
      }
    } else if (!H.Message.empty()) {
      // A watchdog or a device that gave up: what it saw ("controller never
      // answered: bus 0x20, message 0x30").
      Reason += ": " + H.Message;
    }
    Result.Report.Reasons.push_back(Reason + ")");
    Sec.Halt = H;
    Halted = true;
    P->machine.ClearStop();
  }

  TEV_S3_LIB_PRIVATE_DATA *SharedRecord() {
    for (size_t I = 0; I < P->ImageCount(); I++) {
      TEV_S3_LIB_PRIVATE_DATA *Record = *PIRN_SYMBOL(P->Image(I), mTevS3LibPrivateData);
      if (Record != nullptr) {
        return Record;
      }
    }
    return nullptr;
  }

  // Size of the live pool block at Address, or 0.
  size_t PoolBlockSize(uint64_t Address) const {
    for (const auto &A : P->firmware.LiveAllocations()) {
      if (reinterpret_cast<uint64_t>(A.Buffer) == Address) {
        return A.Size;
      }
    }
    return 0;
  }

  // Moves the trace lines printed since TraceMark into the section.
  void TakeTraces(Section &Sec) {
    const auto &Lines = P->debugPrint.Lines();
    for (size_t I = TraceMark; I < Lines.size(); I++) {
      std::string Text = Lines[I].Text;
      if (!Text.empty() && Text.back() == '\n') {
        Text.pop_back();
      }
      Sec.Traces.push_back({Lines[I].Filter, Text});
    }
  }

  void Finish(Section &Sec) {
    TakeTraces(Sec);
    const auto &Log = P->machine.Log();
    for (const auto &A : Log) {
      if (A.Kind == sim::AccessKind::PortWrite && A.Address == 0x80) {
        Sec.PostCodes.push_back({A.Width, static_cast<uint32_t>(A.Value)});
      } else if (A.Kind == sim::AccessKind::SysRegWrite && !Halted) {
        Written.insert(A.Address);
      }
    }
    if (O.Accesses) {
      Sec.Accesses = Log;
    }
    const auto &Script = P->s3SaveState.Script();
    for (size_t I = ScriptMark; I < Script.size(); I++) {
      Sec.Entries.push_back({{Script[I], sim::ReplayOrigin::Script, I, 0}});
    }
    CollectTableEntries(Sec);
    P->machine.ClearLog();
  }

  // The records appended to the live table since the last look.
  void CollectTableEntries(Section &Sec) {
    const TEV_S3_LIB_PRIVATE_DATA *Record = SharedRecord();
    if (Record == nullptr || Record->Table == 0 || Record->TableClosed != 0) {
      return;
    }
    const size_t Block = PoolBlockSize(Record->Table);
    if (Block < sizeof(TEV_S3_LIB_TABLE_HEADER)) {
      return;
    }
    const std::span<const uint8_t> Bytes(reinterpret_cast<const uint8_t *>(Record->Table), Block);
    const auto *Header = reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(Record->Table);
    const uint64_t Next = Header->NextRecordOffset;
    if (Next <= TableMark || Next > Block) {
      return;
    }
    std::vector<sim::TableRecord> Records;
    std::vector<std::string> Warnings;
    std::string Error;
    sim::DecodeTableRecords(Bytes, TableMark, Next, Records, Warnings, Error);
    for (const auto &Rec : Records) {
      sim::ScriptEntry E;
      if (sim::TableRecordEntry(Rec, E)) {
        Sec.Entries.push_back({{E, sim::ReplayOrigin::Table, TableCount, Rec.Offset}});
      }
      TableCount++;
    }
    TableMark = Next;
  }

  // ---- Start-up --------------------------------------------------------------
  void StartImage(uint32_t Index) {
    Section Sec = Begin("start-up", "Start-up of driver image " + std::to_string(Index), "");
    sim::DriverImage &Img = P->Image(Index);
    // DriverImage::Start guards the run itself.
    P->machine.ClearStop();
    const EFI_STATUS Status = Img.Start(P->firmware.SystemTable());
    if (P->machine.LastStop().Reason != sim::StopReason::None) {
      RecordStop(Sec);
    }
    Sec.Facts.emplace_back("ImageEntry", sim::StatusName(Status) + " (" + Hex(Status) + ")");
    const DIAG_CONFIG &Diag = *PIRN_SYMBOL(Img, DiagConfig);
    Sec.Facts.emplace_back("DiagConfig", "assertions " + std::string(Diag.AssertEnable ? "enabled" : "disabled") +
                                             ", port 0x80 " + (Diag.TestPointPortEnable ? "on" : "off") +
                                             ", hub mirror " + (Diag.TestPointMirrorEnable ? "on" : "off"));
    Sec.Facts.emplace_back("S3 script", *PIRN_SYMBOL(Img, mS3SaveState) != nullptr ? "S3 Save State protocol found"
                                                                                   : "no S3 Save State protocol");
    if (const TEV_S3_LIB_PRIVATE_DATA *Record = *PIRN_SYMBOL(Img, mTevS3LibPrivateData)) {
      const uint64_t Size = Record->Table != 0 && PoolBlockSize(Record->Table) >= sizeof(TEV_S3_LIB_TABLE_HEADER)
                                ? reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(Record->Table)->TableSize
                                : 0;
      Sec.Facts.emplace_back("resume lib", "shared record " + Hex(reinterpret_cast<uint64_t>(Record)) + ", RefCount " +
                                               std::to_string(Record->RefCount) + ", table " +
                                               (Record->Table != 0 ? Hex(Record->Table) + " of " + Hex(Size) + " bytes"
                                                                   : std::string("none")));
    } else {
      Sec.Facts.emplace_back("resume lib", "no shared record");
    }
    // What the image published, and the heap list in forward (HOB) order.
    std::string Installed;
    if (P->firmware.FindProtocol(gTevQeltServiceProtocolGuid) == PIRN_SYMBOL(Img, mQeltServiceProtocol)) {
      Installed = "TevQeltServiceProtocol";
    }
    TEV_HEAP_LIST_PROTOCOL *OwnList = PIRN_SYMBOL(Img, mHeapListProtocol);
    const bool OwnsHeapList = P->firmware.FindProtocol(gTevHeapListProtocolGuid) == OwnList;
    if (OwnsHeapList) {
      Installed += std::string(Installed.empty() ? "" : ", ") + "TevHeapListProtocol";
    }
    Sec.Facts.emplace_back("installed", Installed.empty() ? "nothing" : Installed);
    LIST_LINK *Head = *PIRN_SYMBOL(Img, mHeapListHead);
    if (Head == nullptr) {
      Sec.Facts.emplace_back("heap list", "none");
    } else {
      const auto Nodes = sim::HeapListForward(Head);
      Sec.Facts.emplace_back("heap list", std::to_string(Nodes.size()) + " node(s), " +
                                              (OwnsHeapList ? "built from the heap HOBs" : "joined"));
      for (size_t Index = 0; Index < Nodes.size(); Index++) {
        const HEAP_HEADER &H = Nodes[Index]->Header;
        Sec.Facts.emplace_back("heap node " + std::to_string(Index + 1),
                               Hex(reinterpret_cast<uint64_t>(Nodes[Index])) + ", " + std::to_string(H.DataSize) +
                                   " data byte(s), " + (H.PoolSelector == HeapPoolRuntime ? "runtime" : "boot") +
                                   "-services data (selector " + std::to_string(H.PoolSelector) + ")");
      }
    }
    Finish(Sec);
    Result.Report.Sections.push_back(std::move(Sec));
  }

  // ---- Steps ---------------------------------------------------------------
  void PlayStep(size_t Number, const sim::ScenarioStep &Step) {
    const std::string Prefix = "Step " + std::to_string(Number + 1) + ": ";
    switch (Step.Kind) {
      case sim::StepKind::Request:
        return Request(Prefix, Step);
      case sim::StepKind::PciIo: {
        Section Sec = Begin("pci_io", Prefix + "PCI I/O protocol installed", Step.Note);
        if (!P->InstallPciIo()) {
          RecordStop(Sec);
        }
        for (uint8_t Bus : ScenarioBuses) {
          const sim::Hub *H = HubOnBus(Bus);
          std::string Values;
          for (uint32_t Register : HwInitLockRegs) {
            Values += (Values.empty() ? "" : ", ") + Hex(Register, 8) + " = " + Hex(H->PeekSysReg(Register), 8);
          }
          Sec.Facts.emplace_back("bus " + Hex(Bus, 2), Values);
        }
        Finish(Sec);
        Result.Report.Sections.push_back(std::move(Sec));
        return;
      }
      case sim::StepKind::ReadyToLock: {
        Section Sec = Begin("ready_to_lock", Prefix + "SMM ready-to-lock", Step.Note);
        if (!P->InstallSmmReadyToLock()) {
          RecordStop(Sec);
        }
        const TEV_S3_LIB_PRIVATE_DATA *Record = SharedRecord();
        Sec.Facts.emplace_back("recording", Record == nullptr           ? "no shared record"
                                            : Record->ScriptLocked != 0 ? "into the private resume table"
                                                                        : "still through S3 Save State");
        Finish(Sec);
        Result.Report.Sections.push_back(std::move(Sec));
        return;
      }
      case sim::StepKind::ReadyToBoot:
        return ReadyToBoot(Prefix, Step);
      case sim::StepKind::Resume:
        return Resume(Prefix, Step);
    }
  }

  void Request(const std::string &Prefix, const sim::ScenarioStep &Step) {
    Section Sec = Begin("request",
                        Prefix + "request to instance " + std::to_string(Step.Instance) + ", message " +
                            Hex(Step.Message) + (S.Images > 1 ? " through image " + std::to_string(Step.Image) : ""),
                        Step.Note);
    RequestFacts F;
    F.Image = Step.Image;
    F.Instance = Step.Instance;
    F.Message = Step.Message;
    F.Args = Step.Args;
    F.Repeat = Step.Repeat;
    TEV_QELT_SERVICE_PROTOCOL *Proto = PIRN_SYMBOL(P->Image(Step.Image), mQeltServiceProtocol);
    sim::Hub *Target = nullptr;
    for (const auto &I : S.Instances) {
      if (I.Id == Step.Instance && PciAddressSegment(I.PciAddress) == 0) {
        Target = HubOnBus(static_cast<uint8_t>(PciAddressBus(I.PciAddress)));
        break;
      }
    }
    std::vector<LostEntries> Lost;
    for (uint32_t Call = 0; Call < Step.Repeat && !Halted; Call++) {
      const size_t Before = Target != nullptr ? Target->Qelt().Messages().size() : 0;
      const size_t ScriptBefore = P->s3SaveState.Script().size();
      const size_t TableBefore = TableCount;
      const size_t TraceBefore = P->debugPrint.Lines().size();
      const TEV_S3_LIB_PRIVATE_DATA *Record = SharedRecord();
      const bool HandedOver = Record != nullptr && Record->TableClosed != 0;
      Args = Step.Args;
      Response.fill(0xA5A5A5A5);
      Status = EFI_ABORTED;
      const uint32_t Instance = Step.Instance;
      const uint32_t Message = Step.Message;
      Guarded(Sec, [this, Proto, Instance, Message] {
        Status = Proto->ServiceRequest(Proto, Instance, Message, Args.data(), Response.data());
      });
      if (!Halted && Message != QeltInvalidMessageId) {
        // Every entry the request made is in the script or in the table,
        // unless the resume library refused it or the table was gone.
        CollectTableEntries(Sec);
        const size_t Arrived = P->s3SaveState.Script().size() - ScriptBefore + TableCount - TableBefore;
        if (Arrived < RequestResumeEntries) {
          NoteLost(Lost, {Call, Call, Arrived, HandedOver, RefusalSince(TraceBefore)});
        }
      }
      F.Status = Status;
      if (EfiError(Status)) {
        F.Failures++;
      }
      F.Response.reset();
      if (!EfiError(Status)) {
        F.Response = Response;
      }
      F.Answer.reset();
      if (Target != nullptr && Target->Qelt().Messages().size() > Before) {
        F.Answer = Target->Qelt().Messages().back().Answer;
      } else if (Target == nullptr && Step.Message != QeltInvalidMessageId) {
        F.Answer = 0xFFFFFFFF;  // nothing decodes the instance's address: all ones
      }
      if (Call + 1 < Step.Repeat) {
        // Keep one section per step, but do not let the log grow without end.
        HarvestLog(Sec, Call < KeptCalls);
      }
    }
    if (DroppedLines > 0) {
      Sec.Facts.emplace_back("kept", "trace lines, post codes and accesses of calls 1 to " + std::to_string(KeptCalls) +
                                         " and of the last call; " + std::to_string(DroppedLines) +
                                         " trace lines of the others left out");
      DroppedLines = 0;
    }
    ReportLost(Sec, Step, Lost);
    Sec.Request = F;
    Finish(Sec);
    Result.Report.Sections.push_back(std::move(Sec));
  }

  // Resume entries of a run of request calls that reached neither the
  // script nor the table. Entries are lost from the first refused one to the
  // end: a full table refuses every record at least as large as the first
  // refusal.
  struct LostEntries {
    uint32_t FirstCall;
    uint32_t LastCall;
    size_t Arrived;  // entries of each call that did arrive
    bool HandedOver;
    std::string Refusal;  // the library's message, if one was traced
  };

  // Adds one call's loss, extending the last run when it lost the same.
  static void NoteLost(std::vector<LostEntries> &Lost, LostEntries Call) {
    if (!Lost.empty()) {
      LostEntries &Run = Lost.back();
      if (Run.LastCall + 1 == Call.FirstCall && Run.Arrived == Call.Arrived && Run.HandedOver == Call.HandedOver &&
          Run.Refusal == Call.Refusal) {
        Run.LastCall = Call.FirstCall;
        return;
      }
    }
    Lost.push_back(std::move(Call));
  }

  std::string RefusalSince(size_t TraceMark) const {
    const auto &Lines = P->debugPrint.Lines();
    for (size_t I = Lines.size(); I > TraceMark; I--) {
      for (const char *Message : RefusalMessages) {
        if (Lines[I - 1].Text == Message) {
          return std::string(Message, std::strlen(Message) - 1);
        }
      }
    }
    return "";
  }

  // One verdict reason per run of calls that lost the same entries.
  void ReportLost(Section &Sec, const sim::ScenarioStep &Step, const std::vector<LostEntries> &Lost) {
    size_t Total = 0;
    for (const LostEntries &L : Lost) {
      const bool Single = L.FirstCall == L.LastCall;
      std::string Calls;
      if (Step.Repeat > 1) {
        Calls = Single ? ", call " + std::to_string(L.FirstCall + 1)
                       : ", calls " + std::to_string(L.FirstCall + 1) + " to " + std::to_string(L.LastCall + 1);
        Calls += " of " + std::to_string(Step.Repeat);
      }
      const size_t From = L.Arrived + 1;
      std::string Entries = From == RequestResumeEntries
                                ? "resume entry 18 (" + ResumeEntryPart(From) + ")"
                                : "resume entries " + std::to_string(From) + " to 18 (" + ResumeEntryPart(From) +
                                      " to " + ResumeEntryPart(RequestResumeEntries) + ")";
      if (!Single) {
        Entries += " of each call";
      }
      const std::string Why = L.HandedOver        ? "recorded nowhere: the table was handed over at ready-to-boot"
                              : L.Refusal.empty() ? "refused by the resume recorder"
                                                  : "refused: \"" + L.Refusal + "\"";
      Result.Report.Reasons.push_back(Sec.Title + Calls + ": " + Entries + " " + Why +
                                      "; the replay cannot repeat the request");
      Sec.Lost.push_back(Entries + (Calls.empty() ? "" : " (" + Calls.substr(2) + ")") + ": " + Why);
      Total += (static_cast<size_t>(L.LastCall - L.FirstCall) + 1) * (RequestResumeEntries - L.Arrived);
    }
    if (Total > 0) {
      Sec.Facts.emplace_back("resume entries", std::to_string(Total) + " lost");
    }
  }

  // A repeated request keeps what its first KeptCalls calls and its last
  // call printed and posted; a million calls would otherwise hold gigabytes
  // of report.
  static constexpr uint32_t KeptCalls = 100;
  size_t DroppedLines = 0;

  // Takes the written registers out of the log and clears it, and moves the
  // trace lines into the section (repeated requests), keeping post codes,
  // accesses and trace lines for the report when Keep is set.
  void HarvestLog(Section &Sec, bool Keep) {
    for (const auto &A : P->machine.Log()) {
      if (A.Kind == sim::AccessKind::PortWrite && A.Address == 0x80) {
        if (Keep) {
          Sec.PostCodes.push_back({A.Width, static_cast<uint32_t>(A.Value)});
        }
      } else if (A.Kind == sim::AccessKind::SysRegWrite) {
        Written.insert(A.Address);
      }
      if (O.Accesses && Keep) {
        Sec.Accesses.push_back(A);
      }
    }
    P->machine.ClearLog();
    if (Keep) {
      TakeTraces(Sec);
    } else {
      DroppedLines += P->debugPrint.Lines().size() - TraceMark;
    }
    P->debugPrint.Clear();
    TraceMark = 0;
  }

  void ReadyToBoot(const std::string &Prefix, const sim::ScenarioStep &Step) {
    Section Sec = Begin("ready_to_boot", Prefix + "ready-to-boot", Step.Note);
    const size_t Deliveries = P->smm.Deliveries().size();
    if (!P->SignalReadyToBoot()) {
      RecordStop(Sec);
    }
    const TEV_S3_LIB_PRIVATE_DATA *Record = SharedRecord();
    if (Record != nullptr) {
      Sec.Facts.emplace_back("table", Record->TableClosed != 0 ? "closed and released after the hand-off"
                                                               : "still open: nothing was handed over");
    }
    Sec.Facts.emplace_back("hand-off", P->smm.Deliveries().size() > Deliveries
                                           ? (P->smm.Deliveries().back().Accepted ? "delivered to the SMM handler"
                                                                                  : "refused by the SMM handler")
                                           : "no Communicate call");
    Finish(Sec);
    Result.Report.Sections.push_back(std::move(Sec));
    if (P->smm.Deliveries().size() > Deliveries) {
      const auto &D = P->smm.Deliveries().back();
      HandOff H;
      H.Delivered = D.Accepted;
      H.Error = D.Error;
      H.Buffer = D.Message;
      TEV_S3_COMMUNICATE_BUFFER Buffer;
      std::memcpy(&Buffer, D.Message.data(), sizeof Buffer);
      H.HeaderGuid = sim::GuidName(Buffer.HeaderGuid);
      H.MessageLength = Buffer.MessageLength;
      H.Command = Buffer.Command;
      H.PrivateData = Buffer.PrivateData;
      H.TableAddress = D.TableAddress;
      H.Table = D.Decoded;
      Result.Report.Handoff = H;
      if (D.Accepted) {
        Result.HandedTable = D.Table;
      }
    }
    SnapshotBoot();
  }

  void SnapshotBoot() {
    BootValues.clear();
    for (uint64_t Key : Written) {
      if (const sim::Hub *H = HubOnBus(sim::HubRegisterBus(Key))) {
        BootValues[Key] = H->PeekSysReg(sim::HubRegisterAddress(Key));
      }
    }
    Snapshotted = true;
  }

  void Resume(const std::string &Prefix, const sim::ScenarioStep &Step) {
    Section Sec = Begin("resume", Prefix + "S3 resume", Step.Note);
    ResumePlayed = true;
    if (!Snapshotted) {
      SnapshotBoot();
      Sec.Facts.emplace_back("boot values", "taken now: the scenario never reached ready-to-boot");
    }
    ReplayReport &Rep = Result.Report.Replay;
    P->ResetHubs();
    for (const auto &H : P->hubs) {
      if (S.Controller.SilentAfterReset) {
        H->Qelt().SetNeverAnswer(true);
      }
    }
    Rep.Items = sim::ScriptItems(P->s3SaveState.Script());
    const sim::SmmCommunication::Delivery *D = P->smm.LastAccepted();
    if (D != nullptr) {
      size_t Skipped = 0;
      for (auto &Item : sim::TableItems(D->Decoded, &Skipped)) {
        Rep.Items.push_back(Item);
      }
      if (Skipped > 0) {
        Sec.Facts.emplace_back("table", std::to_string(Skipped) + " record(s) of other op codes not replayed");
      }
    } else {
      Sec.Facts.emplace_back("table", "none was handed over: only the S3 Save State script is replayed");
    }
    Sec.Facts.emplace_back(
        "replayed", std::to_string(Rep.Items.size()) + " entries: " + std::to_string(P->s3SaveState.Script().size()) +
                        " from the script, " + std::to_string(Rep.Items.size() - P->s3SaveState.Script().size()) +
                        " from the table");
    P->machine.ClearLog();
    const bool Finished =
        P->Run([this, &Rep] { sim::ReplayItems(P->machine, Rep.Items, ConfigWindowBase, S.PollLimit, Rep.Steps); });
    if (!Finished) {
      Result.Report.Reasons.push_back("the replay stopped: " + P->machine.LastStop().Message);
      P->machine.ClearStop();
    }
    Rep.Played = true;
    std::map<uint64_t, uint32_t> After;
    for (const auto &[Key, Value] : BootValues) {
      After[Key] = HubOnBus(sim::HubRegisterBus(Key))->PeekSysReg(sim::HubRegisterAddress(Key));
    }
    const auto Checks = sim::CompareRegisters(P->machine, Rep.Steps, BootValues, After);
    for (const auto &C : Checks) {
      RegisterRow Row;
      Row.Name = sim::HubRegisterName(C.Key);
      Row.Check = C;
      if (C.LastWriter >= 0) {
        Row.Writer = "last written by " + sim::ItemName(Rep.Items[static_cast<size_t>(C.LastWriter)]);
      }
      Rep.Registers.push_back(Row);
    }
    const sim::ReplayVerdict V = sim::JudgeReplay(Rep.Items, Rep.Steps, Checks, RegisterText);
    for (const auto &Reason : V.Reasons) {
      Result.Report.Reasons.push_back(Reason);
    }
    if (O.Accesses) {
      Rep.Accesses = P->machine.Log();
    }
    P->machine.ClearLog();
    Sec.Facts.emplace_back("verdict", V.Good ? "every poll matched and every register was restored"
                                             : std::to_string(V.Reasons.size()) + " fault(s), see the verdict");
    Result.Report.Sections.push_back(std::move(Sec));
  }

  const sim::Scenario &S;
  const PlayOptions &O;
  std::unique_ptr<sim::Platform> P;
  std::set<uint8_t> ScenarioBuses;
  PlayResult Result;
  size_t TraceMark = 0;
  size_t ScriptMark = 0;
  uint64_t TableMark = S3TableFirstRecord;
  size_t TableCount = 0;
  std::set<uint64_t> Written;
  std::map<uint64_t, uint32_t> BootValues;
  bool Snapshotted = false;
  bool Halted = false;
  bool ResumePlayed = false;
  // Kept outside guarded runs: a stop skips the frames it unwinds.
  std::array<uint32_t, 6> Args{};
  std::array<uint32_t, 6> Response{};
  EFI_STATUS Status = 0;
};

}  // namespace

sim::TopologyBlock ScenarioTopology(const sim::Scenario &S) {
  std::vector<sim::TopologyNode> Instances;
  for (const auto &I : S.Instances) {
    Instances.push_back(sim::HubInstance(I.Id, I.PciAddress));
  }
  return S.TopologyLevels == 0 ? sim::TopologyBlock(Instances)
                               : sim::TopologyBlock({Nest(Instances, S.TopologyLevels)});
}

std::vector<sim::HeapHob> ScenarioHeapHobs(const sim::Scenario &S) {
  std::vector<sim::HeapHob> Hobs;
  for (const auto &H : S.HeapHobs) {
    sim::HeapHob Hob;
    Hob.Signature = H.Signature;
    Hob.PoolSelector = H.PoolSelector;
    Hob.MigrateFlag = H.MigrateFlag;
    Hob.Data.resize(H.DataSize);
    for (size_t B = 0; B < Hob.Data.size(); B++) {
      Hob.Data[B] = static_cast<uint8_t>(B);
    }
    Hobs.push_back(Hob);
  }
  return Hobs;
}

PlayResult Play(const sim::Scenario &Scenario, const PlayOptions &Options) {
  Player P(Scenario, Options);
  return P.Run();
}

}  // namespace pirnsim
