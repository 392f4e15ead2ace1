// The table of debug output channels and the start-up step that initialises
// the channels that ask for it.
#include "diag/Diag.h"

extern "C" {

BOOLEAN ChannelCheckFalse(VOID) { return FALSE; }

VOID ChannelNoInit(VOID) {}

const OUTPUT_CHANNEL PostPortChannel = {ChannelCheckFalse, ChannelNoInit, ChannelCheckFalse, PostPortPrint};
const OUTPUT_CHANNEL SerialChannel = {ChannelCheckFalse, ChannelNoInit, ChannelCheckFalse, SerialPrint};
const OUTPUT_CHANNEL RamBufferChannel = {ChannelCheckFalse, RamBufferInit, ChannelCheckFalse, RamBufferPrint};

const OUTPUT_CHANNEL *const OutputChannelTable[] = {&PostPortChannel, &SerialChannel, &RamBufferChannel, nullptr};
// The init walk uses an 8-bit index.
static_assert(sizeof(OutputChannelTable) / sizeof(OutputChannelTable[0]) <= 256);

BOOLEAN AnyChannelInitCheckIn(const OUTPUT_CHANNEL *const *Table) {
  BOOLEAN Any = FALSE;
  // Every channel is asked; the first yes does not end the walk.
  for (UINTN Index = 0; Table[Index] != nullptr; Index++) {
    if (Table[Index]->InitCheck()) {
      Any = TRUE;
    }
  }
  return Any;
}

VOID InitOutputChannelsIn(const OUTPUT_CHANNEL *const *Table) {
  if (!AnyChannelInitCheckIn(Table)) {
    return;
  }
  for (UINT8 Index = 0; Table[Index] != nullptr; Index++) {
    if (Table[Index]->InitCheck()) {
      Table[Index]->Init();
    }
  }
}

BOOLEAN AnyChannelInitCheck(VOID) { return AnyChannelInitCheckIn(OutputChannelTable); }

VOID InitOutputChannels(VOID) { InitOutputChannelsIn(OutputChannelTable); }

}  // extern "C"
