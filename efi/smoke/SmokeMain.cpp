// The smoke-test scenario: the platform stand-ins go in, the driver image is
// read off the boot volume, loaded and started, and then driven the way the
// platform would drive it: mailbox requests through its protocol, the first
// PCI I/O installation, the ready-to-boot signal.
#include "efi/smoke/Smoke.h"

extern "C" {
EFI_HANDLE gSmokeImageHandle;
EFI_SYSTEM_TABLE *gSmokeSystemTable;
EFI_BOOT_SERVICES *gSmokeBootServices;
}

namespace {

constexpr UINTN MaxDriverImageSize = 0x10000;
constexpr UINT32 UnknownInstanceId = 7;
constexpr UINT32 MessageId = 0x21;
constexpr UINT32 RequestArguments[QeltWordCount] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr UINT32 Untouched = 0xA5A5A5A5;
constexpr UINT64 RecordSizePci = 32;      // op code 6
constexpr UINT64 RecordSizePciPoll = 48;  // op code 8

struct DRIVER {
  EFI_HANDLE Handle;
  UINT64 Base;
  UINT64 Size;
};

// ---------------------------------------------------------------------------
// Reading memory the driver shares.
// ---------------------------------------------------------------------------
template <class T>
T Read(UINT64 Address) {
  T Value;
  memcpy(&Value, reinterpret_cast<const VOID *>(Address), sizeof(Value));
  return Value;
}

template <class T>
T ReadAt(const UINT8 *Base, UINT64 Offset) {
  return Read<T>(reinterpret_cast<UINT64>(Base) + Offset);
}

BOOLEAN InDriver(const DRIVER &Driver, const VOID *Address) {
  const UINT64 Value = reinterpret_cast<UINT64>(Address);
  return Value >= Driver.Base && Value < Driver.Base + Driver.Size;
}

// Signal protocols such as SMM ready-to-lock are installed with a null
// interface: presence is the status alone.
BOOLEAN ProtocolPresent(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  return gSmokeBootServices->LocateProtocol(&Guid, nullptr, &Interface) == EFI_SUCCESS;
}

// ---------------------------------------------------------------------------
// Loading the driver.
// ---------------------------------------------------------------------------
EFI_STATUS ReadDriverImage(VOID **Buffer, UINTN *Size) {
  EFI_BOOT_SERVICES *Bs = gSmokeBootServices;
  EFI_LOADED_IMAGE_PROTOCOL *Self = nullptr;
  EFI_STATUS Status =
      Bs->HandleProtocol(gSmokeImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Self));
  if (EfiError(Status)) {
    return Status;
  }
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *Volume = nullptr;
  Status =
      Bs->HandleProtocol(Self->DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&Volume));
  if (EfiError(Status)) {
    return Status;
  }
  EFI_FILE_PROTOCOL *Root = nullptr;
  Status = Volume->OpenVolume(Volume, &Root);
  if (EfiError(Status)) {
    return Status;
  }
  static const char16_t Path[] = u"\\PirnBaseDxe.efi";
  EFI_FILE_PROTOCOL *File = nullptr;
  Status = Root->Open(Root, &File, reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(Path)), EfiFileModeRead, 0);
  if (!EfiError(Status)) {
    Status = Bs->AllocatePool(EfiBootServicesData, MaxDriverImageSize, Buffer);
    if (!EfiError(Status)) {
      *Size = MaxDriverImageSize;
      Status = File->Read(File, Size, *Buffer);
    }
    File->Close(File);
  }
  Root->Close(Root);
  return Status;
}

