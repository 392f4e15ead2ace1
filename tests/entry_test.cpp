// Image entry: the start-up order, the driver entry's test points, traces,
// protocol installation and PCI I/O notification, and its failure paths.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "s3save/S3Save.h"
#include "tests/DiagFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string EntryTrace = "TevPirnBaseDxeEntry\n";

class EntryTest : public DiagFixture {
 protected:
  // Position of the first firmware call at or after From named Name whose
  // arguments hold the word(s) Args; npos when there is none.
  size_t FindCall(const std::string &Name, const std::string &Args, size_t From = 0) const {
    const auto &Calls = Plat->firmware.Calls();
    for (size_t I = From; I < Calls.size(); I++) {
      const size_t At = Calls[I].Args.find(Args);
      if (Calls[I].Name == Name && At != std::string::npos && (At == 0 || Calls[I].Args[At - 1] == ' ')) {
        return I;
      }
    }
    return std::string::npos;
  }

  TEV_QELT_SERVICE_PROTOCOL *Service() { return PIRN_SYMBOL(Img(), mQeltServiceProtocol); }

  // The texts of the last Count trace lines.
  std::vector<std::string> LastLines(size_t Count) {
    std::vector<std::string> Out;
    const auto &Lines = Trace().Lines();
    for (size_t I = Lines.size() > Count ? Lines.size() - Count : 0; I < Lines.size(); I++) {
      Out.push_back(Lines[I].Text);
    }
    return Out;
  }
};

TEST_F(EntryTest, RunsTheStartUpStepsInOrderThenTheDriverEntry) {
  EXPECT_EQ(Boot(), EFI_SUCCESS);

  // Step 1 comes first.
  ASSERT_FALSE(Fw().Calls().empty());
  EXPECT_EQ(Fw().Calls()[0].Name, "LocateProtocol");
  EXPECT_EQ(Fw().Calls()[0].Args, "S3SaveState key=null");
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mS3SaveState), Fw().FindProtocol(gEfiS3SaveStateProtocolGuid));
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mBootServices), Fw().BootServices());

  // Step 2 (the resume library's ready-to-boot event), step 3 (the two PCD
  // protocols, one right after the other), step 5 (the heap list), then the
  // driver entry's three calls.
  const size_t ResumeEvents = FindCall("CreateEventEx", "group=ReadyToBoot");
  size_t Config = FindCall("LocateProtocol", "Pcd key=null", ResumeEvents);
  while (Config != std::string::npos && FindCall("LocateProtocol", "EfiPcd key=null", Config + 1) != Config + 1) {
    Config = FindCall("LocateProtocol", "Pcd key=null", Config + 1);
  }
  const size_t Heap = FindCall("LocateProtocol", "TevHeapList", Config);
  const size_t Install = FindCall("InstallProtocolInterface", "TevQeltService", Heap);
  const size_t Event = FindCall("CreateEventEx", "tpl=16", Install);
  const size_t Register = FindCall("RegisterProtocolNotify", "PciIo event=set", Event);
  for (size_t Index : {ResumeEvents, Config, Heap, Install, Event, Register}) {
    EXPECT_NE(Index, std::string::npos);
  }
  EXPECT_EQ(Event, Install + 1);
  EXPECT_EQ(Register, Event + 1);

  // The resume library's PCD reads all come before the eleven of step 3.
  const auto &PcdCalls = Pcd().Calls();
  const auto First = std::find_if(PcdCalls.begin(), PcdCalls.end(),
                                  [](const auto &C) { return C.Accessor == "GetBool" && C.Token == 0x352; });
  ASSERT_NE(First, PcdCalls.end());
  EXPECT_EQ(PcdCalls.end() - First, 11) << "nothing reads a PCD after the configuration";
  EXPECT_TRUE(std::all_of(PcdCalls.begin(), First, [](const auto &C) {
    return C.Token == PcdS3PrivateData || C.Token == PcdS3Table || C.Token == PcdS3TableSize;
  }));
}

TEST_F(EntryTest, DriverEntryPostsItsTestPointsAndTracesAndArmsTheHook) {
  EXPECT_EQ(Boot(), EFI_SUCCESS);

  // With the configuration loaded, both test points reach port 0x80.
  EXPECT_THAT(M().PortWrites(0x80), ElementsAre(0xB000A902, 0xB000A903));
  EXPECT_THAT(LastLines(4), ElementsAre("KORVU_TP:[B000A902]\n", EntryTrace, EntryTrace, "KORVU_TP:[B000A903]\n"));
  const auto Flow = Trace().Texts(FilterFlow);
  EXPECT_EQ(std::count(Flow.begin(), Flow.end(), EntryTrace), 2);

  EXPECT_EQ(Fw().FindProtocol(gTevQeltServiceProtocolGuid), Service());
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);
  const size_t Event = FindCall("CreateEventEx", "tpl=16");
  ASSERT_NE(Event, std::string::npos);
  EXPECT_NE(Fw().Calls()[Event].Args.find("type=0x200"), std::string::npos) << Fw().Calls()[Event].Args;
  EXPECT_NE(Fw().Calls()[Event].Args.find("context=null group=null"), std::string::npos) << Fw().Calls()[Event].Args;
}

