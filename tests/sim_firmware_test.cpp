// The boot-services model: pool, events and TPL, protocol database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/Firmware.h"
#include "sim/Firmware.h"

namespace {

using sim::Firmware;

// What a notification saw when it ran.
struct Seen {
  std::string Name;
  EFI_TPL Tpl;
};

struct Listener {
  Firmware *Fw;
  std::vector<Seen> *Log;
  const char *Name;
};

VOID EFIAPI Note(EFI_EVENT, VOID *Context) {
  auto *L = static_cast<Listener *>(Context);
  L->Log->push_back({L->Name, L->Fw->CurrentTpl()});
}

class SimFirmware : public ::testing::Test {
 protected:
  EFI_EVENT MakeEvent(EFI_TPL Tpl, Listener &L, const EFI_GUID *Group = nullptr) {
    EFI_EVENT E = nullptr;
    EXPECT_EQ(Bs->CreateEventEx(EVT_NOTIFY_SIGNAL, Tpl, Note, &L, Group, &E), EFI_SUCCESS);
    return E;
  }
  Listener L(const char *Name) { return {&Fw, &Log, Name}; }

  Firmware Fw;
  EFI_BOOT_SERVICES *Bs = Fw.BootServices();
  std::vector<Seen> Log;
};

TEST_F(SimFirmware, PoolIsTrackedPerAllocationAndFailsOnRequest) {
  void *Boot = nullptr;
  void *Runtime = nullptr;
  void *Third = reinterpret_cast<void *>(1);
  ASSERT_EQ(Bs->AllocatePool(EfiBootServicesData, 24, &Boot), EFI_SUCCESS);
  Fw.FailAllocation(1);  // the next one
  EXPECT_EQ(Bs->AllocatePool(EfiRuntimeServicesData, 40, &Third), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Third, nullptr) << "a failed allocation gives a null buffer";
  ASSERT_EQ(Bs->AllocatePool(EfiRuntimeServicesData, 40, &Runtime), EFI_SUCCESS);

  EXPECT_EQ(Fw.AllocationCount(), 3u);
  EXPECT_EQ(Fw.LiveAllocations().size(), 2u);
  EXPECT_EQ(Fw.LiveBytes(EfiBootServicesData), 24u);
  EXPECT_EQ(Fw.LiveBytes(EfiRuntimeServicesData), 40u);

  EXPECT_EQ(Bs->FreePool(Boot), EFI_SUCCESS);
  EXPECT_EQ(Fw.LiveBytes(EfiBootServicesData), 0u);
  EXPECT_TRUE(Fw.Violations().empty());
  EXPECT_EQ(Bs->FreePool(Boot), EFI_INVALID_PARAMETER);  // twice
  ASSERT_EQ(Fw.Violations().size(), 1u);
  EXPECT_NE(Fw.Violations()[0].find("FreePool of unknown buffer"), std::string::npos);
}

TEST_F(SimFirmware, NotificationRunsAtOnceAboveTheCurrentTplAndIsQueuedOtherwise) {
  Listener Callback = L("callback");
  Listener Notify = L("notify");
  Listener Later = L("callback-2");
  EFI_EVENT C = MakeEvent(TPL_CALLBACK, Callback);
  EFI_EVENT N = MakeEvent(TPL_NOTIFY, Notify);
  EFI_EVENT C2 = MakeEvent(TPL_CALLBACK, Later);

  EXPECT_EQ(Bs->SignalEvent(C), EFI_SUCCESS);  // TPL 4 < 8: runs now, at 8
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].Tpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(Fw.CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));

  Log.clear();
  const EFI_TPL Old = Bs->RaiseTPL(TPL_NOTIFY);
  Bs->SignalEvent(C);
  Bs->SignalEvent(C2);
  Bs->SignalEvent(N);
  Bs->SignalEvent(C);  // already pending: no second run
  EXPECT_TRUE(Log.empty()) << "nothing runs at or below the current TPL";
  Bs->RestoreTPL(Old);
  const std::vector<std::pair<std::string, EFI_TPL>> Expected = {
      {"notify", TPL_NOTIFY}, {"callback", TPL_CALLBACK}, {"callback-2", TPL_CALLBACK}};
  ASSERT_EQ(Log.size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); I++) {
    EXPECT_EQ(Log[I].Name, Expected[I].first);
    EXPECT_EQ(Log[I].Tpl, Expected[I].second);
  }
  EXPECT_EQ(Fw.CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
  EXPECT_TRUE(Fw.Violations().empty());
}

