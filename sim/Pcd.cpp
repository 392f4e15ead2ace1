// The PCD database model.
#include "sim/Pcd.h"

#include <cstdio>
#include <cstdlib>

#include "firmware/Firmware.h"
#include "sim/Firmware.h"

namespace sim {

namespace {

PcdDatabase *gCurrent = nullptr;

PcdDatabase *Cur() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "sim::PcdDatabase: PCD protocol called with no live database\n");
    std::abort();
  }
  return gCurrent;
}

constexpr uint64_t kMask8 = 0xFF;
constexpr uint64_t kMask16 = 0xFFFF;
constexpr uint64_t kMask32 = 0xFFFFFFFF;
constexpr uint64_t kMask64 = ~0ULL;

// PCD_PROTOCOL (default token space, plus its Ex accessors).
VOID EFIAPI SetSku(UINTN) { Cur()->Unsupported("SetSku"); }
UINT8 EFIAPI Get8(UINTN T) { return static_cast<UINT8>(Cur()->DoGet("Get8", nullptr, T, kMask8)); }
UINT16 EFIAPI Get16(UINTN T) { return static_cast<UINT16>(Cur()->DoGet("Get16", nullptr, T, kMask16)); }
UINT32 EFIAPI Get32(UINTN T) { return static_cast<UINT32>(Cur()->DoGet("Get32", nullptr, T, kMask32)); }
UINT64 EFIAPI Get64(UINTN T) { return Cur()->DoGet("Get64", nullptr, T, kMask64); }
VOID *EFIAPI GetPtr(UINTN) {
  Cur()->Unsupported("GetPtr");
  return nullptr;
}
BOOLEAN EFIAPI GetBool(UINTN T) { return Cur()->DoGet("GetBool", nullptr, T, kMask64) != 0 ? TRUE : FALSE; }
UINTN EFIAPI GetSize(UINTN) {
  Cur()->Unsupported("GetSize");
  return 0;
}
UINT8 EFIAPI Get8Ex(CONST EFI_GUID *G, UINTN T) { return static_cast<UINT8>(Cur()->DoGet("Get8Ex", G, T, kMask8)); }
UINT16 EFIAPI Get16Ex(CONST EFI_GUID *G, UINTN T) {
  return static_cast<UINT16>(Cur()->DoGet("Get16Ex", G, T, kMask16));
}
UINT32 EFIAPI Get32Ex(CONST EFI_GUID *G, UINTN T) {
  return static_cast<UINT32>(Cur()->DoGet("Get32Ex", G, T, kMask32));
}
UINT64 EFIAPI Get64Ex(CONST EFI_GUID *G, UINTN T) { return Cur()->DoGet("Get64Ex", G, T, kMask64); }
VOID *EFIAPI GetPtrEx(CONST EFI_GUID *, UINTN) {
  Cur()->Unsupported("GetPtrEx");
  return nullptr;
}
BOOLEAN EFIAPI GetBoolEx(CONST EFI_GUID *G, UINTN T) {
  return Cur()->DoGet("GetBoolEx", G, T, kMask64) != 0 ? TRUE : FALSE;
}
UINTN EFIAPI GetSizeEx(CONST EFI_GUID *, UINTN) {
  Cur()->Unsupported("GetSizeEx");
  return 0;
}
EFI_STATUS EFIAPI Set8(UINTN T, UINT8 V) { return Cur()->DoSet("Set8", nullptr, T, V); }
EFI_STATUS EFIAPI Set16(UINTN T, UINT16 V) { return Cur()->DoSet("Set16", nullptr, T, V); }
EFI_STATUS EFIAPI Set32(UINTN T, UINT32 V) { return Cur()->DoSet("Set32", nullptr, T, V); }
EFI_STATUS EFIAPI Set64(UINTN T, UINT64 V) { return Cur()->DoSet("Set64", nullptr, T, V); }
EFI_STATUS EFIAPI SetPtr(UINTN, UINTN *, VOID *) {
  Cur()->Unsupported("SetPtr");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI SetBool(UINTN T, BOOLEAN V) { return Cur()->DoSet("SetBool", nullptr, T, V); }
EFI_STATUS EFIAPI Set8Ex(CONST EFI_GUID *G, UINTN T, UINT8 V) { return Cur()->DoSet("Set8Ex", G, T, V); }
EFI_STATUS EFIAPI Set16Ex(CONST EFI_GUID *G, UINTN T, UINT16 V) { return Cur()->DoSet("Set16Ex", G, T, V); }
EFI_STATUS EFIAPI Set32Ex(CONST EFI_GUID *G, UINTN T, UINT32 V) { return Cur()->DoSet("Set32Ex", G, T, V); }
EFI_STATUS EFIAPI Set64Ex(CONST EFI_GUID *G, UINTN T, UINT64 V) { return Cur()->DoSet("Set64Ex", G, T, V); }
EFI_STATUS EFIAPI SetPtrEx(CONST EFI_GUID *, UINTN, UINTN *, VOID *) {
  Cur()->Unsupported("SetPtrEx");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI SetBoolEx(CONST EFI_GUID *G, UINTN T, BOOLEAN V) { return Cur()->DoSet("SetBoolEx", G, T, V); }
EFI_STATUS EFIAPI CallbackOnSet(CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK) {
  Cur()->Unsupported("CallbackOnSet");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI CancelCallback(CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK) {
  Cur()->Unsupported("CancelCallback");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI GetNextToken(CONST EFI_GUID *, UINTN *) {
  Cur()->Unsupported("GetNextToken");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI GetNextTokenSpace(CONST EFI_GUID **) {
  Cur()->Unsupported("GetNextTokenSpace");
  return EFI_UNSUPPORTED;
}

// EFI_PCD_PROTOCOL: the same accessors by token space, logged as "Pi...".
UINT8 EFIAPI PiGet8(CONST EFI_GUID *G, UINTN T) { return static_cast<UINT8>(Cur()->DoGet("PiGet8", G, T, kMask8)); }
UINT16 EFIAPI PiGet16(CONST EFI_GUID *G, UINTN T) {
  return static_cast<UINT16>(Cur()->DoGet("PiGet16", G, T, kMask16));
}
UINT32 EFIAPI PiGet32(CONST EFI_GUID *G, UINTN T) {
  return static_cast<UINT32>(Cur()->DoGet("PiGet32", G, T, kMask32));
}
UINT64 EFIAPI PiGet64(CONST EFI_GUID *G, UINTN T) { return Cur()->DoGet("PiGet64", G, T, kMask64); }
BOOLEAN EFIAPI PiGetBool(CONST EFI_GUID *G, UINTN T) {
  return Cur()->DoGet("PiGetBool", G, T, kMask64) != 0 ? TRUE : FALSE;
}
EFI_STATUS EFIAPI PiSet8(CONST EFI_GUID *G, UINTN T, UINT8 V) { return Cur()->DoSet("PiSet8", G, T, V); }
EFI_STATUS EFIAPI PiSet16(CONST EFI_GUID *G, UINTN T, UINT16 V) { return Cur()->DoSet("PiSet16", G, T, V); }
EFI_STATUS EFIAPI PiSet32(CONST EFI_GUID *G, UINTN T, UINT32 V) { return Cur()->DoSet("PiSet32", G, T, V); }
EFI_STATUS EFIAPI PiSet64(CONST EFI_GUID *G, UINTN T, UINT64 V) { return Cur()->DoSet("PiSet64", G, T, V); }
EFI_STATUS EFIAPI PiSetBool(CONST EFI_GUID *G, UINTN T, BOOLEAN V) { return Cur()->DoSet("PiSetBool", G, T, V); }

}  // namespace

PcdDatabase::PcdDatabase() {
  if (gCurrent != nullptr) {
    std::fprintf(stderr, "sim::PcdDatabase: only one may be alive at a time\n");
    std::abort();
  }
  gCurrent = this;
  Protocol = {SetSku,  Get8,     Get16,     Get32,         Get64,          GetPtr,       GetBool,          GetSize,
              Get8Ex,  Get16Ex,  Get32Ex,   Get64Ex,       GetPtrEx,       GetBoolEx,    GetSizeEx,        Set8,
              Set16,   Set32,    Set64,     SetPtr,        SetBool,        Set8Ex,       Set16Ex,          Set32Ex,
              Set64Ex, SetPtrEx, SetBoolEx, CallbackOnSet, CancelCallback, GetNextToken, GetNextTokenSpace};
  PiProtocol = {SetSku,    PiGet8,    PiGet16,       PiGet32,        PiGet64,      GetPtrEx,
                PiGetBool, GetSizeEx, PiSet8,        PiSet16,        PiSet32,      PiSet64,
                SetPtrEx,  PiSetBool, CallbackOnSet, CancelCallback, GetNextToken, GetNextTokenSpace};
}

PcdDatabase::~PcdDatabase() { gCurrent = nullptr; }

PcdDatabase *PcdDatabase::Current() { return gCurrent; }

PcdDatabase::Key PcdDatabase::MakeKey(const EFI_GUID *Space, UINTN Token) {
  return {Space == nullptr ? std::string() : GuidText(*Space), Token};
}

void PcdDatabase::Set(UINTN Token, uint64_t Value) { Values[MakeKey(nullptr, Token)] = Value; }
void PcdDatabase::Set(const EFI_GUID &Space, UINTN Token, uint64_t Value) { Values[MakeKey(&Space, Token)] = Value; }

std::optional<uint64_t> PcdDatabase::Peek(UINTN Token) const {
  auto It = Values.find(MakeKey(nullptr, Token));
  return It == Values.end() ? std::nullopt : std::optional<uint64_t>(It->second);
}

std::optional<uint64_t> PcdDatabase::Peek(const EFI_GUID &Space, UINTN Token) const {
  auto It = Values.find(MakeKey(&Space, Token));
  return It == Values.end() ? std::nullopt : std::optional<uint64_t>(It->second);
}

void PcdDatabase::Install(Firmware &Fw, bool Pcd, bool PiPcd) {
  if (Pcd) {
    Fw.InstallProtocol(gPcdProtocolGuid, &Protocol);
  }
  if (PiPcd) {
    Fw.InstallProtocol(gEfiPcdProtocolGuid, &PiProtocol);
  }
}

uint64_t PcdDatabase::DoGet(const char *Accessor, const EFI_GUID *Space, UINTN Token, uint64_t Mask) {
  const bool HasGuid = Accessor[0] == 'P' || std::string_view(Accessor).ends_with("Ex");
  if (HasGuid && Space == nullptr) {
    ViolationLog.push_back(std::string(Accessor) + " with a null token-space GUID");
  }
  auto It = Values.find(MakeKey(Space, Token));
  const bool Known = It != Values.end();
  const uint64_t Value = Known ? It->second & Mask : 0;
  CallLog.push_back({Accessor, HasGuid, Space ? *Space : EFI_GUID{}, Token, Value, Known});
  return Value;
}

EFI_STATUS PcdDatabase::DoSet(const char *Accessor, const EFI_GUID *Space, UINTN Token, uint64_t Value) {
  const bool HasGuid = Accessor[0] == 'P' || std::string_view(Accessor).ends_with("Ex");
  auto It = Values.find(MakeKey(Space, Token));
  const bool Known = It != Values.end();
  if (Known) {
    It->second = Value;
  }
  CallLog.push_back({Accessor, HasGuid, Space ? *Space : EFI_GUID{}, Token, Value, Known});
  return Known ? EFI_SUCCESS : EFI_NOT_FOUND;
}

void PcdDatabase::Unsupported(const char *Accessor) {
  CallLog.push_back({Accessor, false, EFI_GUID{}, 0, 0, false});
  ViolationLog.push_back(std::string("unsupported PCD accessor ") + Accessor);
}

}  // namespace sim
