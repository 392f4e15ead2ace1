// Mailbox service: passes numbered messages to a hub instance's embedded
// Qelt controller through mailbox system registers, and records the exchange
// so the resume replay sends the message again and waits for the same answer.
#include "diag/Diag.h"
#include "driver/Driver.h"
#include "regaccess/RegAccess.h"
#include "s3save/S3Save.h"

namespace {

// Reads the message register back to back until the controller shows ready;
// returns the last value read.
UINT32 QeltWaitReady(UINT32 IndexAddress) {
  UINT32 Value = 0;
  do {
    SysRegRead(IndexAddress, QeltMessageReg, &Value);
  } while ((Value & QeltReadyBit) == 0);
  return Value;
}

}  // namespace

extern "C" {

TEV_QELT_SERVICE_PROTOCOL mQeltServiceProtocol = {0, TevQeltServiceRequest};

UINT32 QeltServiceRequest(UINT32 PciAddress, UINT32 MessageId, UINT32 *Words) {
  PostTestPoint(TpQeltRequestStart);
  TracePrint(FilterHub, "QeltServiceRequest Enter\n");
  if (MessageId == QeltInvalidMessageId) {
    TracePrint(FilterHub, "QELTServiceRequest INVALID!!\n");
    return QeltStatusSuccess;
  }
  TracePrint(FilterHub, "  QELT Service Request 0x%x\n", MessageId);
  TracePrint(FilterHub, "  QELT Service Request Argument 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x\n", Words[0], Words[1],
             Words[2], Words[3], Words[4], Words[5]);

  const UINT32 IndexAddress = QeltIndexAddress(PciAddress);
  QeltWaitReady(IndexAddress);

  for (UINTN Word = 0; Word < QeltWordCount; Word++) {
    SysRegWrite(IndexAddress, QeltArgReg + 4 * static_cast<UINT32>(Word), AccessWidth32Recorded, &Words[Word]);
  }
  PostTestPoint(TpQeltMessageBase | (MessageId & 0xFF));
  const UINT32 Command = QeltCommand(MessageId);
  SysRegWrite(IndexAddress, QeltMessageReg, AccessWidth32Recorded, &Command);
  const UINT32 Doorbell = QeltDoorbellValue;
  SysRegWrite(IndexAddress, QeltDoorbellReg, AccessWidth32Recorded, &Doorbell);

  const UINT32 Answer = QeltWaitReady(IndexAddress);

  // On resume the replay selects the message register again and polls it
  // until it gives the answer seen now.
  const UINT32 MessageRegister = QeltMessageReg;
  const UINT32 FullMask = 0xFFFFFFFF;
  S3RecordPciWrite(AccessWidth32, PciAddress | HubIndexRegister, &MessageRegister);
  S3RecordPciPoll(PciAddress | HubDataRegister, &Answer, &FullMask);

  for (UINTN Word = 0; Word < QeltWordCount; Word++) {
    SysRegRead(IndexAddress, QeltArgReg + 4 * static_cast<UINT32>(Word), &Words[Word]);
  }
  if ((Answer & 0xFF) != QeltStatusSuccess) {
    TracePrint(FilterHub, "  QELT ERROR! Error ID: 0x%x\n", Words[0]);
  }
  TracePrint(FilterHub, "QeltServiceRequest Exit\n");
  PostTestPoint(TpQeltRequestEnd);
  return Answer;
}

EFI_STATUS QeltServiceInstance(const TOPOLOGY_DESCRIPTOR *Descriptor, UINT32 MessageId, UINT32 *Words,
                               UINT32 *Response) {
  if (Descriptor == nullptr) {
    // The lookup reported success without a descriptor: there is no
    // instance to address, so nothing is sent.
    AssertSite(AssertQeltNoDescriptor);
    return EFI_NOT_FOUND;
  }
  const UINT32 Answer = QeltServiceRequest(Descriptor->PciAddress, MessageId, Words);
  const UINT32 StatusByte = Answer & 0xFF;
  if (StatusByte != QeltStatusSuccess) {
    TracePrint(FilterHub, "BIOS_QELT_MSG_ID_%d, Return Status = %d\n", MessageId, StatusByte);
    return EFI_INVALID_PARAMETER;
  }
  MemCopy(Response, Words, QeltWordCount * sizeof(UINT32));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI TevQeltServiceRequest(IN TEV_QELT_SERVICE_PROTOCOL *This, IN UINT32 InstanceId, IN UINT32 MessageId,
                                        IN CONST UINT32 *Arguments, OUT UINT32 *Response) {
  (VOID) This;
  TracePrint(FilterFlow, "%a Entry\n", "TevQeltServiceRequest");
  if (Arguments == nullptr || Response == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  TOPOLOGY_DESCRIPTOR *Descriptor = nullptr;
  EFI_STATUS Status = FindInstanceDescriptor(InstanceId, &Descriptor);
  if (Status == EFI_SUCCESS) {
    // The request works on a copy, so Arguments and Response may be one
    // array and Response changes only on success.
    UINT32 Words[QeltWordCount];
    MemFill(Words, sizeof(Words), 0);
    MemCopy(Words, Arguments, sizeof(Words));
    Status = QeltServiceInstance(Descriptor, MessageId, Words, Response);
  }

  TracePrint(FilterFlow, "%a Exit Status = 0x%x\n", "TevQeltServiceRequest", Status);
  return Status;
}

}  // extern "C"
