// The boot-services model: a real EFI_SYSTEM_TABLE and EFI_BOOT_SERVICES
// whose functions are EFIAPI statics dispatching to the one live Firmware.
//
// Modelled: pool (tracked per allocation), events (types, TPLs, groups,
// queued notifications), the protocol database with notify registrations,
// the configuration table. Every other member records a violation and
// returns EFI_UNSUPPORTED: the driver has no business calling it.
//
// Tests reach the model through its own methods (InstallProtocol,
// SignalEventGroup, ...), which act as another driver or the platform would,
// and through side-effect-free queries (LiveAllocations, Calls, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/Uefi.h"

namespace sim {

// "2CEC9C8E-BC8D-425B-98CA-778CDE941FB7"
std::string GuidText(const EFI_GUID &Guid);
// Human-readable name of the well-known GUIDs of this platform, else GuidText.
std::string GuidName(const EFI_GUID &Guid);

class Firmware {
 public:
  // Services that can be made to fail (FailService).
  enum class Service : uint8_t {
    AllocatePool,
    CreateEvent,
    CreateEventEx,
    SignalEvent,
    CloseEvent,
    InstallProtocolInterface,
    RegisterProtocolNotify,
    LocateProtocol,
  };

  struct Allocation {
    void *Buffer;
    EFI_MEMORY_TYPE Type;
    size_t Size;
  };

  // One boot-service call: its name and its key arguments as text, e.g.
  // {"LocateProtocol", "E857CAF6-...(S3SaveState) key=null"}.
  struct Call {
    std::string Name;
    std::string Args;
    EFI_STATUS Status;
  };

  // Only one Firmware may be alive at a time (the table functions dispatch
  // to it).
  Firmware();
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;
  static Firmware *Current();

  EFI_SYSTEM_TABLE *SystemTable() { return &System; }
  EFI_BOOT_SERVICES *BootServices() { return &Boot; }

  // ---- Pool ---------------------------------------------------------------
  // Buffers are 8-byte aligned and filled with 0xAF (pool memory is not
  // cleared). Any memory type is accepted; the driver uses 4 and 6.
  std::vector<Allocation> LiveAllocations() const;
  size_t LiveBytes(EFI_MEMORY_TYPE Type) const;
  // AllocatePool calls so far (failed ones included).
  size_t AllocationCount() const { return AllocatePoolCalls; }
  // The nth AllocatePool call from now fails with EFI_OUT_OF_RESOURCES.
  void FailAllocation(unsigned Nth = 1) { FailService(Service::AllocatePool, Nth); }
  // Pool still live when the firmware goes away is freed silently: the
  // driver keeps its shared record and heap nodes by design. With this set
  // (or PIRN_SIM_REPORT_POOL=1 in the environment at construction) the
  // destructor also prints a count of those allocations to stderr.
  void SetReportPoolAtTeardown(bool Report) { ReportPoolAtTeardown = Report; }

  // ---- Events and TPL -----------------------------------------------------
  EFI_TPL CurrentTpl() const { return Tpl; }
  // Sets the TPL as a caller running at that level; dispatches notifications
  // that become eligible when it is lowered.
  void SetTpl(EFI_TPL NewTpl);
  // Sets the TPL without dispatching anything: for the platform, after the
  // machine stopped driver code in the middle of a notification.
  void ResetTpl(EFI_TPL NewTpl) { Tpl = NewTpl; }
  // Signals every event of the group, as the platform does for ready-to-boot.
  void SignalEventGroup(const EFI_GUID &Group);
  size_t OpenEventCount() const;
  // Whether Event is a live (created, not closed) event.
  bool EventOpen(EFI_EVENT Event) const;
  // Notify function and TPL of a live event (null / 0 if not live).
  EFI_EVENT_NOTIFY EventNotifyFunction(EFI_EVENT Event) const;
  EFI_TPL EventNotifyTpl(EFI_EVENT Event) const;
  // Live protocol-notify registrations for Protocol.
  size_t NotifyRegistrationCount(const EFI_GUID &Protocol) const;

