// Scenario loading: JSON to Scenario, every value checked, the first fault
// reported with its JSON path.
#include "sim/Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace sim {
namespace {

using Json = nlohmann::json;

struct Fault {
  std::string Path;
  std::string Reason;
};

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

const char *TypeName(const Json &J) {
  switch (J.type()) {
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "an integer";
    case Json::value_t::number_float:
      return "a fraction";
    case Json::value_t::null:
      return "null";
    default:
      return "something else";
  }
}

// Parses "0x1F", "31" or an integer; empty on anything else.
std::optional<uint64_t> NumberText(const std::string &Text) {
  if (Text.empty()) {
    return std::nullopt;
  }
  const bool IsHex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const size_t Start = IsHex ? 2 : 0;
  if (Text.size() - Start > (IsHex ? 16U : 20U)) {
    return std::nullopt;
  }
  unsigned __int128 Value = 0;
  for (size_t I = Start; I < Text.size(); I++) {
    const char C = Text[I];
    unsigned Digit;
    if (C >= '0' && C <= '9') {
      Digit = static_cast<unsigned>(C - '0');
    } else if (IsHex && C >= 'a' && C <= 'f') {
      Digit = static_cast<unsigned>(C - 'a' + 10);
    } else if (IsHex && C >= 'A' && C <= 'F') {
      Digit = static_cast<unsigned>(C - 'A' + 10);
    } else {
      return std::nullopt;
    }
    Value = Value * (IsHex ? 16 : 10) + Digit;
  }
  if (Value > UINT64_MAX) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(Value);
}

// A JSON value and the path that leads to it.
class Node {
 public:
  Node(const Json &Value, std::string Path) : J(Value), P(std::move(Path)) {}

  const std::string &Path() const { return P; }
  const Json &Raw() const { return J; }
  [[noreturn]] void Fail(const std::string &Reason) const { throw Fault{P, Reason}; }

  // An object whose keys all belong to Allowed.
  const Node &Object(std::initializer_list<const char *> Allowed) const {
    if (!J.is_object()) {
      Fail("must be an object, not " + std::string(TypeName(J)));
    }
    for (const auto &Item : J.items()) {
      bool Known = false;
      for (const char *Key : Allowed) {
        Known = Known || Item.key() == Key;
      }
      if (!Known) {
        std::string List;
        for (const char *Key : Allowed) {
          List += List.empty() ? "" : ", ";
          List += Key;
        }
        Node(Item.value(), P + "." + Item.key()).Fail("unknown key (expected one of: " + List + ")");
      }
    }
    return *this;
  }
  bool Has(const char *Key) const { return J.contains(Key); }
  Node At(const char *Key) const { return Node(J.at(Key), P + "." + Key); }

  std::vector<Node> Array(size_t Min, size_t Max) const {
    if (!J.is_array()) {
      Fail("must be an array, not " + std::string(TypeName(J)));
    }
    if (J.size() < Min || J.size() > Max) {
      Fail("must hold " + std::to_string(Min) + " to " + std::to_string(Max) + " elements, not " +
           std::to_string(J.size()));
    }
    std::vector<Node> Elements;
    for (size_t I = 0; I < J.size(); I++) {
      Elements.emplace_back(J[I], P + "[" + std::to_string(I) + "]");
    }
    return Elements;
  }

  // An unsigned integer, as a JSON number or a "0x.." / decimal string, at
  // most Max.
  uint64_t Uint(uint64_t Max) const {
    std::optional<uint64_t> Value;
    if (J.is_number_unsigned()) {
      Value = J.get<uint64_t>();
    } else if (J.is_number_integer()) {
      Fail("must not be negative");
    } else if (J.is_string()) {
      Value = NumberText(J.get<std::string>());
      if (!Value) {
        Fail("\"" + J.get<std::string>() + "\" is not a number (write 42 or \"0x2A\")");
      }
    } else {
      Fail("must be an unsigned integer, not " + std::string(TypeName(J)));
    }
    if (*Value > Max) {
      Fail("value " + Hex(*Value) + " out of range (at most " + Hex(Max) + ")");
    }
    return *Value;
  }
  uint64_t Uint(uint64_t Min, uint64_t Max) const {
    const uint64_t Value = Uint(Max);
    if (Value < Min) {
      Fail("value " + Hex(Value) + " out of range (at least " + Hex(Min) + ")");
    }
    return Value;
  }
  bool Bool() const {
    if (!J.is_boolean()) {
      Fail("must be true or false, not " + std::string(TypeName(J)));
    }
    return J.get<bool>();
  }
  std::string String() const {
    if (!J.is_string()) {
      Fail("must be a string, not " + std::string(TypeName(J)));
    }
    return J.get<std::string>();
  }