TEST_F(SimFirmware, SignallingAGroupMemberSignalsTheWholeGroup) {
  Listener A = L("a");
  Listener B = L("b");
  Listener Other = L("other");
  EFI_EVENT First = MakeEvent(TPL_CALLBACK, A, &gEfiEventReadyToBootGuid);
  MakeEvent(TPL_CALLBACK, B, &gEfiEventReadyToBootGuid);
  MakeEvent(TPL_CALLBACK, Other);

  Fw.SignalEventGroup(gEfiEventReadyToBootGuid);
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].Name, "a");
  EXPECT_EQ(Log[1].Name, "b");

  Log.clear();
  Bs->CloseEvent(First);
  Bs->SignalEvent(MakeEvent(TPL_CALLBACK, Other, &gEfiEventReadyToBootGuid));
  ASSERT_EQ(Log.size(), 2u) << "b and the new member; the closed one is out of the group";
  EXPECT_EQ(Log[0].Name, "b");
  EXPECT_EQ(Log[1].Name, "other");
}

TEST_F(SimFirmware, CloseEventEndsTheRegistrationAndDropsAPendingNotification) {
  Listener Hook = L("hook");
  EFI_EVENT E = MakeEvent(TPL_CALLBACK, Hook);
  void *Key = nullptr;
  ASSERT_EQ(Bs->RegisterProtocolNotify(&gEfiPciIoProtocolGuid, E, &Key), EFI_SUCCESS);
  EXPECT_EQ(Fw.NotifyRegistrationCount(gEfiPciIoProtocolGuid), 1u);

  Fw.SetTpl(TPL_NOTIFY);
  int PciIo = 0;
  Fw.InstallProtocol(gEfiPciIoProtocolGuid, &PciIo);  // queued behind the raised TPL
  EXPECT_EQ(Bs->CloseEvent(E), EFI_SUCCESS);
  Fw.SetTpl(TPL_APPLICATION);
  EXPECT_TRUE(Log.empty()) << "a closed event's pending notification must not run";

  Fw.InstallProtocol(gEfiPciIoProtocolGuid, &PciIo);
  EXPECT_TRUE(Log.empty());
  EXPECT_EQ(Fw.NotifyRegistrationCount(gEfiPciIoProtocolGuid), 0u);
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
  EXPECT_EQ(Bs->CloseEvent(E), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs->SignalEvent(E), EFI_INVALID_PARAMETER);
}

