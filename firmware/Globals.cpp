// Module globals of the firmware layer.
#include "firmware/Firmware.h"

extern "C" {
EFI_SYSTEM_TABLE *mSystemTable;
EFI_BOOT_SERVICES *mBootServices;
EFI_S3_SAVE_STATE_PROTOCOL *mS3SaveState;
}
