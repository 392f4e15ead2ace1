// The PCD protocols as the smoke test provides them. The firmware's own PCD
// service does not check token numbers: a number it does not know returns
// garbage or hangs it. So both protocols are replaced by copies of the
// firmware's that answer the driver's tokens from a table of the
// application's own; every other call still goes to the firmware, except
// calls from the driver with a token outside the table, which are refused
// and counted.
#include "efi/smoke/Smoke.h"

namespace {

struct PCD_ENTRY {
  UINTN Token;
  UINT64 Value;
};

// The values of the platform. Assertions halt for ever on real hardware, so
// nothing here may lead the driver into a failing assertion site: the test
// point mirror is off (it would write the configuration window), the table
// size asked for is below the minimum (the driver takes 0x4000).
PCD_ENTRY mPcdTable[] = {
    {PcdTestPointMirrorEnable, 0},
    {PcdScratchMirrorEnable, 0},
    {PcdScratchMirrorSelect, 0},
    {PcdScratchMirrorSelectAlt, 0},
    {PcdToken4A6, 0x11},
    {PcdToken4A4, 0x22},
    {PcdScratchMirrorRegister, 0x0001F000},
    {PcdToken4A2, 1},
    {PcdToken45E, 0x12345678},
    {PcdToken45D, 0x9ABCDEF0},
    {PcdToken4A3, 0x33},
    {PcdS3PrivateData, 0},
    {PcdS3Table, 0},
    {PcdS3TableSize, 0x1000},
};

constexpr UINTN CallLogCapacity = 64;
CHAR8 mCallKinds[CallLogCapacity];
UINTN mCallTokens[CallLogCapacity];
UINTN mCallCount;
UINTN mUnknownCount;

UINT64 mDriverBase;
UINT64 mDriverEnd;
UINT64 mCommBufferAddress;

PCD_PROTOCOL *mFirmwarePcd;
EFI_PCD_PROTOCOL *mFirmwareEfiPcd;
PCD_PROTOCOL mPcd;
EFI_PCD_PROTOCOL mEfiPcd;

PCD_ENTRY *FindEntry(UINTN Token) {
  for (PCD_ENTRY &Entry : mPcdTable) {
    if (Entry.Token == Token) {
      return &Entry;
    }
  }
  return nullptr;
}

BOOLEAN FromDriver(const VOID *ReturnAddress) {
  const UINT64 Address = reinterpret_cast<UINT64>(ReturnAddress);
  return Address >= mDriverBase && Address < mDriverEnd;
}

// Logs a call of the driver; true when the token is the application's.
BOOLEAN Note(CHAR8 Kind, UINTN Token, BOOLEAN Driver, BOOLEAN Known) {
  if (Driver) {
    if (mCallCount < CallLogCapacity) {
      mCallKinds[mCallCount] = Kind;
      mCallTokens[mCallCount] = Token;
    }
    mCallCount++;
    if (!Known) {
      mUnknownCount++;
      SmokeLog("  PCD: the driver asked for unknown token 0x%lx (%c), refused\n", Token, Kind);
    }
  }
  return Known;
}

// Answers a getter: the table for a known token, nothing for an unknown one
// from the driver, the firmware for everybody else.
template <class T, class Forward>
T Answer(CHAR8 Kind, UINTN Token, const VOID *ReturnAddress, Forward FirmwareGetter) {
  const BOOLEAN Driver = FromDriver(ReturnAddress);
  const PCD_ENTRY *Entry = FindEntry(Token);
  if (Note(Kind, Token, Driver, Entry != nullptr)) {
    return static_cast<T>(Entry->Value);
  }
  if (Driver || FirmwareGetter == nullptr) {
    return 0;
  }
  return FirmwareGetter(Token);
}

UINT8 EFIAPI PcdGet8(IN UINTN Token) {
  return Answer<UINT8>('1', Token, __builtin_return_address(0), mFirmwarePcd ? mFirmwarePcd->Get8 : nullptr);
}

UINT16 EFIAPI PcdGet16(IN UINTN Token) {
  return Answer<UINT16>('2', Token, __builtin_return_address(0), mFirmwarePcd ? mFirmwarePcd->Get16 : nullptr);
}

UINT32 EFIAPI PcdGet32(IN UINTN Token) {
  return Answer<UINT32>('4', Token, __builtin_return_address(0), mFirmwarePcd ? mFirmwarePcd->Get32 : nullptr);
}

UINT64 EFIAPI PcdGet64(IN UINTN Token) {
  return Answer<UINT64>('8', Token, __builtin_return_address(0), mFirmwarePcd ? mFirmwarePcd->Get64 : nullptr);
}

BOOLEAN EFIAPI PcdGetBool(IN UINTN Token) {
  return Answer<BOOLEAN>('B', Token, __builtin_return_address(0), mFirmwarePcd ? mFirmwarePcd->GetBool : nullptr);
}

EFI_STATUS EFIAPI PcdSet64(IN UINTN Token, IN UINT64 Value) {
  const BOOLEAN Driver = FromDriver(__builtin_return_address(0));
  PCD_ENTRY *Entry = FindEntry(Token);
  if (Note('S', Token, Driver, Entry != nullptr)) {
    Entry->Value = Value;
    return EFI_SUCCESS;
  }
  if (Driver || mFirmwarePcd == nullptr || mFirmwarePcd->Set64 == nullptr) {
    return EFI_NOT_FOUND;
  }
  return mFirmwarePcd->Set64(Token, Value);
}

UINT64 EFIAPI EfiPcdGet64(IN CONST EFI_GUID *Guid, IN UINTN Token) {
  const BOOLEAN Driver = FromDriver(__builtin_return_address(0));
  const BOOLEAN Known = Guid != nullptr && GuidEqual(*Guid, gTevPcdTokenSpaceGuid) && Token == PcdSmmCommBuffer;
  if (Note('E', Token, Driver, Known)) {
    return mCommBufferAddress;
  }
  if (Driver || mFirmwareEfiPcd == nullptr || mFirmwareEfiPcd->Get64 == nullptr) {
    return 0;
  }
  return mFirmwareEfiPcd->Get64(Guid, Token);
}

// Any other member of the PI protocol called by the driver with the token
// space of the platform is refused the same way.
UINT32 EFIAPI EfiPcdGet32(IN CONST EFI_GUID *Guid, IN UINTN Token) {
  const BOOLEAN Driver = FromDriver(__builtin_return_address(0));
  Note('e', Token, Driver, FALSE);
  if (Driver || mFirmwareEfiPcd == nullptr || mFirmwareEfiPcd->Get32 == nullptr) {
    return 0;
  }
  return mFirmwareEfiPcd->Get32(Guid, Token);
}

}  // namespace

