// Life of the resume table: the library constructor that finds or creates
// the shared record and table, the ready-to-lock and ready-to-boot
// callbacks, and the destructor.
//
// Several driver images carry this library. The first one constructed
// allocates the shared record and the table and publishes them through PCD
// tokens 1345 and 1346; the others join them. Only the image whose
// constructor found RefCount at 1 creates the event pair.
#include "diag/Diag.h"
#include "s3save/S3Save.h"

extern "C" {

TEV_S3_LIB_PRIVATE_DATA *mTevS3LibPrivateData;
EFI_EVENT mS3ScriptLockEvent;
EFI_EVENT mCloseTableEvent;
UINT64 mPcieCfgBase;
EFI_PCD_PROTOCOL *mEfiPcdProtocol;
BOOLEAN mS3ReferenceHeld;

}  // extern "C"

namespace {

inline constexpr UINT64 PciCfgWindowEnable = 1;
inline constexpr UINT64 PciCfgWindowBaseMask = 0xFFFFFFFFFFF00000ULL;
inline constexpr UINT32 S3CommunicateCommand = 1;
inline constexpr UINT64 S3CommunicateMessageLength = 16;

// The requested table size: token 1347, never below the minimum.
UINT64 RequestedTableSize(PCD_PROTOCOL *Pcd) {
  const UINT64 Size = Pcd->Get64(PcdS3TableSize);
  return Size < S3TableMinSize ? S3TableMinSize : Size;
}

// Creates the ready-to-lock and ready-to-boot events of this image.
EFI_STATUS CreateTableEvents(VOID) {
  TracePrint(FilterFlow, "Create mS3ScriptLockEvent & mCloseTableEvent.\n");

  EFI_EVENT LockEvent = nullptr;
  VOID *Registration = nullptr;
  mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TevS3SaveScriptLockCallBack, nullptr, &LockEvent);
  if (LockEvent != nullptr) {
    // Published before the signal: the callback may run inside SignalEvent,
    // close the event and clear the handle.
    mS3ScriptLockEvent = LockEvent;
    mBootServices->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, LockEvent, &Registration);
    mBootServices->SignalEvent(LockEvent);
  }
  if (LockEvent == nullptr) {
    AssertSite(AssertS3LockEvent);
    TracePrint(FilterFlow, "TevS3SaveLib create BootScriptLock Event fail\n");
    return EFI_UNSUPPORTED;
  }

  const EFI_STATUS Status = mBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TevS3SaveCloseTableCallBack,
                                                         nullptr, &gEfiEventReadyToBootGuid, &mCloseTableEvent);
  if (EfiError(Status)) {
    AssertSite(AssertS3CloseEvent);
    TracePrint(FilterFlow, "TevS3SaveLib create CloseTable Event fail\n");
    return EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}

}  // namespace

extern "C" {

VOID *RuntimeZeroAlloc(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EfiError(mBootServices->AllocatePool(EfiRuntimeServicesData, Size, &Buffer))) {
    return nullptr;
  }
  if (Buffer != nullptr && Size != 0) {
    MemZero(Buffer, Size);
  }
  return Buffer;
}

EFI_PCD_PROTOCOL *GetEfiPcdProtocol(VOID) {
  if (mEfiPcdProtocol == nullptr) {
    mBootServices->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&mEfiPcdProtocol));
  }
  return mEfiPcdProtocol;
}

EFI_STATUS TevS3SaveLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;

  // Without the PCD database the shared record can be neither found nor
  // published; the recorder then stays on the save-state service.
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  UINT64 Shared = Pcd != nullptr ? Pcd->Get64(PcdS3PrivateData) : 0;

  const UINT64 Window = MsrRead(MsrPciCfgWindow);
  if ((Window & PciCfgWindowEnable) != 0) {
    mPcieCfgBase = Window & PciCfgWindowBaseMask;
  } else {
    AssertSite(AssertS3WindowDisabled);
  }

  if (Pcd == nullptr) {
    return EFI_UNSUPPORTED;
  }

  if (Shared == 0) {
    TracePrint(FilterFlow, "TevS3LibPrivateData allocation\n");
    TEV_S3_LIB_PRIVATE_DATA *Fresh = static_cast<TEV_S3_LIB_PRIVATE_DATA *>(RuntimeZeroAlloc(sizeof(*Fresh)));
    if (Fresh == nullptr) {
      AssertSite(AssertS3PrivateAlloc);
      TracePrint(FilterFlow, "TevS3LibPrivateData allocate fail\n");
      return EFI_OUT_OF_RESOURCES;
    }
    Fresh->ScriptLocked = 0;
    Fresh->TableClosed = 0;
    Fresh->Table = 0;
    Fresh->RefCount = 1;
    Shared = reinterpret_cast<UINT64>(Fresh);
    Pcd->Set64(PcdS3PrivateData, Shared);
  }
  TEV_S3_LIB_PRIVATE_DATA *Private = reinterpret_cast<TEV_S3_LIB_PRIVATE_DATA *>(Shared);
  mTevS3LibPrivateData = Private;

  // Every image sharing the record learns the size of the block from the
  // same request (token 1347), so that its table check knows where the end
  // marker must be, whichever image creates the table. The image that
  // creates the table reads the request at its usual place, after the table
  // token; the others read it on their way out.
  if (Private->RefCount == 1) {
    const EFI_STATUS Status = CreateTableEvents();
    if (EfiError(Status)) {
      mS3TableSize = RequestedTableSize(Pcd);
      return Status;
    }
  }

  Private->RefCount++;
  mS3ReferenceHeld = TRUE;

  if (Pcd->Get64(PcdS3Table) != 0) {
    mS3TableSize = RequestedTableSize(Pcd);
    return EFI_SUCCESS;
  }

  const UINT64 Size = RequestedTableSize(Pcd);
  mS3TableSize = Size;
  TracePrint(FilterFlow, "TevS3LibTableHeader buffer size = 0x%x\n", Size);
  // A size whose block length would wrap is as unobtainable as an exhausted
  // pool. Nothing is published then, so a later constructor tries again.
  UINT8 *Table =
      Size <= ~0ULL - sizeof(UINT32) ? static_cast<UINT8 *>(RuntimeZeroAlloc(Size + sizeof(UINT32))) : nullptr;
  if (Table == nullptr) {
    TracePrint(FilterFlow, "TevS3Lib table allocate fail\n");
    return EFI_OUT_OF_RESOURCES;
  }
  Pcd->Set64(PcdS3Table, reinterpret_cast<UINT64>(Table));
  Private->Table = reinterpret_cast<UINT64>(Table);

  TEV_S3_LIB_TABLE_HEADER *Header = reinterpret_cast<TEV_S3_LIB_TABLE_HEADER *>(Table);
  const UINT32 Signature = S3TableSignature;
  __builtin_memcpy(Header->Signature, &Signature, sizeof(Signature));
  Header->Version = 1;
  Header->TableSize = Size;
  Header->NextRecordOffset = S3TableFirstRecord;
  const UINT32 EndMarker = S3TableEndMarker;
  __builtin_memcpy(Table + Size, &EndMarker, sizeof(EndMarker));
  return EFI_SUCCESS;
}

