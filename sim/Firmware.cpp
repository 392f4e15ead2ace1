// The boot-services model.
//
// Paths that call back into driver code (notifications) keep no
// heap-owning locals alive across the call: a Machine stop unwinds them
// with longjmp, which would skip their destructors.
#include "sim/Firmware.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmware/Firmware.h"

namespace sim {

struct Firmware::Event {
  uint32_t Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY Fn;
  void *Context;
  bool InGroup;
  EFI_GUID Group;
  bool Signaled = false;
  bool Closed = false;
};

struct Firmware::Handle {
  uint64_t Serial;
};

struct Firmware::Entry {
  Handle *Owner;
  EFI_GUID Protocol;
  void *Interface;
  bool Removed = false;
};

struct Firmware::Registration {
  EFI_GUID Protocol;
  Event *Ev;
  std::deque<Entry *> Fresh;  // installations not yet returned by LocateProtocol
  bool Closed = false;
};

namespace {

Firmware *gCurrent = nullptr;

[[noreturn]] void Fatal(const char *What) {
  std::fprintf(stderr, "sim::Firmware: %s\n", What);
  std::abort();
}

Firmware *Cur() {
  if (gCurrent == nullptr) {
    Fatal("boot service called with no live Firmware");
  }
  return gCurrent;
}

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%" PRIX64, Value);
  return Text;
}

std::string Ptr(const void *P) { return P == nullptr ? "null" : "set"; }

// ---- Modelled services -------------------------------------------------------
EFI_TPL EFIAPI SvcRaiseTpl(EFI_TPL NewTpl) { return Cur()->DoRaiseTpl(NewTpl); }
VOID EFIAPI SvcRestoreTpl(EFI_TPL OldTpl) { Cur()->DoRestoreTpl(OldTpl); }
EFI_STATUS EFIAPI SvcAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  return Cur()->DoAllocatePool(Type, Size, Buffer);
}
EFI_STATUS EFIAPI SvcFreePool(VOID *Buffer) { return Cur()->DoFreePool(Buffer); }
EFI_STATUS EFIAPI SvcCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Fn, VOID *Context, EFI_EVENT *Event) {
  return Cur()->DoCreateEvent("CreateEvent", Type, NotifyTpl, Fn, Context, nullptr, Event);
}
EFI_STATUS EFIAPI SvcCreateEventEx(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Fn, CONST VOID *Context,
                                   CONST EFI_GUID *Group, EFI_EVENT *Event) {
  return Cur()->DoCreateEvent("CreateEventEx", Type, NotifyTpl, Fn, Context, Group, Event);
}
EFI_STATUS EFIAPI SvcSignalEvent(EFI_EVENT Event) { return Cur()->DoSignalEvent(Event); }
EFI_STATUS EFIAPI SvcCloseEvent(EFI_EVENT Event) { return Cur()->DoCloseEvent(Event); }
EFI_STATUS EFIAPI SvcInstallProtocolInterface(EFI_HANDLE *Handle, CONST EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type,
                                              VOID *Interface) {
  return Cur()->DoInstallProtocolInterface(Handle, Protocol, Type, Interface);
}
EFI_STATUS EFIAPI SvcReinstallProtocolInterface(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID *OldInterface,
                                                VOID *NewInterface) {
  return Cur()->DoReinstallProtocolInterface(Handle, Protocol, OldInterface, NewInterface);
}
EFI_STATUS EFIAPI SvcUninstallProtocolInterface(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID *Interface) {
  return Cur()->DoUninstallProtocolInterface(Handle, Protocol, Interface);
}
EFI_STATUS EFIAPI SvcHandleProtocol(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID **Interface) {
  return Cur()->DoHandleProtocol(Handle, Protocol, Interface);
}
EFI_STATUS EFIAPI SvcRegisterProtocolNotify(CONST EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration) {
  return Cur()->DoRegisterProtocolNotify(Protocol, Event, Registration);
}
EFI_STATUS EFIAPI SvcInstallConfigurationTable(CONST EFI_GUID *Guid, VOID *Table) {
  return Cur()->DoInstallConfigurationTable(Guid, Table);
}
EFI_STATUS EFIAPI SvcLocateProtocol(CONST EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  return Cur()->DoLocateProtocol(Protocol, Registration, Interface);
}