extern "C" {

VOID SmokeSetDriverRange(UINT64 Base, UINT64 Size) {
  mDriverBase = Base;
  mDriverEnd = Base + Size;
}

VOID SmokeInstallPcd(UINT64 CommBufferAddress) {
  mCommBufferAddress = CommBufferAddress;
  EFI_BOOT_SERVICES *Bs = gSmokeBootServices;

  Bs->LocateProtocol(&gPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&mFirmwarePcd));
  if (mFirmwarePcd != nullptr) {
    mPcd = *mFirmwarePcd;
  }
  mPcd.Get8 = PcdGet8;
  mPcd.Get16 = PcdGet16;
  mPcd.Get32 = PcdGet32;
  mPcd.Get64 = PcdGet64;
  mPcd.GetBool = PcdGetBool;
  mPcd.Set64 = PcdSet64;
  EFI_STATUS Status = SmokeReplaceProtocol(&gPcdProtocolGuid, mFirmwarePcd, &mPcd);
  VOID *Found = nullptr;
  Bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &Found);
  SmokeCheck(Status == EFI_SUCCESS && Found == &mPcd, "PCD protocol stands in for the firmware's (%r, firmware %a)",
             Status, mFirmwarePcd != nullptr ? "has one" : "has none");

  Bs->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&mFirmwareEfiPcd));
  if (mFirmwareEfiPcd != nullptr) {
    mEfiPcd = *mFirmwareEfiPcd;
  }
  mEfiPcd.Get32 = EfiPcdGet32;
  mEfiPcd.Get64 = EfiPcdGet64;
  Status = SmokeReplaceProtocol(&gEfiPcdProtocolGuid, mFirmwareEfiPcd, &mEfiPcd);
  Found = nullptr;
  Bs->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, &Found);
  SmokeCheck(Status == EFI_SUCCESS && Found == &mEfiPcd,
             "PI PCD protocol stands in for the firmware's (%r, firmware %a)", Status,
             mFirmwareEfiPcd != nullptr ? "has one" : "has none");
}

UINT64 SmokePcdValue(UINTN Token) {
  const PCD_ENTRY *Entry = FindEntry(Token);
  return Entry != nullptr ? Entry->Value : 0;
}

UINTN SmokePcdCallCount(VOID) { return mCallCount; }

VOID SmokePcdCall(UINTN Index, CHAR8 *Kind, UINTN *Token) {
  *Kind = Index < CallLogCapacity ? mCallKinds[Index] : '?';
  *Token = Index < CallLogCapacity ? mCallTokens[Index] : 0;
}

UINTN SmokePcdUnknownCount(VOID) { return mUnknownCount; }

}  // extern "C"
