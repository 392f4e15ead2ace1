// Host backend of the processor primitives: every access goes, unchanged in
// order and width, to the machine model attached by the image loader.
#include "firmware/Firmware.h"
#include "firmware/HostProcessor.h"

namespace {
const HOST_PROCESSOR_OPS *mHostOps;
VOID *mHostContext;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) VOID HostProcessorAttach(const HOST_PROCESSOR_OPS *Ops, VOID *Context) {
  mHostOps = Ops;
  mHostContext = Context;
}

UINT8 PortRead8(UINT16 Port) { return static_cast<UINT8>(mHostOps->PortRead(mHostContext, Port, 1)); }
VOID PortWrite8(UINT16 Port, UINT8 Value) { mHostOps->PortWrite(mHostContext, Port, 1, Value); }
VOID PortWrite16(UINT16 Port, UINT16 Value) { mHostOps->PortWrite(mHostContext, Port, 2, Value); }
VOID PortWrite32(UINT16 Port, UINT32 Value) { mHostOps->PortWrite(mHostContext, Port, 4, Value); }

UINT64 MsrRead(UINT32 Index) { return mHostOps->MsrRead(mHostContext, Index); }

VOID CpuidRead(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  UINT32 Out[4] = {0, 0, 0, 0};
  mHostOps->Cpuid(mHostContext, Leaf, Leaf, Out);
  if (Eax != nullptr) {
    *Eax = Out[0];
  }
  if (Ebx != nullptr) {
    *Ebx = Out[1];
  }
  if (Ecx != nullptr) {
    *Ecx = Out[2];
  }
  if (Edx != nullptr) {
    *Edx = Out[3];
  }
}

UINT16 SimulatorQuery(UINT32 Ecx) { return mHostOps->SimulatorQuery(mHostContext, Ecx); }

UINT64 TscRead(VOID) { return mHostOps->TscRead(mHostContext); }
VOID SpinPause(VOID) { mHostOps->SpinPause(mHostContext); }

UINT8 PhysRead8(UINT64 Address) { return static_cast<UINT8>(mHostOps->PhysRead(mHostContext, Address, 1)); }
UINT16 PhysRead16(UINT64 Address) { return static_cast<UINT16>(mHostOps->PhysRead(mHostContext, Address, 2)); }
UINT32 PhysRead32(UINT64 Address) { return mHostOps->PhysRead(mHostContext, Address, 4); }
VOID PhysWrite8(UINT64 Address, UINT8 Value) { mHostOps->PhysWrite(mHostContext, Address, 1, Value); }
VOID PhysWrite16(UINT64 Address, UINT16 Value) { mHostOps->PhysWrite(mHostContext, Address, 2, Value); }
VOID PhysWrite32(UINT64 Address, UINT32 Value) { mHostOps->PhysWrite(mHostContext, Address, 4, Value); }

}  // extern "C"
