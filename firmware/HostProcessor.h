// Host backend of the processor primitives.
//
// In the host build the driver image is a shared object; its processor
// primitives forward every access, in order and at its exact width, to the
// machine model that the loader attaches right after loading the image.
// Nothing here is part of the EFI image.
#pragma once

#include "firmware/Uefi.h"

extern "C" {

struct HOST_PROCESSOR_OPS {
  // Width is the access size in bytes: 1, 2 or 4 (8 for MSRs).
  UINT32 (*PortRead)(VOID *Context, UINT16 Port, UINT8 Width);
  VOID (*PortWrite)(VOID *Context, UINT16 Port, UINT8 Width, UINT32 Value);
  UINT64 (*MsrRead)(VOID *Context, UINT32 Index);
  VOID (*Cpuid)(VOID *Context, UINT32 Leaf, UINT32 Subleaf, UINT32 Out[4]);
  UINT16 (*SimulatorQuery)(VOID *Context, UINT32 Ecx);
  UINT64 (*TscRead)(VOID *Context);
  VOID (*SpinPause)(VOID *Context);
  UINT32 (*PhysRead)(VOID *Context, UINT64 Address, UINT8 Width);
  VOID (*PhysWrite)(VOID *Context, UINT64 Address, UINT8 Width, UINT32 Value);
};

// Exported by the host image; the loader calls it once before ImageEntry.
VOID HostProcessorAttach(const HOST_PROCESSOR_OPS *Ops, VOID *Context);
typedef VOID (*HOST_PROCESSOR_ATTACH)(const HOST_PROCESSOR_OPS *Ops, VOID *Context);

}  // extern "C"