class EntryWithoutPcdTest : public EntryTest {
 protected:
  sim::PlatformOptions Options() const override {
    sim::PlatformOptions O;
    O.Pcd = false;
    O.PiPcd = false;
    O.S3SaveState = false;
    return O;
  }
};

TEST_F(EntryWithoutPcdTest, StartUpCompletesAndTestPointsAreOnlyTraced) {
  EXPECT_EQ(Boot(), EFI_SUCCESS);
  EXPECT_EQ(*PIRN_SYMBOL(Img(), mS3SaveState), nullptr);
  const DIAG_CONFIG Zero{};
  EXPECT_EQ(std::memcmp(&Config(), &Zero, sizeof Zero), 0);
  EXPECT_THAT(M().PortWrites(0x80), IsEmpty());
  EXPECT_THAT(LastLines(4), ElementsAre("KORVU_TP:[B000A902]\n", EntryTrace, EntryTrace, "KORVU_TP:[B000A903]\n"));
  EXPECT_EQ(Fw().FindProtocol(gTevQeltServiceProtocolGuid), Service());
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);
}

// The driver entry after a complete start-up, with one of its calls made
// to fail.
class EntryFailureTest : public EntryTest {
 protected:
  EFI_STATUS RunEntryWith(sim::Firmware::Service Failing) {
    RunDriver([this] { PIRN_SYMBOL(Img(), RunConstructors)(Img().Handle(), Fw().SystemTable()); });
    Fw().ClearCalls();
    Fw().FailService(Failing);
    EFI_STATUS Status = EFI_ABORTED;
    RunDriver([&] { Status = PIRN_SYMBOL(Img(), TevPirnBaseDxeEntry)(Img().Handle(), Fw().SystemTable()); });
    return Status;
  }
};

TEST_F(EntryFailureTest, FailedEventCreationSkipsTheRegistrationAndStillSucceeds) {
  EXPECT_EQ(RunEntryWith(sim::Firmware::Service::CreateEventEx), EFI_SUCCESS);
  EXPECT_EQ(Fw().CallCount("RegisterProtocolNotify"), 0u);
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 0u);
  EXPECT_EQ(Fw().FindProtocol(gTevQeltServiceProtocolGuid), Service());
  EXPECT_THAT(M().PortWrites(0x80), ElementsAre(0xB000A902, 0xB000A903));
}

TEST_F(EntryFailureTest, FailedInstallationIsNotReported) {
  EXPECT_EQ(RunEntryWith(sim::Firmware::Service::InstallProtocolInterface), EFI_SUCCESS);
  EXPECT_EQ(Fw().FindProtocol(gTevQeltServiceProtocolGuid), nullptr);
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);
  EXPECT_EQ(Fw().CallCount("CloseEvent"), 0u) << "no destructor ran";
}

TEST_F(EntryTest, ImageEntryReturnsSuccessEvenWhenTheInstallationFails) {
  // A first platform tells which installation of the start-up is the
  // driver's own; a second one makes exactly that one fail.
  EXPECT_EQ(Boot(), EFI_SUCCESS);
  const size_t Own = FindCall("InstallProtocolInterface", "TevQeltService");
  ASSERT_NE(Own, std::string::npos);
  const auto &Calls = Fw().Calls();
  const unsigned Nth =
      static_cast<unsigned>(std::count_if(Calls.begin(), Calls.begin() + static_cast<std::ptrdiff_t>(Own) + 1,
                                          [](const auto &C) { return C.Name == "InstallProtocolInterface"; }));
  Plat.reset();
  Plat = sim::MakeDefaultPlatform(Options());

  Fw().FailService(sim::Firmware::Service::InstallProtocolInterface, Nth);
  EXPECT_EQ(Boot(), EFI_SUCCESS);
  EXPECT_EQ(Fw().FindProtocol(gTevQeltServiceProtocolGuid), nullptr);
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);
}

TEST_F(EntryTest, PciIoInstalledBeforeTheEntryDoesNotTriggerTheHookTheNextDoes) {
  static int EarlyPciIo;
  static int LatePciIo;
  Fw().InstallProtocol(gEfiPciIoProtocolGuid, &EarlyPciIo);
  EXPECT_EQ(Boot(), EFI_SUCCESS);
  EXPECT_FALSE(Trace().Contains("KORVU_TP:[B000A95E]\n")) << "the hook ran for an earlier installation";

  ASSERT_TRUE(P().Run([this] { Fw().InstallProtocol(gEfiPciIoProtocolGuid, &LatePciIo); })) << M().LastStop().Message;
  EXPECT_TRUE(Trace().Contains("KORVU_TP:[B000A95E]\n"));
  EXPECT_TRUE(Trace().Contains("KORVU_TP:[B000A95F]\n"));
  EXPECT_EQ(Fw().NotifyRegistrationCount(gEfiPciIoProtocolGuid), 0u) << "the hook closes its event";
}

}  // namespace