// ---- Services the driver has no business calling ----------------------------
#define PIRN_UNEXPECTED(Name, ...) \
  EFI_STATUS EFIAPI Svc##Name(__VA_ARGS__) { return Cur()->Unexpected(#Name); }

PIRN_UNEXPECTED(AllocatePages, EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *)
PIRN_UNEXPECTED(FreePages, EFI_PHYSICAL_ADDRESS, UINTN)
PIRN_UNEXPECTED(GetMemoryMap, UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *)
PIRN_UNEXPECTED(SetTimer, EFI_EVENT, EFI_TIMER_DELAY, UINT64)
PIRN_UNEXPECTED(WaitForEvent, UINTN, EFI_EVENT *, UINTN *)
PIRN_UNEXPECTED(CheckEvent, EFI_EVENT)
PIRN_UNEXPECTED(LocateHandle, EFI_LOCATE_SEARCH_TYPE, CONST EFI_GUID *, VOID *, UINTN *, EFI_HANDLE *)
PIRN_UNEXPECTED(LocateDevicePath, CONST EFI_GUID *, EFI_DEVICE_PATH_PROTOCOL **, EFI_HANDLE *)
PIRN_UNEXPECTED(LoadImage, BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, VOID *, UINTN, EFI_HANDLE *)
PIRN_UNEXPECTED(StartImage, EFI_HANDLE, UINTN *, CHAR16 **)
PIRN_UNEXPECTED(Exit, EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *)
PIRN_UNEXPECTED(UnloadImage, EFI_HANDLE)
PIRN_UNEXPECTED(ExitBootServices, EFI_HANDLE, UINTN)
PIRN_UNEXPECTED(GetNextMonotonicCount, UINT64 *)
PIRN_UNEXPECTED(Stall, UINTN)
PIRN_UNEXPECTED(SetWatchdogTimer, UINTN, UINT64, UINTN, CHAR16 *)
PIRN_UNEXPECTED(ConnectController, EFI_HANDLE, EFI_HANDLE *, EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN)
PIRN_UNEXPECTED(DisconnectController, EFI_HANDLE, EFI_HANDLE, EFI_HANDLE)
PIRN_UNEXPECTED(OpenProtocol, EFI_HANDLE, CONST EFI_GUID *, VOID **, EFI_HANDLE, EFI_HANDLE, UINT32)
PIRN_UNEXPECTED(CloseProtocol, EFI_HANDLE, CONST EFI_GUID *, EFI_HANDLE, EFI_HANDLE)
PIRN_UNEXPECTED(OpenProtocolInformation, EFI_HANDLE, CONST EFI_GUID *, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **, UINTN *)
PIRN_UNEXPECTED(ProtocolsPerHandle, EFI_HANDLE, EFI_GUID ***, UINTN *)
PIRN_UNEXPECTED(LocateHandleBuffer, EFI_LOCATE_SEARCH_TYPE, CONST EFI_GUID *, VOID *, UINTN *, EFI_HANDLE **)
PIRN_UNEXPECTED(InstallMultipleProtocolInterfaces, EFI_HANDLE *, ...)
PIRN_UNEXPECTED(UninstallMultipleProtocolInterfaces, EFI_HANDLE, ...)
PIRN_UNEXPECTED(CalculateCrc32, VOID *, UINTN, UINT32 *)
#undef PIRN_UNEXPECTED

VOID EFIAPI SvcCopyMem(VOID *, VOID *, UINTN) { Cur()->Unexpected("CopyMem"); }
VOID EFIAPI SvcSetMem(VOID *, UINTN, UINT8) { Cur()->Unexpected("SetMem"); }

const CHAR16 kVendor[] = {'P', 'i', 'r', 'n', ' ', 'm', 'o', 'd', 'e', 'l', 0};

