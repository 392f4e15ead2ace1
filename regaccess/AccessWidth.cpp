// Byte count of an access-width code.
#include "diag/Diag.h"
#include "regaccess/RegAccess.h"

extern "C" {

UINT8 AccessWidthBytes(ACCESS_WIDTH Width) {
  switch (Width) {
    case AccessWidth8:
    case AccessWidth8 | AccessWidthRecordFlag:
      return 1;
    case AccessWidth16:
    case AccessWidth16 | AccessWidthRecordFlag:
      return 2;
    case AccessWidth32:
    case AccessWidth32Recorded:
      return 4;
    case AccessWidth64:
    case AccessWidth64 | AccessWidthRecordFlag:
      return 8;
    default:
      AssertSite(AssertAccessWidthBytes);
      return 0;
  }
}

}  // extern "C"