 private:
  const Json &J;
  std::string P;
};

// An object key that holds a number ("0x101311AC" or "850").
uint64_t KeyNumber(const Node &Parent, const std::string &Key, uint64_t Max) {
  const Node Where(Parent.Raw().at(Key), Parent.Path() + "." + Key);
  const auto Value = NumberText(Key);
  if (!Value) {
    Where.Fail("key \"" + Key + "\" is not a number");
  }
  if (*Value > Max) {
    Where.Fail("key " + Hex(*Value) + " out of range (at most " + Hex(Max) + ")");
  }
  return *Value;
}

std::map<std::string, Node> Members(const Node &N) {
  std::map<std::string, Node> Out;
  if (!N.Raw().is_object()) {
    N.Fail("must be an object, not " + std::string(TypeName(N.Raw())));
  }
  for (const auto &Item : N.Raw().items()) {
    Out.emplace(Item.key(), Node(Item.value(), N.Path() + "." + Item.key()));
  }
  return Out;
}

ScenarioHandler ReadHandler(const Node &N) {
  N.Object({"status", "response"});
  ScenarioHandler H;
  if (N.Has("status")) {
    H.Status = static_cast<uint8_t>(N.At("status").Uint(0xFF));
  }
  if (N.Has("response")) {
    const Node R = N.At("response");
    if (R.Raw().is_string() && R.Raw().get<std::string>() == "echo") {
      H.Response.reset();
    } else {
      if (R.Raw().is_string()) {
        R.Fail("must be \"echo\" or an array of 6 words");
      }
      std::array<uint32_t, 6> Words{};
      const auto Elements = R.Array(6, 6);
      for (size_t I = 0; I < 6; I++) {
        Words[I] = static_cast<uint32_t>(Elements[I].Uint(0xFFFFFFFF));
      }
      H.Response = Words;
    }
  }
  return H;
}

ScenarioInstance ReadInstance(const Node &N) {
  N.Object({"id", "segment", "bus", "device", "function", "register", "power_on"});
  if (!N.Has("id") || !N.Has("bus")) {
    N.Fail(std::string("needs \"") + (N.Has("id") ? "bus" : "id") + "\"");
  }
  ScenarioInstance I;
  I.Id = static_cast<uint8_t>(N.At("id").Uint(0xFF));
  const uint64_t Segment = N.Has("segment") ? N.At("segment").Uint(0xF) : 0;
  const uint64_t Bus = N.At("bus").Uint(0xFF);
  const uint64_t Device = N.Has("device") ? N.At("device").Uint(0x1F) : 0;
  const uint64_t Function = N.Has("function") ? N.At("function").Uint(0x7) : 0;
  const uint64_t Register = N.Has("register") ? N.At("register").Uint(0xFFF) : 0;
  I.PciAddress = static_cast<uint32_t>((Segment << 28) | (Bus << 20) | (Device << 15) | (Function << 12) | Register);
  if (N.Has("power_on")) {
    const Node Regs = N.At("power_on");
    for (const auto &[Key, Value] : Members(Regs)) {
      const auto Register32 = static_cast<uint32_t>(KeyNumber(Regs, Key, 0xFFFFFFFF));
      I.PowerOn[Register32] = static_cast<uint32_t>(Value.Uint(0xFFFFFFFF));
    }
  }
  return I;
}

void ReadController(const Node &N, ScenarioController &C) {
  N.Object({"latency", "default", "messages", "silent_after_reset", "never_answers"});
  if (N.Has("latency")) {
    C.Latency = static_cast<uint32_t>(N.At("latency").Uint(10000));
  }
  if (N.Has("default")) {
    C.Default = ReadHandler(N.At("default"));
  }
  if (N.Has("messages")) {
    const Node Messages = N.At("messages");
    for (const auto &[Key, Value] : Members(Messages)) {
      const auto Id = static_cast<uint32_t>(KeyNumber(Messages, Key, 0xFFFFFFFF));
      C.Messages[Id] = ReadHandler(Value);
    }
  }
  if (N.Has("silent_after_reset")) {
    C.SilentAfterReset = N.At("silent_after_reset").Bool();
  }
  if (N.Has("never_answers")) {
    C.NeverAnswers = N.At("never_answers").Bool();
  }
}

void ReadPcd(const Node &N, Scenario &S) {
  for (const auto &[Key, Value] : Members(N)) {
    const auto Token = static_cast<uint32_t>(KeyNumber(N, Key, 0xFFFFFFFF));
    const auto Known = ScenarioPcdTokens().find(Token);
    if (Known == ScenarioPcdTokens().end()) {
      Value.Fail("the driver reads no PCD token " + std::to_string(Token));
    }
    const unsigned Bits = Known->second;
    if (Bits == 1) {
      S.Pcd[Token] = Value.Raw().is_boolean() ? (Value.Bool() ? 1 : 0) : Value.Uint(1);
    } else if (Token == 1347) {
      // The table size: the driver allocates it; keep it to 64 MiB.
      S.Pcd[Token] = Value.Uint(0x4000000);
    } else {
      S.Pcd[Token] = Value.Uint(Bits == 64 ? UINT64_MAX : (1ULL << Bits) - 1);
    }
  }
}

void ReadPlatform(const Node &N, Scenario &S) {
  N.Object({"instances", "topology_levels", "controller", "pcd", "comm_buffer", "msrs", "heap_hobs", "protocols"});
  if (!N.Has("instances")) {
    N.Fail("needs \"instances\"");
  }
  for (const Node &Element : N.At("instances").Array(1, 16)) {
    S.Instances.push_back(ReadInstance(Element));
  }
  if (N.Has("topology_levels")) {
    S.TopologyLevels = static_cast<uint32_t>(N.At("topology_levels").Uint(8));
  }
  if (N.Has("controller")) {
    ReadController(N.At("controller"), S.Controller);
  }
  if (N.Has("pcd")) {
    ReadPcd(N.At("pcd"), S);
  }
  if (N.Has("comm_buffer")) {
    S.CommBuffer = N.At("comm_buffer").Bool();
  }
  if (N.Has("msrs")) {
    const Node Msrs = N.At("msrs");
    for (const auto &[Key, Value] : Members(Msrs)) {
      S.Msrs[static_cast<uint32_t>(KeyNumber(Msrs, Key, 0xFFFFFFFF))] = Value.Uint(UINT64_MAX);
    }
  }
  if (N.Has("heap_hobs")) {
    for (const Node &Element : N.At("heap_hobs").Array(0, 64)) {
      Element.Object({"signature", "data_size", "pool", "migrate"});
      ScenarioHeapHob H;
      if (Element.Has("signature")) {
        const Node Sig = Element.At("signature");
        if (Sig.Raw().is_string() && Sig.Raw().get<std::string>().size() == 4 &&
            !NumberText(Sig.Raw().get<std::string>())) {
          const std::string Text = Sig.String();
          H.Signature = static_cast<uint32_t>(static_cast<uint8_t>(Text[0])) |
                        static_cast<uint32_t>(static_cast<uint8_t>(Text[1])) << 8 |
                        static_cast<uint32_t>(static_cast<uint8_t>(Text[2])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(Text[3])) << 24;
        } else {
          H.Signature = static_cast<uint32_t>(Sig.Uint(0xFFFFFFFF));
        }
      }
      if (Element.Has("data_size")) {
        // A heap HOB is one HOB: its 16-bit length bounds the data.
        H.DataSize = static_cast<uint32_t>(Element.At("data_size").Uint(0xFFFF - 40));
      }
      if (Element.Has("pool")) {
        H.PoolSelector = static_cast<uint8_t>(Element.At("pool").Uint(0xFF));
      }
      if (Element.Has("migrate")) {
        H.MigrateFlag = static_cast<uint8_t>(Element.At("migrate").Uint(0xFF));
      }
      S.HeapHobs.push_back(H);
    }
  }
  if (N.Has("protocols")) {
    const Node P = N.At("protocols");
    P.Object({"pcd", "pi_pcd", "s3_save_state", "smm_communication", "debug_print", "topology"});
    auto Flag = [&](const char *Key, bool &Field) {
      if (P.Has(Key)) {
        Field = P.At(Key).Bool();
      }
    };
    Flag("pcd", S.Protocols.Pcd);
    Flag("pi_pcd", S.Protocols.PiPcd);
    Flag("s3_save_state", S.Protocols.S3SaveState);
    Flag("smm_communication", S.Protocols.SmmCommunication);
    Flag("debug_print", S.Protocols.DebugPrint);
    Flag("topology", S.Protocols.Topology);
  }
}

ScenarioStep ReadStep(const Node &N, const Scenario &S) {
  if (!N.Raw().is_object() || !N.Has("step")) {
    N.Object({"step"});
    N.Fail("needs \"step\" (request, pci_io, ready_to_lock, ready_to_boot or resume)");
  }
  const std::string Kind = N.At("step").String();
  ScenarioStep Step;
  if (Kind == "request") {
    N.Object({"step", "note", "instance", "message", "args", "image", "repeat"});
    Step.Kind = StepKind::Request;
    if (!N.Has("instance") || !N.Has("message")) {
      N.Fail(std::string("a request needs \"") + (N.Has("instance") ? "message" : "instance") + "\"");
    }
    const Node Instance = N.At("instance");
    Step.Instance = static_cast<uint32_t>(Instance.Uint(0xFFFFFFFF));
    bool Present = false;
    for (const auto &I : S.Instances) {
      Present = Present || I.Id == Step.Instance;
    }
    if (!Present) {
      Instance.Fail("names instance " + std::to_string(Step.Instance) + ", which the platform does not have");
    }
    Step.Message = static_cast<uint32_t>(N.At("message").Uint(0xFFFFFFFF));
    if (N.Has("args")) {
      const auto Words = N.At("args").Array(0, 6);
      for (size_t I = 0; I < Words.size(); I++) {
        Step.Args[I] = static_cast<uint32_t>(Words[I].Uint(0xFFFFFFFF));
      }
    }
    if (N.Has("image")) {
      const Node Image = N.At("image");
      Step.Image = static_cast<uint32_t>(Image.Uint(0xFFFFFFFF));
      if (Step.Image >= S.Images) {
        Image.Fail("names image " + std::to_string(Step.Image) + ", but the scenario loads " +
                   std::to_string(S.Images) + " (counted from 0)");
      }
    }
    if (N.Has("repeat")) {
      Step.Repeat = static_cast<uint32_t>(N.At("repeat").Uint(1, 1000000));
    }
  } else if (Kind == "pci_io" || Kind == "ready_to_lock" || Kind == "ready_to_boot" || Kind == "resume") {
    N.Object({"step", "note"});
    Step.Kind = Kind == "pci_io"          ? StepKind::PciIo
                : Kind == "ready_to_lock" ? StepKind::ReadyToLock
                : Kind == "ready_to_boot" ? StepKind::ReadyToBoot
                                          : StepKind::Resume;
  } else {
    N.At("step").Fail("unknown step \"" + Kind + "\" (request, pci_io, ready_to_lock, ready_to_boot or resume)");
  }
  if (N.Has("note")) {
    Step.Note = N.At("note").String();
  }
  return Step;
}

Scenario ReadScenario(const Json &Document) {
  const Node Root(Document, "$");
  Root.Object({"name", "description", "mode", "images", "platform", "replay", "steps"});
  Scenario S;
  if (!Root.Has("platform") || !Root.Has("steps")) {
    Root.Fail(std::string("needs \"") + (Root.Has("platform") ? "steps" : "platform") + "\"");
  }
  if (Root.Has("name")) {
    S.Name = Root.At("name").String();
  }
  if (Root.Has("description")) {
    S.Description = Root.At("description").String();
  }
  if (Root.Has("mode")) {
    const Node Mode = Root.At("mode");
    const std::string Text = Mode.String();
    if (Text != "simulator" && Text != "hardware") {
      Mode.Fail("must be \"simulator\" or \"hardware\", not \"" + Text + "\"");
    }
    S.HardwareMode = Text == "hardware";
  }
  if (Root.Has("images")) {
    S.Images = static_cast<uint32_t>(Root.At("images").Uint(1, 8));
  }
  ReadPlatform(Root.At("platform"), S);
  if (Root.Has("replay")) {
    const Node Replay = Root.At("replay");
    Replay.Object({"poll_limit"});
    if (Replay.Has("poll_limit")) {
      S.PollLimit = static_cast<uint32_t>(Replay.At("poll_limit").Uint(1, 10000000));
    }
  }
  const auto Steps = Root.At("steps").Array(0, 100000);
  for (size_t I = 0; I < Steps.size(); I++) {
    S.Steps.push_back(ReadStep(Steps[I], S));
    if (S.Steps.back().Kind == StepKind::Resume && I + 1 != Steps.size()) {
      Steps[I].Fail("\"resume\" must be the last step: the platform is off afterwards");
    }
  }
  return S;
}

}  // namespace