BOOLEAN LoadDriver(DRIVER *Driver) {
  VOID *Image = nullptr;
  UINTN ImageSize = 0;
  EFI_STATUS Status = ReadDriverImage(&Image, &ImageSize);
  if (!SmokeCheck(Status == EFI_SUCCESS && ImageSize > 0 && ImageSize < MaxDriverImageSize,
                  "read \\PirnBaseDxe.efi off the boot volume: %u bytes (%r)", static_cast<UINT32>(ImageSize),
                  Status)) {
    return FALSE;
  }
  Status = gSmokeBootServices->LoadImage(FALSE, gSmokeImageHandle, nullptr, Image, ImageSize, &Driver->Handle);
  gSmokeBootServices->FreePool(Image);
  if (!SmokeCheck(Status == EFI_SUCCESS, "LoadImage of the driver (%r)", Status)) {
    return FALSE;
  }
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  Status = gSmokeBootServices->HandleProtocol(Driver->Handle, &gEfiLoadedImageProtocolGuid,
                                              reinterpret_cast<VOID **>(&Loaded));
  if (!SmokeCheck(Status == EFI_SUCCESS && Loaded != nullptr, "loaded-image protocol of the driver (%r)", Status)) {
    return FALSE;
  }
  Driver->Base = reinterpret_cast<UINT64>(Loaded->ImageBase);
  Driver->Size = Loaded->ImageSize;
  SmokeLog("driver image at 0x%lx, 0x%lx bytes\n", Driver->Base, Driver->Size);
  SmokeCheckEqual(Loaded->ImageCodeType, EfiBootServicesCode, "the firmware loaded it as a boot-service driver");
  SmokeSetDriverRange(Driver->Base, Driver->Size);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Start-up.
// ---------------------------------------------------------------------------
VOID CheckStartUpPcdCalls(VOID) {
  struct CALL {
    CHAR8 Kind;
    UINTN Token;
  };
  // Resume library: find or create the shared record and table; then the
  // diagnostics record, eleven getters in their fixed order.
  static const CALL Expected[] = {
      {'8', PcdS3PrivateData},
      {'S', PcdS3PrivateData},
      {'8', PcdS3Table},
      {'8', PcdS3TableSize},
      {'S', PcdS3Table},
      {'B', PcdTestPointMirrorEnable},
      {'B', PcdScratchMirrorEnable},
      {'1', PcdScratchMirrorSelect},
      {'1', PcdScratchMirrorSelectAlt},
      {'1', PcdToken4A6},
      {'1', PcdToken4A4},
      {'4', PcdScratchMirrorRegister},
      {'B', PcdToken4A2},
      {'4', PcdToken45E},
      {'4', PcdToken45D},
      {'1', PcdToken4A3},
  };
  BOOLEAN Same = SmokePcdCallCount() == ArraySize(Expected);
  for (UINTN Index = 0; Index < SmokePcdCallCount(); Index++) {
    CHAR8 Kind;
    UINTN Token;
    SmokePcdCall(Index, &Kind, &Token);
    const BOOLEAN Match = Index < ArraySize(Expected) && Expected[Index].Kind == Kind && Expected[Index].Token == Token;
    Same = Same && Match;
    if (!Match) {
      SmokeLog("     PCD call %u: %c 0x%lx\n", static_cast<UINT32>(Index), Kind, Token);
    }
  }
  SmokeCheck(Same, "start-up PCD calls: %u, in the expected order", static_cast<UINT32>(SmokePcdCallCount()));
  SmokeCheckEqual(SmokePcdUnknownCount(), 0, "PCD calls with unknown tokens");
}

VOID CheckSharedRecord(VOID) {
  const UINT64 Record = SmokePcdValue(PcdS3PrivateData);
  const UINT64 Table = SmokePcdValue(PcdS3Table);
  if (!SmokeCheck(Record != 0 && Table != 0, "shared record 0x%lx and table 0x%lx published (tokens 1345, 1346)",
                  Record, Table)) {
    return;
  }
  const auto Data = Read<TEV_S3_LIB_PRIVATE_DATA>(Record);
  SmokeCheckEqual(Data.ScriptLocked, 1, "ScriptLocked (ready-to-lock already passed)");
  SmokeCheckEqual(Data.TableClosed, 0, "TableClosed");
  SmokeCheckEqual(Data.Table, Table, "record leads to the published table");
  SmokeCheckEqual(Data.RefCount, 2, "RefCount of the first library instance");
  const auto Header = Read<TEV_S3_LIB_TABLE_HEADER>(Table);
  SmokeCheck(memcmp(Header.Signature, "TS3T", 4) == 0 && Header.Version == 1, "table signature \"TS3T\", version 1");
  SmokeCheckEqual(Header.TableSize, S3TableMinSize, "table size (0x1000 asked, the minimum taken)");
  SmokeCheckEqual(Header.NextRecordOffset, S3TableFirstRecord, "empty table");
  SmokeCheckEqual(Read<UINT32>(Table + Header.TableSize), S3TableEndMarker, "end marker behind the table");
}

VOID CheckHeapList(VOID) {
  SMOKE_HEAP_LIST_PROTOCOL *List = nullptr;
  EFI_STATUS Status =
      gSmokeBootServices->LocateProtocol(&gTevHeapListProtocolGuid, nullptr, reinterpret_cast<VOID **>(&List));
  if (!SmokeCheck(Status == EFI_SUCCESS && List != nullptr, "heap-list protocol published (%r)", Status)) {
    return;
  }
  const UINT64 Head = reinterpret_cast<UINT64>(&List->Forward);
  const UINT64 Node = List->Forward;
  SmokeCheck(List->Revision == 1 && Node != Head && List->Back == Node, "heap list holds one node (revision %lu)",
             List->Revision);
  if (Node == Head) {
    return;
  }
  SmokeCheck(Read<UINT64>(Node) == Head && Read<UINT64>(Node + 8) == Head, "node links lead back to the head");
  const auto *Hob = reinterpret_cast<const UINT8 *>(SmokeHeapHob());
  SmokeCheck(
      memcmp(reinterpret_cast<const VOID *>(Node + 16), Hob + sizeof(EFI_HOB_GUID_TYPE), sizeof(HEAP_HEADER)) == 0 &&
          memcmp(reinterpret_cast<const VOID *>(Node + 32), SmokeHeapData, sizeof(SmokeHeapData)) == 0,
      "node holds the heap HOB's header and data");
}

// ---------------------------------------------------------------------------
// Mailbox requests through the installed protocol.
// ---------------------------------------------------------------------------
VOID Fill(UINT32 *Words, UINT32 Value) {
  for (UINTN Index = 0; Index < QeltWordCount; Index++) {
    Words[Index] = Value;
  }
}

BOOLEAN AllEqual(const UINT32 *Words, UINT32 Value) {
  for (UINTN Index = 0; Index < QeltWordCount; Index++) {
    if (Words[Index] != Value) {
      return FALSE;
    }
  }
  return TRUE;
}

UINT64 NextRecordOffset(VOID) {
  return Read<UINT64>(SmokePcdValue(PcdS3Table) + OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset));
}