struct NamedGuid {
  const EFI_GUID *Guid;
  const char *Name;
};
const NamedGuid kGuidNames[] = {
    {&gTevQeltServiceProtocolGuid, "TevQeltService"},
    {&gTevTopologyHobGuid, "TevTopologyHob"},
    {&gTevTopologyProtocolGuid, "TevTopology"},
    {&gTevDebugPrintProtocolGuid, "TevDebugPrint"},
    {&gTevHeapListProtocolGuid, "TevHeapList"},
    {&gTevHeapHobGuid, "TevHeapHob"},
    {&gTevS3SmmHandlerGuid, "TevS3SmmHandler"},
    {&gTevPcdTokenSpaceGuid, "TevPcdTokenSpace"},
    {&gPcdProtocolGuid, "Pcd"},
    {&gEfiPcdProtocolGuid, "EfiPcd"},
    {&gEfiS3SaveStateProtocolGuid, "S3SaveState"},
    {&gEfiSmmCommunicationProtocolGuid, "SmmCommunication"},
    {&gEfiDxeSmmReadyToLockProtocolGuid, "DxeSmmReadyToLock"},
    {&gEfiEventReadyToBootGuid, "ReadyToBoot"},
    {&gEfiPciIoProtocolGuid, "PciIo"},
    {&gEfiHobListGuid, "HobList"},
};

}  // namespace

std::string GuidText(const EFI_GUID &G) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2, G.Data3,
                G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Text;
}