TEST_F(SimFirmware, RegisterProtocolNotifyFiresOnlyForLaterInstallations) {
  int Early = 1;
  int First = 2;
  int Second = 3;
  Fw.InstallProtocol(gEfiPciIoProtocolGuid, &Early);

  Listener Hook = L("hook");
  void *Key = nullptr;
  ASSERT_EQ(Bs->RegisterProtocolNotify(&gEfiPciIoProtocolGuid, MakeEvent(TPL_CALLBACK, Hook), &Key), EFI_SUCCESS);
  EXPECT_TRUE(Log.empty());
  void *Found = &Found;
  EXPECT_EQ(Bs->LocateProtocol(&gEfiPciIoProtocolGuid, Key, &Found), EFI_NOT_FOUND);

  Fw.SetTpl(TPL_NOTIFY);  // two installations before the notification runs
  Fw.InstallProtocol(gEfiPciIoProtocolGuid, &First);
  Fw.InstallProtocol(gEfiPciIoProtocolGuid, &Second);
  Fw.SetTpl(TPL_APPLICATION);
  EXPECT_EQ(Log.size(), 1u);

  // The key hands out each new installation once, in order.
  EXPECT_EQ(Bs->LocateProtocol(&gEfiPciIoProtocolGuid, Key, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &First);
  EXPECT_EQ(Bs->LocateProtocol(&gEfiPciIoProtocolGuid, Key, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Second);
  EXPECT_EQ(Bs->LocateProtocol(&gEfiPciIoProtocolGuid, Key, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(Found, nullptr);
  // Without a key: the first installed.
  EXPECT_EQ(Bs->LocateProtocol(&gEfiPciIoProtocolGuid, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Early);
}

TEST_F(SimFirmware, ProtocolDatabaseKeepsInstallationOrderAndRefusesDuplicates) {
  int A = 1;
  int B = 2;
  EFI_HANDLE Ha = nullptr;
  EFI_HANDLE Hb = nullptr;
  ASSERT_EQ(Bs->InstallProtocolInterface(&Ha, &gTevQeltServiceProtocolGuid, EFI_NATIVE_INTERFACE, &A), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&Hb, &gTevQeltServiceProtocolGuid, EFI_NATIVE_INTERFACE, &B), EFI_SUCCESS);
  EXPECT_NE(Ha, nullptr);
  EXPECT_NE(Ha, Hb) << "a null handle variable gets a new handle";
  EXPECT_EQ(Bs->InstallProtocolInterface(&Ha, &gTevQeltServiceProtocolGuid, EFI_NATIVE_INTERFACE, &B),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw.ProtocolCount(gTevQeltServiceProtocolGuid), 2u);

  void *Found = nullptr;
  EXPECT_EQ(Bs->LocateProtocol(&gTevQeltServiceProtocolGuid, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &A);
  EXPECT_EQ(Bs->HandleProtocol(Hb, &gTevQeltServiceProtocolGuid, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &B);
  EXPECT_EQ(Bs->UninstallProtocolInterface(Ha, &gTevQeltServiceProtocolGuid, &A), EFI_SUCCESS);
  EXPECT_EQ(Fw.FindProtocol(gTevQeltServiceProtocolGuid), &B);
  EXPECT_EQ(Bs->LocateProtocol(&gEfiS3SaveStateProtocolGuid, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(Found, nullptr);
}

TEST_F(SimFirmware, InjectedFailuresCallLogAndUnexpectedServices) {
  Listener Hook = L("hook");
  Fw.FailService(Firmware::Service::CreateEventEx, 2, EFI_OUT_OF_RESOURCES);
  EFI_EVENT E1 = nullptr;
  EFI_EVENT E2 = nullptr;
  EXPECT_EQ(Bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, Note, &Hook, nullptr, &E1), EFI_SUCCESS);
  EXPECT_EQ(Bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, Note, &Hook, nullptr, &E2), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(E2, nullptr);
  EXPECT_EQ(Fw.OpenEventCount(), 1u);

  Fw.FailService(Firmware::Service::LocateProtocol, 1, EFI_NOT_FOUND);
  int Pcd = 0;
  Fw.InstallProtocol(gPcdProtocolGuid, &Pcd);
  void *Found = &Found;
  EXPECT_EQ(Bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(Found, nullptr);
  EXPECT_EQ(Bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &Found), EFI_SUCCESS);

  EXPECT_EQ(Fw.CallCount("CreateEventEx"), 2u);
  EXPECT_EQ(Fw.CallCount("LocateProtocol"), 2u);
  EXPECT_EQ(Fw.CallCount("RegisterProtocolNotify"), 0u);
  EXPECT_EQ(Fw.Calls().back().Args, "Pcd key=null");

  EXPECT_EQ(Bs->Stall(10), EFI_UNSUPPORTED);
  ASSERT_EQ(Fw.Violations().size(), 1u);
  EXPECT_EQ(Fw.Violations()[0], "unexpected boot service Stall");
}

TEST_F(SimFirmware, ConfigurationTableLivesInTheSystemTable) {
  int HobList = 0;
  int Other = 0;
  Fw.SetConfigurationTable(gEfiHobListGuid, &HobList);
  Fw.SetConfigurationTable(gTevTopologyHobGuid, &Other);
  EFI_SYSTEM_TABLE *St = Fw.SystemTable();
  ASSERT_EQ(St->NumberOfTableEntries, 2u);
  EXPECT_TRUE(GuidEqual(St->ConfigurationTable[0].VendorGuid, gEfiHobListGuid));
  EXPECT_EQ(St->ConfigurationTable[0].VendorTable, &HobList);
  EXPECT_EQ(St->BootServices, Bs);

  Fw.RemoveConfigurationTable(gEfiHobListGuid);
  ASSERT_EQ(St->NumberOfTableEntries, 1u);
  EXPECT_EQ(St->ConfigurationTable[0].VendorTable, &Other);
}

}  // namespace