const char *StepKindName(StepKind Kind) {
  switch (Kind) {
    case StepKind::Request:
      return "request";
    case StepKind::PciIo:
      return "pci_io";
    case StepKind::ReadyToLock:
      return "ready_to_lock";
    case StepKind::ReadyToBoot:
      return "ready_to_boot";
    case StepKind::Resume:
      return "resume";
  }
  return "?";
}

const std::map<uint32_t, unsigned> &ScenarioPcdTokens() {
  static const std::map<uint32_t, unsigned> Tokens = {
      {850, 1},   {1185, 1}, {1108, 8},  {1184, 8},  {1190, 8}, {1188, 8},
      {1189, 32}, {1186, 1}, {1118, 32}, {1117, 32}, {1187, 8}, {1347, 64},
  };
  return Tokens;
}

ScenarioLoad ParseScenario(const std::string &JsonText) {
  ScenarioLoad Load;
  Json Document;
  try {
    Document = Json::parse(JsonText);
  } catch (const Json::exception &E) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ...",
    // or a number too large for any JSON number type ("out_of_range.406").
    std::string What = E.what();
    const auto Cut = What.find("] ");
    Load.Error = {"", "bad JSON: " + (Cut == std::string::npos ? What : What.substr(Cut + 2))};
    return Load;
  }
  try {
    Load.Value = ReadScenario(Document);
  } catch (const Fault &F) {
    Load.Error = {F.Path, F.Reason};
  }
  return Load;
}