std::string GuidName(const EFI_GUID &Guid) {
  for (const NamedGuid &N : kGuidNames) {
    if (GuidEqual(*N.Guid, Guid)) {
      return N.Name;
    }
  }
  return GuidText(Guid);
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
Firmware::Firmware() {
  if (gCurrent != nullptr) {
    Fatal("only one Firmware may be alive at a time");
  }
  gCurrent = this;
  const char *Report = std::getenv("PIRN_SIM_REPORT_POOL");
  ReportPoolAtTeardown = Report != nullptr && std::strcmp(Report, "1") == 0;

  Boot.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Boot.Hdr.Revision = (2 << 16) | 70;
  Boot.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  Boot.RaiseTPL = SvcRaiseTpl;
  Boot.RestoreTPL = SvcRestoreTpl;
  Boot.AllocatePages = SvcAllocatePages;
  Boot.FreePages = SvcFreePages;
  Boot.GetMemoryMap = SvcGetMemoryMap;
  Boot.AllocatePool = SvcAllocatePool;
  Boot.FreePool = SvcFreePool;
  Boot.CreateEvent = SvcCreateEvent;
  Boot.SetTimer = SvcSetTimer;
  Boot.WaitForEvent = SvcWaitForEvent;
  Boot.SignalEvent = SvcSignalEvent;
  Boot.CloseEvent = SvcCloseEvent;
  Boot.CheckEvent = SvcCheckEvent;
  Boot.InstallProtocolInterface = SvcInstallProtocolInterface;
  Boot.ReinstallProtocolInterface = SvcReinstallProtocolInterface;
  Boot.UninstallProtocolInterface = SvcUninstallProtocolInterface;
  Boot.HandleProtocol = SvcHandleProtocol;
  Boot.Reserved = nullptr;
  Boot.RegisterProtocolNotify = SvcRegisterProtocolNotify;
  Boot.LocateHandle = SvcLocateHandle;
  Boot.LocateDevicePath = SvcLocateDevicePath;
  Boot.InstallConfigurationTable = SvcInstallConfigurationTable;
  Boot.LoadImage = SvcLoadImage;
  Boot.StartImage = SvcStartImage;
  Boot.Exit = SvcExit;
  Boot.UnloadImage = SvcUnloadImage;
  Boot.ExitBootServices = SvcExitBootServices;
  Boot.GetNextMonotonicCount = SvcGetNextMonotonicCount;
  Boot.Stall = SvcStall;
  Boot.SetWatchdogTimer = SvcSetWatchdogTimer;
  Boot.ConnectController = SvcConnectController;
  Boot.DisconnectController = SvcDisconnectController;
  Boot.OpenProtocol = SvcOpenProtocol;
  Boot.CloseProtocol = SvcCloseProtocol;
  Boot.OpenProtocolInformation = SvcOpenProtocolInformation;
  Boot.ProtocolsPerHandle = SvcProtocolsPerHandle;
  Boot.LocateHandleBuffer = SvcLocateHandleBuffer;
  Boot.LocateProtocol = SvcLocateProtocol;
  Boot.InstallMultipleProtocolInterfaces = SvcInstallMultipleProtocolInterfaces;
  Boot.UninstallMultipleProtocolInterfaces = SvcUninstallMultipleProtocolInterfaces;
  Boot.CalculateCrc32 = SvcCalculateCrc32;
  Boot.CopyMem = SvcCopyMem;
  Boot.SetMem = SvcSetMem;
  Boot.CreateEventEx = SvcCreateEventEx;

  System.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  System.Hdr.Revision = (2 << 16) | 70;
  System.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  System.FirmwareVendor = const_cast<CHAR16 *>(kVendor);
  System.FirmwareRevision = 0x00010000;
  System.BootServices = &Boot;
  SyncConfigurationTable();
}

Firmware::~Firmware() {
  if (!Pool.empty()) {
    size_t Bytes = 0;
    for (const Allocation &A : Pool) {
      Bytes += A.Size;
      std::free(A.Buffer);
    }
    if (ReportPoolAtTeardown) {
      std::fprintf(stderr, "sim::Firmware: %zu pool allocation(s), %zu byte(s), still live at teardown; freed\n",
                   Pool.size(), Bytes);
    }
  }
  gCurrent = nullptr;
}

Firmware *Firmware::Current() { return gCurrent; }

// ---------------------------------------------------------------------------
// Bookkeeping
// ---------------------------------------------------------------------------
void Firmware::FailService(Service Svc, unsigned Nth, EFI_STATUS Status) {
  if (Nth == 0) {
    Fatal("FailService: Nth counts from 1");
  }
  Failures.push_back({Svc, Nth, Status});
}

bool Firmware::ShouldFail(Service Svc, EFI_STATUS *Status) {
  bool Fail = false;
  for (Failure &F : Failures) {
    if (F.Svc == Svc && --F.Remaining == 0 && !Fail) {
      Fail = true;
      *Status = F.Status;
    }
  }
  std::erase_if(Failures, [](const Failure &F) { return F.Remaining == 0; });
  return Fail;
}

void Firmware::Record(const char *Name, std::string Args, EFI_STATUS Status) {
  CallLog.push_back({Name, std::move(Args), Status});
}

size_t Firmware::CallCount(std::string_view Name) const {
  return static_cast<size_t>(
      std::count_if(CallLog.begin(), CallLog.end(), [Name](const Call &C) { return C.Name == Name; }));
}

EFI_STATUS Firmware::Unexpected(const char *Name) {
  Record(Name, "", EFI_UNSUPPORTED);
  AddViolation(std::string("unexpected boot service ") + Name);
  return EFI_UNSUPPORTED;
}

// ---------------------------------------------------------------------------
// Task priority
// ---------------------------------------------------------------------------
EFI_TPL Firmware::DoRaiseTpl(EFI_TPL NewTpl) {
  Record("RaiseTPL", Hex(NewTpl), EFI_SUCCESS);
  if (NewTpl < Tpl || NewTpl > TPL_HIGH_LEVEL) {
    AddViolation("RaiseTPL to " + Hex(NewTpl) + " from " + Hex(Tpl));
  }
  const EFI_TPL Old = Tpl;
  Tpl = NewTpl;
  return Old;
}

void Firmware::DoRestoreTpl(EFI_TPL OldTpl) {
  Record("RestoreTPL", Hex(OldTpl), EFI_SUCCESS);
  if (OldTpl > Tpl) {
    AddViolation("RestoreTPL to " + Hex(OldTpl) + " from the lower " + Hex(Tpl));
  }
  Tpl = OldTpl;
  Dispatch();
}

void Firmware::SetTpl(EFI_TPL NewTpl) {
  Tpl = NewTpl;
  Dispatch();
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
EFI_STATUS Firmware::DoAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  ++AllocatePoolCalls;
  EFI_STATUS Status = EFI_SUCCESS;
  if (ShouldFail(Service::AllocatePool, &Status)) {
    // injected failure, Status set
  } else if (Buffer == nullptr || (Type >= EfiMaxMemoryType && Type < 0x80000000U)) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    void *P = std::malloc(Size == 0 ? 1 : Size);
    if (P == nullptr) {
      Status = EFI_OUT_OF_RESOURCES;
    } else {
      std::memset(P, 0xAF, Size);
      Pool.push_back({P, Type, Size});
      *Buffer = P;
    }
  }
  if (EfiError(Status) && Buffer != nullptr) {
    *Buffer = nullptr;
  }
  Record("AllocatePool", "type=" + std::to_string(Type) + " size=" + Hex(Size), Status);
  return Status;
}

