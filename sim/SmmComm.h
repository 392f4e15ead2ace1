// The SMM Communication protocol (EFI_SMM_COMMUNICATION_PROTOCOL) of this
// platform, with the SMM handler registered for TevS3SmmHandlerGuid that
// takes over the private resume table at ready-to-boot.
//
// The platform owns one communicate buffer (its address is PCD 0x27001 of
// the Tev token space). During Communicate the handler checks the buffer
// (the platform's buffer, at least 40 bytes, the handler GUID, a 16-byte
// message with command 1 and the address of the shared record), checks that
// the record and the table are live runtime-services-data pool blocks, and
// copies the record and the whole table block, since the driver releases the
// table as soon as Communicate returns. What it received stays here for
// inspection and for replay onto the machine (S3Replay.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "firmware/Uefi.h"
#include "s3save/S3Save.h"
#include "sim/S3SaveState.h"
#include "sim/TableDecoder.h"

namespace sim {

class Firmware;

class SmmCommunication {
 public:
  // One Communicate call.
  struct Delivery {
    std::array<uint8_t, sizeof(TEV_S3_COMMUNICATE_BUFFER)> Message{};  // first 40 bytes as they arrived
    UINTN CommSize = 0;                                                // *CommSize on entry (0 when null)
    EFI_STATUS Status = EFI_SUCCESS;                                   // what Communicate returned
    std::string Error;  // why the handler refused it; empty when accepted
    bool Accepted = false;
    uint64_t PrivateAddress = 0;
    TEV_S3_LIB_PRIVATE_DATA Private{};  // the shared record as it was
    uint64_t TableAddress = 0;
    std::vector<uint8_t> Table;  // the whole table block (size + 4 bytes)
    TableDecodeResult Decoded;
    // The records as resume-script entries, in table order. Op codes other
    // than the four the driver produces are listed in Unknown instead.
    std::vector<ScriptEntry> Script;
    std::vector<uint16_t> Unknown;
  };

  // Only one SmmCommunication may be alive at a time.
  SmmCommunication();
  ~SmmCommunication();
  SmmCommunication(const SmmCommunication &) = delete;
  SmmCommunication &operator=(const SmmCommunication &) = delete;
  static SmmCommunication *Current();

  // Installs the protocol into Fw, as the SMM core's DXE side does.
  void Install(Firmware &Fw);
  EFI_SMM_COMMUNICATION_PROTOCOL *Protocol() { return &Instance; }

  // The platform's communicate buffer; PCD 0x27001 holds its address.
  uint8_t *CommBuffer() { return Buffer.data(); }
  uint64_t CommBufferAddress() const { return reinterpret_cast<uint64_t>(Buffer.data()); }
  size_t CommBufferSize() const { return Buffer.size(); }

  const std::vector<Delivery> &Deliveries() const { return Received; }
  // The last accepted delivery, or null.
  const Delivery *LastAccepted() const;

  // Communicate's implementation.
  EFI_STATUS DoCommunicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize);

 private:
  EFI_SMM_COMMUNICATION_PROTOCOL Instance{};
  alignas(8) std::array<uint8_t, 64> Buffer{};
  std::vector<Delivery> Received;
};

}  // namespace sim