VOID CheckRequests(TEV_QELT_SERVICE_PROTOCOL *Qelt) {
  UINT32 Response[QeltWordCount];

  // A null argument array.
  UINTN Mark = SmokeTraceMark();
  Fill(Response, Untouched);
  EFI_STATUS Status = Qelt->ServiceRequest(Qelt, SmokeInstanceId, MessageId, nullptr, Response);
  SmokeCheckEqual(Status, EFI_INVALID_PARAMETER, "request without arguments");
  static const CHAR8 *const NullTrace[] = {"TevQeltServiceRequest Entry"};
  SmokeCheckTrace(Mark, NullTrace, ArraySize(NullTrace), "request without arguments");

  // An instance id the topology does not have.
  Mark = SmokeTraceMark();
  Status = Qelt->ServiceRequest(Qelt, UnknownInstanceId, MessageId, RequestArguments, Response);
  SmokeCheckEqual(Status, EFI_INVALID_PARAMETER, "request to an unknown instance");
  SmokeCheck(AllEqual(Response, Untouched), "unknown instance: response untouched");
  static const CHAR8 *const UnknownTrace[] = {"TevQeltServiceRequest Entry", "TevQeltServiceRequest Exit Status = 0x2"};
  SmokeCheckTrace(Mark, UnknownTrace, ArraySize(UnknownTrace), "request to an unknown instance");

  // Message id 0xFF is refused without touching the hub: success, and the
  // response is the argument words.
  const UINT64 OffsetBefore = NextRecordOffset();
  Mark = SmokeTraceMark();
  Status = Qelt->ServiceRequest(Qelt, SmokeInstanceId, QeltInvalidMessageId, RequestArguments, Response);
  SmokeCheckEqual(Status, EFI_SUCCESS, "request with message id 0xFF");
  SmokeCheck(memcmp(Response, RequestArguments, sizeof(Response)) == 0, "message id 0xFF: response = arguments");
  static const CHAR8 *const InvalidTrace[] = {"TevQeltServiceRequest Entry", "KORVU_TP:[B000A93E]",
                                              "QeltServiceRequest Enter", "QELTServiceRequest INVALID!!",
                                              "TevQeltServiceRequest Exit Status = 0x0"};
  SmokeCheckTrace(Mark, InvalidTrace, ArraySize(InvalidTrace), "request with message id 0xFF");
  SmokeCheckEqual(NextRecordOffset(), OffsetBefore, "message id 0xFF records nothing");

  // The instance on segment 1: the configuration window does not reach it,
  // every read gives all ones, so both waits end at once and the answer's
  // status byte is 255.
  Mark = SmokeTraceMark();
  Fill(Response, Untouched);
  Status = Qelt->ServiceRequest(Qelt, SmokeInstanceId, MessageId, RequestArguments, Response);
  SmokeCheckEqual(Status, EFI_INVALID_PARAMETER, "request to the segment-1 instance fails");
  SmokeCheck(AllEqual(Response, Untouched), "failed request: response untouched");
  static const CHAR8 *const FailTrace[] = {"TevQeltServiceRequest Entry",
                                           "KORVU_TP:[B000A93E]",
                                           "QeltServiceRequest Enter",
                                           "  QELT Service Request 0x21",
                                           "  QELT Service Request Argument 0x11, 0x22, 0x33, 0x44, 0x55, 0x66",
                                           "KORVU_TP:[B000AB21]",
                                           "  QELT ERROR! Error ID: 0xFFFFFFFF",
                                           "QeltServiceRequest Exit",
                                           "KORVU_TP:[B000A93F]",
                                           "BIOS_QELT_MSG_ID_33, Return Status = 255",
                                           "TevQeltServiceRequest Exit Status = 0x2"};
  SmokeCheckTrace(Mark, FailTrace, ArraySize(FailTrace), "request to the segment-1 instance");
  SmokeCheckEqual(NextRecordOffset(), OffsetBefore + 17 * RecordSizePci + RecordSizePciPoll,
                  "failed request still recorded: 17 writes and the answer poll");
}

