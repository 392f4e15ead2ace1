// The one table of meanings of the driver's diagnostic codes.
#include "tools/DiagMeanings.h"

#include <cstdio>

#include "diag/DiagCodes.h"

namespace pirnsim {
namespace {

std::string Hex32(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%08llX", static_cast<unsigned long long>(Value));
  return Text;
}

#define ASSERTION(Name, Meaning, Then) \
  { Name, #Name, Meaning, Then }
#define TEST_POINT(Name, Meaning) \
  { Name, #Name, Meaning }

}  // namespace

const std::vector<AssertionInfo> &AssertionTable() {
  static const std::vector<AssertionInfo> Table = {
      ASSERTION(AssertMemWriteWidth, "memory write by width: the width code is none of 1, 2, 3, 0x81, 0x82, 0x83",
                "nothing is written"),
      ASSERTION(AssertAccessWidthBytes, "byte count of a width: the width code is none of 1 to 4 or 0x81 to 0x84",
                "the byte count is 0"),
      ASSERTION(AssertHeapRuntimeAlloc, "heap node: the pool allocation of runtime-services data failed",
                "the heap HOB is left out of the heap list; migration goes on"),
      ASSERTION(AssertHeapBootAlloc, "heap node: the pool allocation of boot-services data failed",
                "the heap HOB is left out of the heap list; migration goes on"),
      ASSERTION(AssertHeapInstall, "installing the heap-list protocol failed",
                "the heap list stays unpublished; the constructor returns the failure"),
      ASSERTION(AssertS3ValueWidth, "resume recorder, value by width: the width is none of 1 to 4",
                "the value is taken as 0"),
      ASSERTION(AssertS3ScriptWidth, "resume recorder, boot-script width: the width is none of 1 to 4",
                "the entry is recorded as an 8-bit entry"),
      ASSERTION(AssertS3PackOpCode, "resume table, record packing: the operation code is not a known one",
                "nothing is appended; the append reports success"),
      ASSERTION(AssertS3TableSignature, "resume table check: the table signature \"TS3T\" is wrong",
                "the append (or the hand-off) is refused: the entry is lost"),
      ASSERTION(AssertS3TableBoundary, "resume table check: the end marker 0x01558844 is wrong",
                "the append (or the hand-off) is refused: the entry is lost"),
      ASSERTION(AssertS3NoTable, "resume table append: there is no table", "the entry is lost: it is recorded nowhere"),
      ASSERTION(AssertS3TableFull, "resume table append: the record does not fit",
                "the entry is lost (\"No enough space for s3 data save\"); smaller records may still fit"),
      ASSERTION(AssertS3NoCommBuffer, "ready-to-boot: the communicate-buffer PCD value (token 0x27001) is null",
                "the table is terminated but not handed to SMM; it stays open"),
      ASSERTION(AssertS3NoSmmComm, "ready-to-boot: locating the SMM Communication protocol failed",
                "the table is terminated but not handed to SMM; it stays open"),
      ASSERTION(AssertS3WindowDisabled, "resume library constructor: bit 0 of MSR 0xC0010058 is clear",
                "the configuration-window base stays 0 (raised before assertions are enabled)"),
      ASSERTION(AssertS3PrivateAlloc, "resume library constructor: allocating TevS3LibPrivateData failed",
                "the constructor returns EFI_OUT_OF_RESOURCES (raised before assertions are enabled)"),
      ASSERTION(AssertS3LockEvent, "resume library constructor: the script-lock event was not created",
                "the constructor returns EFI_UNSUPPORTED; no table (raised before assertions are enabled)"),
      ASSERTION(AssertS3CloseEvent, "resume library constructor: creating the close-table event failed",
                "the constructor returns EFI_UNSUPPORTED; no table (raised before assertions are enabled)"),
      ASSERTION(AssertS3CloseLockEvent, "resume library destructor: closing the script-lock event failed",
                "the destructor goes on"),
      ASSERTION(AssertS3CloseTableEvent, "resume library destructor: closing the close-table event failed",
                "the destructor goes on"),
      ASSERTION(AssertRamBufferLength, "RAM debug buffer print: the length exceeds 0xFFFFF0",
                "the text is never appended"),
      ASSERTION(AssertPciCfgWriteWidth, "PCI configuration write: the width code is not accepted",
                "nothing is written (a flagged width was already recorded)"),
      ASSERTION(AssertPciCfgReadWidth, "PCI configuration read: the width code is not accepted",
                "the target is left untouched"),
      ASSERTION(AssertQeltNoDescriptor, "mailbox service: the instance lookup succeeded without a descriptor",
                "the request fails without touching the hardware"),
  };
  return Table;
}

const std::vector<TestPointInfo> &TestPointTable() {
  static const std::vector<TestPointInfo> Table = {
      TEST_POINT(TpDriverEntryStart, "driver entry: first step, before the entry line"),
      TEST_POINT(TpDriverEntryEnd, "driver entry: last step, protocol installed and PCI I/O hook armed"),
      TEST_POINT(TpQeltRequestStart, "mailbox request: first step"),
      TEST_POINT(TpQeltRequestEnd, "mailbox request: last step, answer read back (not posted for message id 0xFF)"),
      TEST_POINT(TpPciIoHookStart, "PCI I/O notification (hardware-init lock): first step"),
      TEST_POINT(TpPciIoHookEnd, "PCI I/O notification (hardware-init lock): last step"),
      TEST_POINT(TpQeltMessageBase,
                 "mailbox request: argument words written, the command for the message id in the low byte is next"),
  };
  return Table;
}

#undef ASSERTION
#undef TEST_POINT

const char *FileCodeName(uint32_t FileCode) {
  switch (FileCode) {
    case FileCodeWidthUtil:
      return "access-width utilities";
    case FileCodeHeap:
      return "heap migration";
    case FileCodeS3Lib:
      return "resume library";
    case FileCodeRamBuffer:
      return "RAM debug buffer";
    case FileCodePciCfg:
      return "PCI configuration access";
    case FileCodeQeltService:
      return "mailbox service";
    default:
      return nullptr;
  }
}

int AssertionLine(uint32_t Code) {
  int Line = 0;
  for (int Shift = 12; Shift >= 0; Shift -= 4) {
    const unsigned Digit = (Code >> Shift) & 0xF;
    if (Digit > 9) {
      return -1;
    }
    Line = Line * 10 + static_cast<int>(Digit);
  }
  return Line;
}

const AssertionInfo *FindAssertion(uint32_t Code) {
  for (const auto &A : AssertionTable()) {
    if (A.Code == Code) {
      return &A;
    }
  }
  return nullptr;
}

const TestPointInfo *FindTestPoint(uint32_t Code) {
  for (const auto &T : TestPointTable()) {
    if (T.Code == Code) {
      return &T;
    }
  }
  if ((Code & 0xFF00) == TpQeltMessageBase && Code <= 0xFFFF) {
    return FindTestPoint(TpQeltMessageBase);
  }
  return nullptr;
}

std::vector<uint32_t> MarqueeWindows(uint32_t Code) {
  std::vector<uint32_t> Windows;
  uint64_t Ring = MarqueeValue(Code);
  for (int I = 0; I < 6; I++) {
    Ring = (Ring << 8) | (Ring >> 56);
    Windows.push_back(static_cast<uint32_t>(Ring));
  }
  return Windows;
}

namespace {

std::string AssertionText(const AssertionInfo &A) {
  const uint32_t File = A.Code >> 16;
  const char *FileName = FileCodeName(File);
  char Head[160];
  std::snprintf(Head, sizeof Head, "assertion %s (%s): file code 0x%04X (%s), line %d\n", Hex32(A.Code).c_str(), A.Name,
                File, FileName != nullptr ? FileName : "unknown file", AssertionLine(A.Code));
  return std::string(Head) + "  fails when: " + A.Meaning + "\n  under a simulator, or with assertions off: " + A.Then +
         "\n  on hardware: the platform halts; port 0x80 cycles through " +
         [&] {
           std::string List;
           for (uint32_t W : MarqueeWindows(A.Code)) {
             List += (List.empty() ? "" : ", ") + Hex32(W);
           }
           return List;
         }() +
         " every 2.5 s";
}

std::string TestPointText(uint32_t Code, const TestPointInfo &T, const char *How) {
  std::string Text = std::string(How) + " " + Hex32(TestPointValue(Code)) + " (" + T.Name + ")";
  if (T.Code == TpQeltMessageBase) {
    char Id[48];
    std::snprintf(Id, sizeof Id, ", message id low byte 0x%02X", Code & 0xFF);
    Text += Id;
  }
  return Text + ": " + T.Meaning;
}

}  // namespace

std::vector<std::string> Explain(uint64_t Value) {
  std::vector<std::string> Readings;
  if (Value <= 0xFFFFFFFF) {
    const auto V = static_cast<uint32_t>(Value);
    if (const AssertionInfo *A = FindAssertion(V)) {
      Readings.push_back(AssertionText(*A));
    }
    if (V <= 0xFFFF) {
      if (const TestPointInfo *T = FindTestPoint(V)) {
        Readings.push_back(TestPointText(V, *T, "test-point code, posted as"));
      }
    } else if (V == TestPointValue(TestPointBothHalves)) {
      Readings.push_back("test-point value 0xAA55AA55: the code 0xAA55, posted in both halves");
    } else if ((V & 0xFFFF0000) == TestPointMarker) {
      if (const TestPointInfo *T = FindTestPoint(V & 0xFFFF)) {
        Readings.push_back(TestPointText(V & 0xFFFF, *T, "test-point value"));
      }
    }
    // Marquee windows; the sixth window is the code itself, reported above.
    for (int Window = 0; Window < 5; Window++) {
      std::string Codes;
      size_t Count = 0;
      for (const auto &A : AssertionTable()) {
        if (MarqueeWindows(A.Code)[Window] == V) {
          Codes += (Codes.empty() ? "" : ", ") + Hex32(A.Code);
          Count++;
        }
      }
      if (Count == AssertionTable().size()) {
        Readings.push_back("marquee window " + std::to_string(Window + 1) +
                           " of 6: shown by every halted assertion (the 0xDEAD mark); the windows around it tell "
                           "which");
      } else if (Count > 0) {
        Readings.push_back("marquee window " + std::to_string(Window + 1) + " of 6 of assertion " +
                           (Count > 1 ? "codes " : "code ") + Codes);
      }
    }
  } else if ((Value >> 48) == 0xDEAD && (Value & 0xFFFF) == 0) {
    const auto Code = static_cast<uint32_t>(Value >> 16);
    std::string Text = "marquee value of assertion " + Hex32(Code);
    if (const AssertionInfo *A = FindAssertion(Code)) {
      Text += "\n" + AssertionText(*A);
    } else {
      Text += " (no such assertion site)";
    }
    Readings.push_back(Text);
  }
  return Readings;
}

std::string PostCodeMeaning(uint32_t Value) {
  if ((Value & 0xFFFF0000) == TestPointMarker) {
    if (const TestPointInfo *T = FindTestPoint(Value & 0xFFFF)) {
      return T->Meaning;
    }
  }
  if (const AssertionInfo *A = FindAssertion(Value)) {
    return std::string("assertion ") + A->Name + ": " + A->Meaning;
  }
  for (const std::string &Reading : Explain(Value)) {
    if (Reading.rfind("marquee window", 0) == 0) {
      return Reading;
    }
  }
  return "";
}

}  // namespace pirnsim
