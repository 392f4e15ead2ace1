// The platform's PCD database: the dynamic PCD protocol (default token
// space) and the PI PCD protocol (token space by GUID), either of which can
// be left out of a platform.
//
// Values are kept as 64-bit numbers; a narrower accessor returns the low
// bits. Every accessor call is logged in order. A token that was never set
// reads 0 and is logged as unknown; setting it fails with EFI_NOT_FOUND.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firmware/Uefi.h"

namespace sim {

class Firmware;

class PcdDatabase {
 public:
  struct Call {
    std::string Accessor;  // "Get8", "Get64Ex", "PiGet64", "Set64", ...
    bool HasGuid;
    EFI_GUID Guid;  // token space of the Ex and PI accessors
    UINTN Token;
    uint64_t Value;  // value returned or set
    bool Known;      // false for a token that was never set
  };

  // Only one PcdDatabase may be alive at a time.
  PcdDatabase();
  ~PcdDatabase();
  PcdDatabase(const PcdDatabase &) = delete;
  PcdDatabase &operator=(const PcdDatabase &) = delete;

  // Back doors: define or read a token without logging.
  void Set(UINTN Token, uint64_t Value);
  void Set(const EFI_GUID &Space, UINTN Token, uint64_t Value);
  std::optional<uint64_t> Peek(UINTN Token) const;
  std::optional<uint64_t> Peek(const EFI_GUID &Space, UINTN Token) const;

  // Installs PCD_PROTOCOL (gPcdProtocolGuid) and/or EFI_PCD_PROTOCOL
  // (gEfiPcdProtocolGuid) into Fw, as the PCD driver would.
  void Install(Firmware &Fw, bool Pcd = true, bool PiPcd = true);
  PCD_PROTOCOL *PcdProtocol() { return &Protocol; }
  EFI_PCD_PROTOCOL *PiPcdProtocol() { return &PiProtocol; }

  const std::vector<Call> &Calls() const { return CallLog; }
  void ClearCalls() { CallLog.clear(); }
  // Calls of accessors this model does not offer (pointer tokens,
  // callbacks, token enumeration).
  const std::vector<std::string> &Violations() const { return ViolationLog; }

  // Accessor implementations (the EFIAPI statics forward here).
  uint64_t DoGet(const char *Accessor, const EFI_GUID *Space, UINTN Token, uint64_t Mask);
  EFI_STATUS DoSet(const char *Accessor, const EFI_GUID *Space, UINTN Token, uint64_t Value);
  void Unsupported(const char *Accessor);
  static PcdDatabase *Current();

 private:
  using Key = std::pair<std::string, UINTN>;  // token-space GUID text ("" = default), token
  static Key MakeKey(const EFI_GUID *Space, UINTN Token);

  std::map<Key, uint64_t> Values;
  std::vector<Call> CallLog;
  std::vector<std::string> ViolationLog;
  PCD_PROTOCOL Protocol{};
  EFI_PCD_PROTOCOL PiProtocol{};
};

}  // namespace sim