EFI_STATUS Firmware::DoFreePool(VOID *Buffer) {
  auto It = std::find_if(Pool.begin(), Pool.end(), [Buffer](const Allocation &A) { return A.Buffer == Buffer; });
  EFI_STATUS Status = EFI_SUCCESS;
  if (It == Pool.end()) {
    char Text[64];
    std::snprintf(Text, sizeof Text, "FreePool of unknown buffer %p", Buffer);
    AddViolation(Text);
    Status = EFI_INVALID_PARAMETER;
  } else {
    std::free(It->Buffer);
    Pool.erase(It);
  }
  Record("FreePool", Buffer == nullptr ? "null" : "buffer", Status);
  return Status;
}

std::vector<Firmware::Allocation> Firmware::LiveAllocations() const { return Pool; }

size_t Firmware::LiveBytes(EFI_MEMORY_TYPE Type) const {
  size_t Bytes = 0;
  for (const Allocation &A : Pool) {
    if (A.Type == Type) {
      Bytes += A.Size;
    }
  }
  return Bytes;
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------
Firmware::Event *Firmware::LiveEvent(EFI_EVENT E) const {
  for (const auto &Ev : Events) {
    if (Ev.get() == E) {
      return Ev->Closed ? nullptr : Ev.get();
    }
  }
  return nullptr;
}

EFI_STATUS Firmware::DoCreateEvent(const char *Name, UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Fn,
                                   const VOID *Context, const EFI_GUID *Group, EFI_EVENT *EventOut) {
  const bool Ex = std::strcmp(Name, "CreateEventEx") == 0;
  EFI_STATUS Status = EFI_SUCCESS;
  const bool Notifies = (Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0;
  if (ShouldFail(Ex ? Service::CreateEventEx : Service::CreateEvent, &Status)) {
    // injected failure
  } else if (EventOut == nullptr ||
             (Notifies && (Fn == nullptr || NotifyTpl <= TPL_APPLICATION || NotifyTpl > TPL_HIGH_LEVEL)) ||
             ((Type & EVT_NOTIFY_SIGNAL) != 0 && (Type & EVT_NOTIFY_WAIT) != 0)) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    auto E = std::make_unique<Event>();
    E->Type = Type;
    E->NotifyTpl = NotifyTpl;
    E->Fn = Fn;
    E->Context = const_cast<VOID *>(Context);
    E->InGroup = Group != nullptr;
    E->Group = Group != nullptr ? *Group : EFI_GUID{};
    *EventOut = E.get();
    Events.push_back(std::move(E));
  }
  Record(Name,
         "type=" + Hex(Type) + " tpl=" + std::to_string(NotifyTpl) + " notify=" + Ptr(reinterpret_cast<void *>(Fn)) +
             " context=" + Ptr(Context) + (Ex ? " group=" + (Group ? GuidName(*Group) : std::string("null")) : ""),
         Status);
  return Status;
}

void Firmware::SignalOne(Event *E) {
  if (E->Signaled) {
    return;
  }
  E->Signaled = true;
  if ((E->Type & EVT_NOTIFY_SIGNAL) != 0) {
    Pending.push_back(E);
  }
}

// Runs every queued notification whose TPL is above the current one, the
// highest TPL first and in signal order within a TPL, each at its own TPL.
void Firmware::Dispatch() {
  for (;;) {
    auto Best = Pending.end();
    for (auto It = Pending.begin(); It != Pending.end(); ++It) {
      if ((*It)->NotifyTpl > Tpl && (Best == Pending.end() || (*It)->NotifyTpl > (*Best)->NotifyTpl)) {
        Best = It;
      }
    }
    if (Best == Pending.end()) {
      return;
    }
    Event *E = *Best;
    Pending.erase(Best);
    E->Signaled = false;
    const EFI_TPL Saved = Tpl;
    Tpl = E->NotifyTpl;
    E->Fn(E, E->Context);
    Tpl = Saved;
  }
}

EFI_STATUS Firmware::DoSignalEvent(EFI_EVENT EventIn) {
  EFI_STATUS Status = EFI_SUCCESS;
  Event *E = nullptr;
  if (!ShouldFail(Service::SignalEvent, &Status)) {
    E = LiveEvent(EventIn);
    Status = E == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  }
  Record("SignalEvent", E != nullptr && E->InGroup ? "group " + GuidName(E->Group) : "event", Status);
  if (E == nullptr) {
    return Status;
  }
  if (E->InGroup) {
    for (const auto &Other : Events) {
      if (!Other->Closed && Other->InGroup && GuidEqual(Other->Group, E->Group)) {
        SignalOne(Other.get());
      }
    }
  } else {
    SignalOne(E);
  }
  Dispatch();
  return EFI_SUCCESS;
}

void Firmware::SignalEventGroup(const EFI_GUID &Group) {
  for (const auto &E : Events) {
    if (!E->Closed && E->InGroup && GuidEqual(E->Group, Group)) {
      SignalOne(E.get());
    }
  }
  Dispatch();
}

EFI_STATUS Firmware::DoCloseEvent(EFI_EVENT EventIn) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (!ShouldFail(Service::CloseEvent, &Status)) {
    Event *E = LiveEvent(EventIn);
    if (E == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      E->Closed = true;
      E->Signaled = false;
      std::erase(Pending, E);
      for (auto &R : Registrations) {
        if (R->Ev == E) {
          R->Closed = true;
          R->Fresh.clear();
        }
      }
    }
  }
  Record("CloseEvent", "event", Status);
  return Status;
}

