// Resume-script recorder: files each hardware write that must be replayed
// on S3 resume through the S3 Save State service until the SMM ready-to-lock
// point, and into the private resume table afterwards.
#include "diag/Diag.h"
#include "s3save/S3Save.h"

namespace {

inline constexpr UINT64 FourGiB = 0x100000000ULL;
inline constexpr UINT32 PciAddressOffsetMask = 0x0FFFFFFF;
inline constexpr UINTN SaveStateCount = 1;
inline constexpr UINTN PollWidth = EfiBootScriptWidthUint32;

// The table path is taken once the shared record says the script is locked.
// Without a shared record nothing can have locked it.
bool TablePath() { return mTevS3LibPrivateData != nullptr && mTevS3LibPrivateData->ScriptLocked != 0; }

UINT8 SaveStateResult(EFI_STATUS Status) { return Status == EFI_SUCCESS ? S3Success : S3Failure; }

// A segment-0 address is recorded at its place in the memory-mapped window
// when there is a window below 4 GiB. With the window disabled (base 0) the
// bare offset would name ordinary memory, so the PCI form is used instead.
bool WindowForm(UINT32 PciAddress) {
  return mPcieCfgBase != 0 && mPcieCfgBase < FourGiB && PciAddressSegment(PciAddress) == 0;
}

UINT64 WindowAddress(UINT32 PciAddress) { return mPcieCfgBase + (PciAddress & PciAddressOffsetMask); }

}  // namespace

extern "C" {

UINT64 S3ValueByWidth(ACCESS_WIDTH Width, const VOID *Value) {
  switch (Width) {
    case AccessWidth8:
      return *static_cast<const UINT8 *>(Value);
    case AccessWidth16:
      return *static_cast<const UINT16 *>(Value);
    case AccessWidth32:
      return *static_cast<const UINT32 *>(Value);
    case AccessWidth64:
      return *static_cast<const UINT64 *>(Value);
    default:
      AssertSite(AssertS3ValueWidth);
      return 0;
  }
}

UINT32 S3ScriptWidth(ACCESS_WIDTH Width) {
  switch (Width) {
    case AccessWidth8:
      return EfiBootScriptWidthUint8;
    case AccessWidth16:
      return EfiBootScriptWidthUint16;
    case AccessWidth32:
      return EfiBootScriptWidthUint32;
    case AccessWidth64:
      return EfiBootScriptWidthUint64;
    default:
      AssertSite(AssertS3ScriptWidth);
      return EfiBootScriptWidthUint8;
  }
}

UINT8 S3RecordMemWrite(ACCESS_WIDTH Width, UINT64 Address, const VOID *Value) {
  if (TablePath()) {
    const UINT64 Data = S3ValueByWidth(Width, Value);
    const UINT32 ScriptWidth = S3ScriptWidth(Width);
    return S3TableAppend(S3OpMemWrite, ScriptWidth, Address, Data);
  }
  const UINTN ScriptWidth = S3ScriptWidth(Width);
  if (mS3SaveState == nullptr) {
    return S3Failure;
  }
  return SaveStateResult(
      mS3SaveState->Write(mS3SaveState, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE, ScriptWidth, Address, SaveStateCount, Value));
}

UINT8 S3RecordMemPoll(UINT64 Address, const UINT32 *Data, const UINT32 *Mask) {
  if (TablePath()) {
    return S3TableAppend(S3OpMemPoll, PollWidth, Address, *Data, *Mask, S3MemPollDelay);
  }
  if (mS3SaveState == nullptr) {
    return S3Failure;
  }
  return SaveStateResult(mS3SaveState->Write(mS3SaveState, EFI_BOOT_SCRIPT_MEM_POLL_OPCODE, PollWidth, Address, Data,
                                             Mask, S3MemPollSaveState));
}

UINT8 S3RecordPciWrite(ACCESS_WIDTH Width, UINT32 PciAddress, const VOID *Value) {
  if (WindowForm(PciAddress)) {
    return S3RecordMemWrite(Width, WindowAddress(PciAddress), Value);
  }
  const UINTN Segment = PciAddressSegment(PciAddress);
  const UINT64 ScriptAddress = BootScriptPciAddress(PciAddress);
  if (TablePath()) {
    const UINT64 Data = S3ValueByWidth(Width, Value);
    const UINT32 ScriptWidth = S3ScriptWidth(Width);
    return S3TableAppend(S3OpPciWrite, ScriptWidth, Segment, ScriptAddress, Data);
  }
  const UINTN ScriptWidth = S3ScriptWidth(Width);
  if (mS3SaveState == nullptr) {
    return S3Failure;
  }
  return SaveStateResult(mS3SaveState->Write(mS3SaveState, EFI_BOOT_SCRIPT_PCI_CONFIG2_WRITE_OPCODE, ScriptWidth,
                                             Segment, ScriptAddress, SaveStateCount, Value));
}

UINT8 S3RecordPciPoll(UINT32 PciAddress, const UINT32 *Data, const UINT32 *Mask) {
  if (WindowForm(PciAddress)) {
    return S3RecordMemPoll(WindowAddress(PciAddress), Data, Mask);
  }
  const UINTN Segment = PciAddressSegment(PciAddress);
  const UINT64 ScriptAddress = BootScriptPciAddress(PciAddress);
  if (TablePath()) {
    return S3TableAppend(S3OpPciPoll, PollWidth, Segment, ScriptAddress, *Data, *Mask, S3PciPollDelay);
  }
  if (mS3SaveState == nullptr) {
    return S3Failure;
  }
  return SaveStateResult(mS3SaveState->Write(mS3SaveState, EFI_BOOT_SCRIPT_PCI_CONFIG2_POLL_OPCODE, PollWidth, Segment,
                                             ScriptAddress, Data, Mask, S3PciPollDelay));
}

}  // extern "C"
