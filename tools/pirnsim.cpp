// pirnsim: boots the driver on the default platform and shows what it did.
//
//   pirnsim             simulator mode (assertion halts return)
//   pirnsim --hardware  hardware mode (an assertion halt stops the run)
#include <cstdio>
#include <cstring>

#include "sim/Platform.h"

int main(int argc, char **argv) {
  sim::PlatformOptions Options;
  for (int I = 1; I < argc; I++) {
    if (std::strcmp(argv[I], "--hardware") == 0) {
      Options.Simulator = false;
    } else {
      std::fprintf(stderr, "usage: %s [--hardware]\n", argv[0]);
      return 2;
    }
  }

  auto P = sim::MakeDefaultPlatform(Options);
  const EFI_STATUS Status = P->StartDriver(0);

  std::printf("Trace lines:\n");
  for (const auto &Line : P->debugPrint.Lines()) {
    std::string Text = Line.Text;
    if (!Text.empty() && Text.back() == '\n') {
      Text.pop_back();
    }
    std::printf("  [%s] %s\n", sim::FilterName(Line.Filter).c_str(), Text.c_str());
  }

  std::printf("Post codes on port 0x80:\n");
  for (const sim::Access &A : P->machine.Log()) {
    if (A.Kind == sim::AccessKind::PortWrite && A.Address == 0x80) {
      std::printf("  0x%0*llX\n", 2 * A.Width, static_cast<unsigned long long>(A.Value));
    }
  }

  std::printf("Protocols installed:\n");
  for (const auto &Call : P->firmware.Calls()) {
    if (Call.Name == "InstallProtocolInterface") {
      std::printf("  %s: %s\n", Call.Args.c_str(), sim::StatusName(Call.Status).c_str());
    }
  }

  const sim::StopInfo &Stop = P->machine.LastStop();
  if (Stop.Reason != sim::StopReason::None) {
    std::printf("Stopped (%s): %s\n", sim::StopReasonName(Stop.Reason), Stop.Message.c_str());
  }
  std::printf("ImageEntry returned %s (0x%llX)\n", sim::StatusName(Status).c_str(),
              static_cast<unsigned long long>(Status));
  for (const std::string &V : P->Violations()) {
    std::printf("Model violation: %s\n", V.c_str());
  }
  return Stop.Reason == sim::StopReason::None && !EfiError(Status) ? 0 : 1;
}