size_t Firmware::OpenEventCount() const {
  return static_cast<size_t>(std::count_if(Events.begin(), Events.end(), [](const auto &E) { return !E->Closed; }));
}

bool Firmware::EventOpen(EFI_EVENT Event) const { return LiveEvent(Event) != nullptr; }

EFI_EVENT_NOTIFY Firmware::EventNotifyFunction(EFI_EVENT EventIn) const {
  const Event *E = LiveEvent(EventIn);
  return E == nullptr ? nullptr : E->Fn;
}

EFI_TPL Firmware::EventNotifyTpl(EFI_EVENT EventIn) const {
  const Event *E = LiveEvent(EventIn);
  return E == nullptr ? 0 : E->NotifyTpl;
}

size_t Firmware::NotifyRegistrationCount(const EFI_GUID &Protocol) const {
  return static_cast<size_t>(std::count_if(Registrations.begin(), Registrations.end(), [&](const auto &R) {
    return !R->Closed && GuidEqual(R->Protocol, Protocol);
  }));
}

// ---------------------------------------------------------------------------
// Protocol database
// ---------------------------------------------------------------------------
Firmware::Handle *Firmware::KnownHandle(EFI_HANDLE H) const {
  for (const auto &Known : Handles) {
    if (Known.get() == H) {
      return Known.get();
    }
  }
  return nullptr;
}

EFI_HANDLE Firmware::CreateHandle() {
  Handles.push_back(std::make_unique<Handle>(Handle{NextSerial++}));
  return Handles.back().get();
}

void Firmware::Notify(const EFI_GUID &Protocol, Entry *NewEntry) {
  for (const auto &R : Registrations) {
    if (!R->Closed && GuidEqual(R->Protocol, Protocol)) {
      R->Fresh.push_back(NewEntry);
      if (LiveEvent(R->Ev) != nullptr) {
        SignalOne(R->Ev);
      }
    }
  }
  Dispatch();
}