// ---------------------------------------------------------------------------
// The lock hook, at the first PCI I/O installation.
// ---------------------------------------------------------------------------
VOID CheckLockHook(VOID) {
  const UINT64 OffsetBefore = NextRecordOffset();
  UINTN Mark = SmokeTraceMark();
  EFI_STATUS Status = SmokeInstallPciIo();
  SmokeCheckEqual(Status, EFI_SUCCESS, "first PCI I/O protocol installed");
  static const CHAR8 *const LockTrace[] = {"KORVU_TP:[B000A95E]",         "PirnBaseHookPciIO Entry",
                                           "PirnBaseSetHwInitLock Enter", "PirnBaseSetHwInitLock Exit",
                                           "PirnBaseHookPciIO Exit",      "KORVU_TP:[B000A95F]"};
  SmokeCheckTrace(Mark, LockTrace, ArraySize(LockTrace), "lock hook on the first PCI I/O installation");
  SmokeCheckEqual(SmokeTopologyCallCount(), 1, "topology block fetched once");
  SmokeCheckEqual(NextRecordOffset(), OffsetBefore + 6 * RecordSizePci, "three lock writes recorded");

  Mark = SmokeTraceMark();
  Status = SmokeInstallPciIo();
  SmokeCheckEqual(Status, EFI_SUCCESS, "second PCI I/O protocol installed");
  SmokeCheckTrace(Mark, nullptr, 0, "no lock hook on the second installation");
  SmokeCheckEqual(SmokeTopologyCallCount(), 1, "topology block not fetched again");
}

