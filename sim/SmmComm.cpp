// The SMM Communication protocol model and the resume-table handler.
#include "sim/SmmComm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "firmware/Firmware.h"
#include "sim/Firmware.h"
#include "sim/S3Replay.h"

namespace sim {

namespace {

SmmCommunication *LiveSmm = nullptr;

EFI_STATUS EFIAPI SmmCommunicate(IN CONST EFI_SMM_COMMUNICATION_PROTOCOL *This, IN OUT VOID *CommBuffer,
                                 IN OUT UINTN *CommSize) {
  return LiveSmm->DoCommunicate(This, CommBuffer, CommSize);
}

// The live runtime-services-data pool block that starts at Address.
std::optional<Firmware::Allocation> RuntimeBlockAt(uint64_t Address) {
  for (const Firmware::Allocation &Block : Firmware::Current()->LiveAllocations()) {
    if (reinterpret_cast<uint64_t>(Block.Buffer) == Address && Block.Type == EfiRuntimeServicesData) {
      return Block;
    }
  }
  return std::nullopt;
}

}  // namespace

SmmCommunication::SmmCommunication() {
  if (LiveSmm != nullptr) {
    std::fprintf(stderr, "sim::SmmCommunication: only one instance may be alive\n");
    std::abort();
  }
  LiveSmm = this;
  Instance.Communicate = SmmCommunicate;
}

SmmCommunication::~SmmCommunication() { LiveSmm = nullptr; }

SmmCommunication *SmmCommunication::Current() { return LiveSmm; }

void SmmCommunication::Install(Firmware &Fw) { Fw.InstallProtocol(gEfiSmmCommunicationProtocolGuid, &Instance); }

const SmmCommunication::Delivery *SmmCommunication::LastAccepted() const {
  for (auto It = Received.rbegin(); It != Received.rend(); ++It) {
    if (It->Accepted) {
      return &*It;
    }
  }
  return nullptr;
}

EFI_STATUS
SmmCommunication::DoCommunicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize) {
  Delivery &D = Received.emplace_back();
  D.CommSize = CommSize != nullptr ? *CommSize : 0;
  const auto Refuse = [&](std::string Why, EFI_STATUS Status) {
    D.Error = std::move(Why);
    D.Status = Status;
    return Status;
  };

  if (This != &Instance) {
    return Refuse("called with a foreign This", EFI_INVALID_PARAMETER);
  }
  // Only the platform's own communicate buffer is reachable from SMM.
  if (CommBuffer != Buffer.data()) {
    return Refuse("the buffer is not the platform's communicate buffer", EFI_ACCESS_DENIED);
  }
  std::memcpy(D.Message.data(), CommBuffer, D.Message.size());
  if (CommSize == nullptr || *CommSize < sizeof(TEV_S3_COMMUNICATE_BUFFER)) {
    return Refuse("communicate size below 40 bytes", EFI_BAD_BUFFER_SIZE);
  }
  TEV_S3_COMMUNICATE_BUFFER Message;
  std::memcpy(&Message, D.Message.data(), sizeof(Message));
  if (!GuidEqual(Message.HeaderGuid, gTevS3SmmHandlerGuid)) {
    return Refuse("no handler for " + GuidName(Message.HeaderGuid), EFI_NOT_FOUND);
  }
  if (Message.MessageLength != 16 || Message.Command != 1 || Message.Reserved != 0) {
    return Refuse("malformed message (length " + std::to_string(Message.MessageLength) + ", command " +
                      std::to_string(Message.Command) + ")",
                  EFI_INVALID_PARAMETER);
  }

  D.PrivateAddress = Message.PrivateData;
  const std::optional<Firmware::Allocation> Record = RuntimeBlockAt(Message.PrivateData);
  if (!Record || Record->Size < sizeof(TEV_S3_LIB_PRIVATE_DATA)) {
    return Refuse("the shared record is not a runtime-services-data block", EFI_INVALID_PARAMETER);
  }
  std::memcpy(&D.Private, Record->Buffer, sizeof(D.Private));

  D.TableAddress = D.Private.Table;
  const std::optional<Firmware::Allocation> Block = RuntimeBlockAt(D.Private.Table);
  if (!Block || Block->Size < sizeof(TEV_S3_LIB_TABLE_HEADER)) {
    return Refuse("the table is not a runtime-services-data block", EFI_INVALID_PARAMETER);
  }
  // The block length comes from the pool, not from the table: a damaged size
  // field is caught by the decoder, never followed.
  const auto *Bytes = static_cast<const uint8_t *>(Block->Buffer);
  D.Table.assign(Bytes, Bytes + Block->Size);
  D.Decoded = DecodeResumeTable(D.Table);
  if (!D.Decoded.Valid) {
    return Refuse("table refused: " + D.Decoded.Error, EFI_INVALID_PARAMETER);
  }
  if (!D.Decoded.Terminated) {
    return Refuse("table refused: no terminator", EFI_INVALID_PARAMETER);
  }
  for (const TableRecord &Record : D.Decoded.Records) {
    ScriptEntry Entry;
    if (TableRecordEntry(Record, Entry)) {
      D.Script.push_back(Entry);
    } else {
      D.Unknown.push_back(Record.OpCode);
    }
  }
  D.Accepted = true;
  D.Status = EFI_SUCCESS;
  return EFI_SUCCESS;
}

}  // namespace sim