EFI_STATUS Firmware::Install(EFI_HANDLE *HandleInOut, const EFI_GUID &Protocol, void *Interface) {
  Handle *H = nullptr;
  if (*HandleInOut != nullptr) {
    H = KnownHandle(*HandleInOut);
    if (H == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    for (const auto &E : Entries) {
      if (!E->Removed && E->Owner == H && GuidEqual(E->Protocol, Protocol)) {
        return EFI_INVALID_PARAMETER;
      }
    }
  } else {
    H = static_cast<Handle *>(CreateHandle());
    *HandleInOut = H;
  }
  Entries.push_back(std::make_unique<Entry>(Entry{H, Protocol, Interface}));
  Notify(Protocol, Entries.back().get());
  return EFI_SUCCESS;
}

EFI_STATUS Firmware::DoInstallProtocolInterface(EFI_HANDLE *HandleInOut, const EFI_GUID *Protocol,
                                                EFI_INTERFACE_TYPE Type, VOID *Interface) {
  EFI_STATUS Status = EFI_SUCCESS;
  const bool Fails = ShouldFail(Service::InstallProtocolInterface, &Status);
  if (!Fails && (HandleInOut == nullptr || Protocol == nullptr || Type != EFI_NATIVE_INTERFACE)) {
    Status = EFI_INVALID_PARAMETER;
  }
  const size_t Slot = CallLog.size();
  Record("InstallProtocolInterface",
         (Protocol ? GuidName(*Protocol) : std::string("null")) +
             " handle=" + (HandleInOut == nullptr ? "null" : Ptr(*HandleInOut)) + " interface=" + Ptr(Interface),
         Status);
  if (Fails || EfiError(Status)) {
    return Status;
  }
  Status = Install(HandleInOut, *Protocol, Interface);
  CallLog[Slot].Status = Status;
  return Status;
}

EFI_STATUS Firmware::DoReinstallProtocolInterface(EFI_HANDLE HandleIn, const EFI_GUID *Protocol, VOID *OldInterface,
                                                  VOID *NewInterface) {
  Entry *Found = nullptr;
  Handle *H = KnownHandle(HandleIn);
  if (H != nullptr && Protocol != nullptr) {
    for (const auto &E : Entries) {
      if (!E->Removed && E->Owner == H && GuidEqual(E->Protocol, *Protocol) && E->Interface == OldInterface) {
        Found = E.get();
      }
    }
  }
  const EFI_STATUS Status = H == nullptr || Protocol == nullptr ? EFI_INVALID_PARAMETER
                            : Found == nullptr                  ? EFI_NOT_FOUND
                                                                : EFI_SUCCESS;
  Record("ReinstallProtocolInterface", Protocol ? GuidName(*Protocol) : std::string("null"), Status);
  if (Found != nullptr) {
    Found->Interface = NewInterface;
    Notify(*Protocol, Found);
  }
  return Status;
}

EFI_STATUS Firmware::DoUninstallProtocolInterface(EFI_HANDLE HandleIn, const EFI_GUID *Protocol, VOID *Interface) {
  Handle *H = KnownHandle(HandleIn);
  EFI_STATUS Status = H == nullptr || Protocol == nullptr ? EFI_INVALID_PARAMETER : EFI_NOT_FOUND;
  if (Status == EFI_NOT_FOUND) {
    for (const auto &E : Entries) {
      if (!E->Removed && E->Owner == H && GuidEqual(E->Protocol, *Protocol) && E->Interface == Interface) {
        E->Removed = true;
        for (auto &R : Registrations) {
          std::erase(R->Fresh, E.get());
        }
        Status = EFI_SUCCESS;
        break;
      }
    }
  }
  Record("UninstallProtocolInterface", Protocol ? GuidName(*Protocol) : std::string("null"), Status);
  return Status;
}

EFI_STATUS Firmware::DoHandleProtocol(EFI_HANDLE HandleIn, const EFI_GUID *Protocol, VOID **Interface) {
  Handle *H = KnownHandle(HandleIn);
  EFI_STATUS Status =
      H == nullptr || Protocol == nullptr || Interface == nullptr ? EFI_INVALID_PARAMETER : EFI_UNSUPPORTED;
  if (Interface != nullptr) {
    *Interface = nullptr;
  }
  if (Status == EFI_UNSUPPORTED) {
    for (const auto &E : Entries) {
      if (!E->Removed && E->Owner == H && GuidEqual(E->Protocol, *Protocol)) {
        *Interface = E->Interface;
        Status = EFI_SUCCESS;
        break;
      }
    }
  }
  Record("HandleProtocol", Protocol ? GuidName(*Protocol) : std::string("null"), Status);
  return Status;
}

EFI_STATUS Firmware::DoRegisterProtocolNotify(const EFI_GUID *Protocol, EFI_EVENT EventIn, VOID **Key) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (!ShouldFail(Service::RegisterProtocolNotify, &Status)) {
    Event *E = LiveEvent(EventIn);
    if (Protocol == nullptr || Key == nullptr || E == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      Registrations.push_back(std::make_unique<Registration>());
      Registration *R = Registrations.back().get();
      R->Protocol = *Protocol;
      R->Ev = E;
      *Key = R;
    }
  }
  Record("RegisterProtocolNotify",
         (Protocol ? GuidName(*Protocol) : std::string("null")) + " event=" + (EventIn ? "set" : "null"), Status);
  return Status;
}