// ---------------------------------------------------------------------------
// Ready-to-boot: the hand-off of the resume table.
// ---------------------------------------------------------------------------
VOID EFIAPI IgnoreSignal(IN EFI_EVENT Event, IN VOID *Context) {
  (void)Event;
  (void)Context;
}

EFI_STATUS SignalReadyToBoot(VOID) {
  EFI_EVENT Event = nullptr;
  EFI_STATUS Status = gSmokeBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr,
                                                        &gEfiEventReadyToBootGuid, &Event);
  if (EfiError(Status)) {
    return Status;
  }
  Status = gSmokeBootServices->SignalEvent(Event);
  gSmokeBootServices->CloseEvent(Event);
  return Status;
}

// One 32-bit PCI write record of the table (op code 6).
BOOLEAN PciWriteRecord(const UINT8 *Table, UINT64 Offset, UINT16 Segment, UINT64 Address, UINT32 Value) {
  return ReadAt<UINT16>(Table, Offset) == S3OpPciWrite && ReadAt<UINT16>(Table, Offset + 2) == 0 &&
         ReadAt<UINT32>(Table, Offset + 4) == EfiBootScriptWidthUint32 &&
         ReadAt<UINT16>(Table, Offset + 8) == Segment && ReadAt<UINT16>(Table, Offset + 10) == 0 &&
         ReadAt<UINT32>(Table, Offset + 12) == 0 && ReadAt<UINT64>(Table, Offset + 16) == Address &&
         ReadAt<UINT64>(Table, Offset + 24) == Value;
}

VOID CheckHandedOffTable(const SMOKE_HANDOFF *Handoff) {
  const UINT8 *Table = Handoff->Table;
  if (!SmokeCheckEqual(Handoff->TableBytes, S3TableMinSize + 4, "table copied during the hand-off")) {
    return;
  }
  // The mailbox request to the segment-1 instance, in configuration-space
  // form: six argument words, command, doorbell, then the resume entries
  // that replay the message and wait for the same answer.
  const UINT64 Index = BootScriptPciAddress(QeltIndexAddress(SmokeInstanceAddress));
  const UINT64 Data = Index + 4;
  UINT64 At = S3TableFirstRecord;
  BOOLEAN Request = TRUE;
  for (UINT32 Word = 0; Word < QeltWordCount; Word++, At += 2 * RecordSizePci) {
    Request = Request && PciWriteRecord(Table, At, 1, Index, QeltArgReg + 4 * Word) &&
              PciWriteRecord(Table, At + RecordSizePci, 1, Data, RequestArguments[Word]);
  }
  Request = Request && PciWriteRecord(Table, At, 1, Index, QeltMessageReg) &&
            PciWriteRecord(Table, At + RecordSizePci, 1, Data, QeltCommand(MessageId));
  At += 2 * RecordSizePci;
  Request = Request && PciWriteRecord(Table, At, 1, Index, QeltDoorbellReg) &&
            PciWriteRecord(Table, At + RecordSizePci, 1, Data, QeltDoorbellValue);
  At += 2 * RecordSizePci;
  Request = Request && PciWriteRecord(Table, At, 1, Index, QeltMessageReg);
  At += RecordSizePci;
  Request = Request && ReadAt<UINT16>(Table, At) == S3OpPciPoll && ReadAt<UINT32>(Table, At + 4) == 2 &&
            ReadAt<UINT64>(Table, At + 8) == 1 && ReadAt<UINT64>(Table, At + 16) == Data &&
            ReadAt<UINT64>(Table, At + 24) == 0xFFFFFFFF && ReadAt<UINT64>(Table, At + 32) == 0xFFFFFFFF &&
            ReadAt<UINT64>(Table, At + 40) == S3PciPollDelay;
  At += RecordSizePciPoll;
  SmokeCheck(Request, "table: the request's 17 writes and its answer poll (R = 0xFFFFFFFF), segment 1");

  // The lock hook: segment 0, same bus; the configuration window is off, so
  // the PCI form again. Each value is the one read at boot with bit 0 set.
  const UINT64 LockIndex = BootScriptPciAddress(LockIndexAddress(SmokeInstanceBus));
  BOOLEAN Lock = TRUE;
  for (UINT32 Register : HwInitLockRegs) {
    const UINT32 Value = ReadAt<UINT32>(Table, At + RecordSizePci + 24);
    Lock = Lock && PciWriteRecord(Table, At, 0, LockIndex, Register) && (Value & 1) == 1 &&
           PciWriteRecord(Table, At + RecordSizePci, 0, LockIndex + 4, Value);
    At += 2 * RecordSizePci;
  }
  SmokeCheck(Lock, "table: three lock writes with bit 0 set, segment 0 bus 0x%x", SmokeInstanceBus);

  SmokeCheckEqual(ReadAt<UINT64>(Table, OFFSET_OF(TEV_S3_LIB_TABLE_HEADER, NextRecordOffset)), At,
                  "table: next-record offset behind the last record");
  SmokeCheckEqual(ReadAt<UINT16>(Table, At), S3TableTerminator, "table: terminator 0xFFFF");
  SmokeCheckEqual(ReadAt<UINT32>(Table, S3TableMinSize), S3TableEndMarker, "table: end marker");
  SmokeCheck(memcmp(Table, "TS3T", 4) == 0, "table: signature \"TS3T\"");
}