  // ---- Protocol database --------------------------------------------------
  // Installs Interface as another driver would (notifications fire).
  // Handle null creates a new handle. Returns the handle, or null when the
  // protocol is already on that handle.
  EFI_HANDLE InstallProtocol(const EFI_GUID &Protocol, void *Interface, EFI_HANDLE Handle = nullptr);
  // Interface of the first installation still present, or null.
  void *FindProtocol(const EFI_GUID &Protocol) const;
  size_t ProtocolCount(const EFI_GUID &Protocol) const;
  // A new empty handle (e.g. an image handle).
  EFI_HANDLE CreateHandle();

  // ---- Configuration table ------------------------------------------------
  void SetConfigurationTable(const EFI_GUID &Guid, void *Table);
  void RemoveConfigurationTable(const EFI_GUID &Guid);

  // ---- Failure injection, call log, violations ----------------------------
  // The nth call of Svc from now returns Status without doing anything.
  void FailService(Service Svc, unsigned Nth = 1, EFI_STATUS Status = EFI_OUT_OF_RESOURCES);
  const std::vector<Call> &Calls() const { return CallLog; }
  size_t CallCount(std::string_view Name) const;
  void ClearCalls() { CallLog.clear(); }
  // Misuse seen: an unexpected service, freeing an unknown buffer, lowering
  // the TPL with RaiseTPL, ...
  const std::vector<std::string> &Violations() const { return ViolationLog; }
  void AddViolation(std::string What) { ViolationLog.push_back(std::move(What)); }

  // ---- Service implementations (the EFIAPI statics forward here) ----------
  EFI_TPL DoRaiseTpl(EFI_TPL NewTpl);
  void DoRestoreTpl(EFI_TPL OldTpl);
  EFI_STATUS DoAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer);
  EFI_STATUS DoFreePool(VOID *Buffer);
  EFI_STATUS DoCreateEvent(const char *Name, UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Fn, const VOID *Context,
                           const EFI_GUID *Group, EFI_EVENT *Event);
  EFI_STATUS DoSignalEvent(EFI_EVENT Event);
  EFI_STATUS DoCloseEvent(EFI_EVENT Event);
  EFI_STATUS DoInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type,
                                        VOID *Interface);
  EFI_STATUS DoReinstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *OldInterface,
                                          VOID *NewInterface);
  EFI_STATUS DoUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS DoHandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
  EFI_STATUS DoRegisterProtocolNotify(const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
  EFI_STATUS DoLocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_STATUS DoInstallConfigurationTable(const EFI_GUID *Guid, VOID *Table);
  EFI_STATUS Unexpected(const char *Name);

 private:
  struct Event;
  struct Handle;
  struct Entry;
  struct Registration;

  bool ShouldFail(Service Svc, EFI_STATUS *Status);
  void Record(const char *Name, std::string Args, EFI_STATUS Status);
  Event *LiveEvent(EFI_EVENT E) const;
  Handle *KnownHandle(EFI_HANDLE H) const;
  void SignalOne(Event *E);
  void Dispatch();
  void Notify(const EFI_GUID &Protocol, Entry *NewEntry);
  EFI_STATUS Install(EFI_HANDLE *HandleInOut, const EFI_GUID &Protocol, void *Interface);
  void SyncConfigurationTable();

  EFI_SYSTEM_TABLE System{};
  EFI_BOOT_SERVICES Boot{};

  std::vector<Allocation> Pool;
  size_t AllocatePoolCalls = 0;
  bool ReportPoolAtTeardown = false;

  EFI_TPL Tpl = TPL_APPLICATION;
  std::vector<std::unique_ptr<Event>> Events;  // closed ones are kept, marked
  std::deque<Event *> Pending;                 // signalled, notification not yet run

  std::vector<std::unique_ptr<Handle>> Handles;
  std::vector<std::unique_ptr<Entry>> Entries;  // installations in order
  std::vector<std::unique_ptr<Registration>> Registrations;
  uint64_t NextSerial = 1;

  std::vector<EFI_CONFIGURATION_TABLE> ConfigTable;

  struct Failure {
    Service Svc;
    unsigned Remaining;
    EFI_STATUS Status;
  };
  std::vector<Failure> Failures;
  std::vector<Call> CallLog;
  std::vector<std::string> ViolationLog;
};

}  // namespace sim