EFI_STATUS Firmware::DoLocateProtocol(const EFI_GUID *Protocol, VOID *Key, VOID **Interface) {
  EFI_STATUS Status = EFI_NOT_FOUND;
  if (Interface != nullptr) {
    *Interface = nullptr;
  }
  if (ShouldFail(Service::LocateProtocol, &Status)) {
    // injected failure
  } else if (Interface == nullptr || (Protocol == nullptr && Key == nullptr)) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Key != nullptr) {
    // The next installation made since the key's last use.
    for (const auto &R : Registrations) {
      if (R.get() == Key) {
        while (!R->Fresh.empty() && Status == EFI_NOT_FOUND) {
          Entry *E = R->Fresh.front();
          R->Fresh.pop_front();
          if (!E->Removed) {
            *Interface = E->Interface;
            Status = EFI_SUCCESS;
          }
        }
      }
    }
  } else {
    for (const auto &E : Entries) {
      if (!E->Removed && GuidEqual(E->Protocol, *Protocol)) {
        *Interface = E->Interface;
        Status = EFI_SUCCESS;
        break;
      }
    }
  }
  Record("LocateProtocol", (Protocol ? GuidName(*Protocol) : std::string("null")) + " key=" + (Key ? "set" : "null"),
         Status);
  return Status;
}

EFI_HANDLE Firmware::InstallProtocol(const EFI_GUID &Protocol, void *Interface, EFI_HANDLE HandleIn) {
  EFI_HANDLE H = HandleIn;
  return EfiError(Install(&H, Protocol, Interface)) ? nullptr : H;
}

void *Firmware::FindProtocol(const EFI_GUID &Protocol) const {
  for (const auto &E : Entries) {
    if (!E->Removed && GuidEqual(E->Protocol, Protocol)) {
      return E->Interface;
    }
  }
  return nullptr;
}

size_t Firmware::ProtocolCount(const EFI_GUID &Protocol) const {
  return static_cast<size_t>(std::count_if(
      Entries.begin(), Entries.end(), [&](const auto &E) { return !E->Removed && GuidEqual(E->Protocol, Protocol); }));
}

// ---------------------------------------------------------------------------
// Configuration table
// ---------------------------------------------------------------------------
void Firmware::SyncConfigurationTable() {
  System.NumberOfTableEntries = ConfigTable.size();
  System.ConfigurationTable = ConfigTable.empty() ? nullptr : ConfigTable.data();
}

void Firmware::SetConfigurationTable(const EFI_GUID &Guid, void *Table) {
  for (EFI_CONFIGURATION_TABLE &T : ConfigTable) {
    if (GuidEqual(T.VendorGuid, Guid)) {
      T.VendorTable = Table;
      return;
    }
  }
  ConfigTable.push_back({Guid, Table});
  SyncConfigurationTable();
}

void Firmware::RemoveConfigurationTable(const EFI_GUID &Guid) {
  std::erase_if(ConfigTable, [&](const EFI_CONFIGURATION_TABLE &T) { return GuidEqual(T.VendorGuid, Guid); });
  SyncConfigurationTable();
}

EFI_STATUS Firmware::DoInstallConfigurationTable(const EFI_GUID *Guid, VOID *Table) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (Guid == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Table != nullptr) {
    SetConfigurationTable(*Guid, Table);
  } else {
    const size_t Before = ConfigTable.size();
    RemoveConfigurationTable(*Guid);
    Status = ConfigTable.size() == Before ? EFI_NOT_FOUND : EFI_SUCCESS;
  }
  Record("InstallConfigurationTable", Guid ? GuidName(*Guid) : std::string("null"), Status);
  return Status;
}

}  // namespace sim