VOID CheckReadyToBoot(VOID) {
  const UINT64 Record = SmokePcdValue(PcdS3PrivateData);
  UINTN Mark = SmokeTraceMark();
  EFI_STATUS Status = SignalReadyToBoot();
  SmokeCheckEqual(Status, EFI_SUCCESS, "ready-to-boot group signalled");
  static const CHAR8 *const CloseTrace[] = {"TevS3SaveCloseTableCallBack"};
  SmokeCheckTrace(Mark, CloseTrace, ArraySize(CloseTrace), "close-table callback");

  const SMOKE_HANDOFF *Handoff = SmokeHandoff();
  if (!SmokeCheckEqual(Handoff->Calls, 1, "Communicate called once")) {
    return;
  }
  SmokeCheck(Handoff->Buffer == reinterpret_cast<const VOID *>(SmokeCommBufferAddress()) && Handoff->Size == 40,
             "the platform's communicate buffer (token 0x27001) handed over with size %u",
             static_cast<UINT32>(Handoff->Size));
  const TEV_S3_COMMUNICATE_BUFFER &Message = Handoff->Message;
  SmokeCheck(GuidEqual(Message.HeaderGuid, gTevS3SmmHandlerGuid), "hand-off: S3 SMM handler GUID");
  SmokeCheck(Message.MessageLength == 16 && Message.Command == 1 && Message.Reserved == 0,
             "hand-off: length 16, command 1, reserved 0");
  SmokeCheckEqual(Message.PrivateData, Record, "hand-off: address of the shared record");
  SmokeCheck(Handoff->Record.ScriptLocked == 1 && Handoff->Record.TableClosed == 0 &&
                 Handoff->Record.Table == SmokePcdValue(PcdS3Table),
             "hand-off: record locked, open, leading to the table");
  CheckHandedOffTable(Handoff);
  SmokeCheckEqual(Read<TEV_S3_LIB_PRIVATE_DATA>(Record).TableClosed, 1, "TableClosed after the hand-off");

  Mark = SmokeTraceMark();
  Status = SignalReadyToBoot();
  SmokeCheck(Status == EFI_SUCCESS && Handoff->Calls == 1, "second ready-to-boot signal hands nothing over");
  SmokeCheckTrace(Mark, nullptr, 0, "second ready-to-boot signal");
}