VOID EFIAPI TevS3SaveScriptLockCallBack(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  VOID *Interface = nullptr;
  if (EfiError(mBootServices->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &Interface))) {
    return;
  }
  if (Event != nullptr) {
    mBootServices->CloseEvent(Event);
    // The handle is gone: the destructor must not close it a second time.
    if (Event == mS3ScriptLockEvent) {
      mS3ScriptLockEvent = nullptr;
    }
  }
  if (mTevS3LibPrivateData != nullptr) {
    mTevS3LibPrivateData->ScriptLocked = 1;
  }
}

VOID EFIAPI TevS3SaveCloseTableCallBack(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  if (Event != nullptr) {
    mBootServices->CloseEvent(Event);
    if (Event == mCloseTableEvent) {
      mCloseTableEvent = nullptr;
    }
  }
  TracePrint(FilterFlow, "TevS3SaveCloseTableCallBack\n");

  TEV_S3_LIB_PRIVATE_DATA *Private = mTevS3LibPrivateData;
  if (Private == nullptr || Private->Table == 0) {
    TracePrint(FilterFlow, "mTevS3LibPrivateData is NULL\n");
    return;
  }
  // Another image's callback has handed the table over and released it;
  // Table still holds the released address.
  if (Private->TableClosed != 0) {
    return;
  }
  if (S3TableCheck() != S3Success) {
    return;
  }

  const UINT64 Table = Private->Table;
  const TEV_S3_LIB_TABLE_HEADER *Header = reinterpret_cast<const TEV_S3_LIB_TABLE_HEADER *>(Table);
  const UINT16 Terminator = S3TableTerminator;
  __builtin_memcpy(reinterpret_cast<VOID *>(Table + Header->NextRecordOffset), &Terminator, sizeof(Terminator));

  EFI_PCD_PROTOCOL *PiPcd = GetEfiPcdProtocol();
  const UINT64 Buffer = PiPcd != nullptr ? PiPcd->Get64(&gTevPcdTokenSpaceGuid, PcdSmmCommBuffer) : 0;
  if (Buffer == 0) {
    AssertSite(AssertS3NoCommBuffer);
    return;
  }

  TEV_S3_COMMUNICATE_BUFFER *Message = reinterpret_cast<TEV_S3_COMMUNICATE_BUFFER *>(Buffer);
  MemZero(Message, sizeof(*Message));
  Message->HeaderGuid = gTevS3SmmHandlerGuid;
  Message->MessageLength = S3CommunicateMessageLength;
  Message->Command = S3CommunicateCommand;
  Message->PrivateData = reinterpret_cast<UINT64>(Private);

  EFI_SMM_COMMUNICATION_PROTOCOL *Communication = nullptr;
  const EFI_STATUS Status = mBootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr,
                                                          reinterpret_cast<VOID **>(&Communication));
  if (Status != EFI_SUCCESS) {
    AssertSite(AssertS3NoSmmComm);
  }
  if (Communication == nullptr) {
    TracePrint(FilterFlow, "TevS3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }

  UINTN Size = sizeof(TEV_S3_COMMUNICATE_BUFFER);
  Communication->Communicate(Communication, Message, &Size);
  Private->TableClosed = 1;
  mBootServices->FreePool(reinterpret_cast<VOID *>(Table));
}

EFI_STATUS TevS3SaveLibDestructor(VOID) {
  if (mS3ScriptLockEvent != nullptr) {
    TracePrint(FilterFlow, "Destory S3ScriptLockEvent.\n");
    if (mBootServices->CloseEvent(mS3ScriptLockEvent) != EFI_SUCCESS) {
      AssertSite(AssertS3CloseLockEvent);
    }
  }
  if (mCloseTableEvent != nullptr) {
    TracePrint(FilterFlow, "Destory mCloseTableEvent.\n");
    if (mBootServices->CloseEvent(mCloseTableEvent) != EFI_SUCCESS) {
      AssertSite(AssertS3CloseTableEvent);
    }
  }
  if (mS3ReferenceHeld && mTevS3LibPrivateData != nullptr) {
    mTevS3LibPrivateData->RefCount--;
    mS3ReferenceHeld = FALSE;
  }
  return EFI_SUCCESS;
}

}  // extern "C"