ScenarioLoad LoadScenarioFile(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    return {std::nullopt, {"", "cannot read " + Path}};
  }
  std::ostringstream Text;
  Text << In.rdbuf();
  return ParseScenario(Text.str());
}

Scenario DefaultScenario() {
  static const Scenario Default = [] {
    auto Load = ParseScenario(DefaultScenarioJson());
    if (!Load.Value) {
      std::fprintf(stderr, "built-in scenario: %s\n", Load.Error.Text().c_str());
      std::abort();
    }
    return *Load.Value;
  }();
  return Default;
}

const std::string &DefaultScenarioJson() {
  static const std::string Text = R"json({
  "name": "default",
  "description": "The model's default platform: four hub instances (ids 0 to 3 on buses 0x00, 0x20, 0x40 and 0x60 of segment 0, under one root that is not an instance) and three heap HOBs (two to migrate, one of them for runtime pool, and one to stay). Three requests (one refused by the controller, one with the reserved message id 0xFF), the first PCI I/O installation locking all four instances, SMM ready-to-lock, two more requests recorded into the resume table, ready-to-boot with the hand-off, then an S3 resume.",
  "mode": "simulator",
  "images": 1,
  "platform": {
    "instances": [
      {"id": 0, "bus": "0x00"},
      {"id": 1, "bus": "0x20", "power_on": {"0x101311AC": "0x00000100", "0x101313AC": "0x00000200"}},
      {"id": 2, "bus": "0x40", "power_on": {"0x101315AC": "0x00000300"}},
      {"id": 3, "bus": "0x60"}
    ],
    "topology_levels": 1,
    "controller": {
      "latency": 2,
      "messages": {
        "0x21": {"status": 1, "response": ["0x00000021", "0x0000C0DE", 0, 0, 0, 0]}
      }
    },
    "pcd": {"850": false, "1185": false, "1108": 2, "1184": 0, "1189": "0x0C910600", "1347": "0x4000"},
    "comm_buffer": true,
    "heap_hobs": [
      {"data_size": 12, "pool": 0, "migrate": 1},
      {"data_size": 100, "pool": 8, "migrate": 1},
      {"data_size": 4, "pool": 0, "migrate": 0}
    ]
  },
  "steps": [
    {"step": "request", "instance": 1, "message": "0x002", "note": "firmware version"},
    {"step": "request", "instance": 2, "message": "0x020", "args": [0, 5, 0, 0, 0, 0], "note": "refused: argument 0 must not be zero"},
    {"step": "request", "instance": 0, "message": "0xFF", "args": [7, 7, 7, 7, 7, 7], "note": "reserved id, never sent"},
    {"step": "pci_io", "note": "first PCI I/O protocol installed"},
    {"step": "ready_to_lock"},
    {"step": "request", "instance": 3, "message": "0x010", "args": [1, 2, 3, 4, 5, 6], "note": "checksum, recorded into the table"},
    {"step": "request", "instance": 0, "message": "0x021", "args": ["0x1000", "0x2000", 0, 0, 0, 0], "note": "platform message, recorded into the table"},
    {"step": "ready_to_boot"},
    {"step": "resume"}
  ]
}
)json";
  return Text;
}

}  // namespace sim