VOID Run(VOID) {
  SmokeLog("PIRN SMOKE: the Pirn base driver in %s firmware\n", gSmokeSystemTable->FirmwareVendor);
  // A boot option runs under a watchdog; this test ends on its own.
  gSmokeBootServices->SetWatchdogTimer(0, 0, 0, nullptr);
  SmokeCheckProcessor();

  // By the time a boot application runs the platform has passed SMM
  // ready-to-lock, so the driver records into its resume table from the
  // start. Where this firmware has not, the application stands in for it.
  const BOOLEAN ReadyToLock = ProtocolPresent(gEfiDxeSmmReadyToLockProtocolGuid);
  SmokeLog("firmware: SMM ready-to-lock %a, S3 Save State %a\n", ReadyToLock ? "installed" : "absent",
           ProtocolPresent(gEfiS3SaveStateProtocolGuid) ? "present" : "absent");
  if (!ReadyToLock) {
    EFI_HANDLE Handle = nullptr;
    const EFI_STATUS Status = gSmokeBootServices->InstallProtocolInterface(&Handle, &gEfiDxeSmmReadyToLockProtocolGuid,
                                                                           EFI_NATIVE_INTERFACE, nullptr);
    SmokeCheck(Status == EFI_SUCCESS, "SMM ready-to-lock installed by the application (%r)", Status);
  }
  SmokeCheck(!ProtocolPresent(gTevQeltServiceProtocolGuid), "no mailbox-service protocol before the driver");

  SmokeInstallDebugPrint();
  SmokeInstallPcd(SmokeCommBufferAddress());
  SmokeInstallTopology();
  SmokeInstallSmmCommunication();
  SmokeInstallHobList();

  DRIVER Driver = {};
  if (!LoadDriver(&Driver)) {
    return;
  }
  UINTN Mark = SmokeTraceMark();
  EFI_STATUS Status = gSmokeBootServices->StartImage(Driver.Handle, nullptr, nullptr);
  SmokeCheckEqual(Status, EFI_SUCCESS, "StartImage of the driver");
  static const CHAR8 *const StartTrace[] = {"TevS3LibPrivateData allocation",
                                            "Create mS3ScriptLockEvent & mCloseTableEvent.",
                                            "TevS3LibTableHeader buffer size = 0x4000",
                                            "KORVU_TP:[B000A902]",
                                            "TevPirnBaseDxeEntry",
                                            "TevPirnBaseDxeEntry",
                                            "KORVU_TP:[B000A903]"};
  SmokeCheckTrace(Mark, StartTrace, ArraySize(StartTrace), "start-up");
  CheckStartUpPcdCalls();
  CheckSharedRecord();
  CheckHeapList();

  TEV_QELT_SERVICE_PROTOCOL *Qelt = nullptr;
  Status = gSmokeBootServices->LocateProtocol(&gTevQeltServiceProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Qelt));
  if (!SmokeCheck(Status == EFI_SUCCESS && Qelt != nullptr, "mailbox-service protocol installed (%r)", Status)) {
    return;
  }
  SmokeCheck(Qelt->Revision == 0 && InDriver(Driver, reinterpret_cast<const VOID *>(Qelt->ServiceRequest)),
             "protocol revision 0, service function inside the driver image");
  CheckRequests(Qelt);
  CheckLockHook();
  CheckReadyToBoot();
  SmokeCheckEqual(SmokePcdUnknownCount(), 0, "PCD calls with unknown tokens, whole run");
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmokeMain(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  gSmokeImageHandle = ImageHandle;
  gSmokeSystemTable = SystemTable;
  gSmokeBootServices = SystemTable->BootServices;
  Run();
  SmokeRestoreHobList();
  return SmokeFinish();
}
