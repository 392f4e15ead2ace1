// Fuzz target: the program's scenario parser over arbitrary text.
//
// Whatever the text, ParseScenario returns: either a scenario, or a fault
// with a reason. A scenario it accepts keeps the promises the player relies
// on: 1 to 16 instances, 1 to 8 images, requests only to instances and images
// the platform has, at least one call per request, a resume step only at the
// end, PCD values only for tokens the driver reads.
#include <string>

#include "fuzz/FuzzSupport.h"
#include "sim/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char *>(Data), Size);
  const sim::ScenarioLoad Load = sim::ParseScenario(Text);
  if (!Load.Value) {
    fuzz::Check(!Load.Error.Reason.empty(), "a refused scenario has no reason");
    return 0;
  }
  const sim::Scenario &S = *Load.Value;
  fuzz::Check(!S.Instances.empty() && S.Instances.size() <= 16, "instance count out of range");
  fuzz::Check(S.Images >= 1 && S.Images <= 8, "image count out of range");
  for (size_t I = 0; I < S.Steps.size(); I++) {
    const sim::ScenarioStep &Step = S.Steps[I];
    if (Step.Kind == sim::StepKind::Resume) {
      fuzz::Check(I + 1 == S.Steps.size(), "a resume step before the end");
    }
    if (Step.Kind != sim::StepKind::Request) {
      continue;
    }
    bool Present = false;
    for (const auto &Instance : S.Instances) {
      Present = Present || Instance.Id == Step.Instance;
    }
    fuzz::Check(Present, "a request to an instance the platform does not have");
    fuzz::Check(Step.Image < S.Images, "a request through an image the scenario does not load");
    fuzz::Check(Step.Repeat >= 1, "a request of no calls");
  }
  for (const auto &[Token, Value] : S.Pcd) {
    fuzz::Check(sim::ScenarioPcdTokens().count(Token) == 1, "a PCD token the driver does not read");
  }
  return 0;
}
