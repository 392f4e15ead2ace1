// The image backend of the processor primitives and the image runtime, run
// on a real (emulated) processor: what the host build replaces with its
// model can only be checked here.
#include "efi/smoke/Smoke.h"

namespace {

constexpr UINT16 DebugConsolePort = 0xE9;
constexpr UINT8 DebugConsoleReadback = 0xE9;  // what QEMU's debug console answers
constexpr UINT32 MsrApicBase = 0x1B;
constexpr UINT64 ApicBspFlag = 1ULL << 8;

struct REGISTERS {
  UINT64 Rbx, Rcx, Rdx, Rsi, Rdi, R8, R9, R10, R11;
};

// Calls SimulatorQuery with every general register the caller can see set to
// a known pattern and the carry flag set, and reads them all back.
UINT64 QueryWithPatterns(const REGISTERS &In, REGISTERS *Out, UINT8 *CarryAfter) {
  UINT64 Result;
  register UINT64 R8 __asm__("r8") = In.R8;
  register UINT64 R9 __asm__("r9") = In.R9;
  register UINT64 R10 __asm__("r10") = In.R10;
  register UINT64 R11 __asm__("r11") = In.R11;
  UINT64 Rbx = In.Rbx, Rcx = In.Rcx, Rdx = In.Rdx, Rsi = In.Rsi, Rdi = In.Rdi;
  UINT8 Carry;
  // lea moves the stack pointer without touching the flags.
  __asm__ __volatile__(
      "stc\n\t"
      "leaq -32(%%rsp), %%rsp\n\t"
      "call SimulatorQuery\n\t"
      "leaq 32(%%rsp), %%rsp\n\t"
      "setc %[Carry]\n\t"
      : "=a"(Result), "+b"(Rbx), "+c"(Rcx), "+d"(Rdx), "+S"(Rsi), "+D"(Rdi), "+r"(R8), "+r"(R9), "+r"(R10),
        "+r"(R11), [Carry] "=m"(Carry)
      :
      : "memory", "cc");
  *Out = {Rbx, Rcx, Rdx, Rsi, Rdi, R8, R9, R10, R11};
  *CarryAfter = Carry;
  return Result;
}

VOID CheckSimulatorQuery(VOID) {
  const REGISTERS In = {0x1111111111111111, 0x00000000000A0896, 0x3333333333333333,
                        0x4444444444444444, 0x5555555555555555, 0x6666666666666666,
                        0x7777777777777777, 0x8888888888888888, 0x9999999999999999};
  REGISTERS Out;
  UINT8 Carry = 0;
  const UINT64 Result = QueryWithPatterns(In, &Out, &Carry);
  SmokeCheck(memcmp(&In, &Out, sizeof(In)) == 0 && Carry == 1,
             "simulator query preserves RBX RCX RDX RSI RDI R8-R11 and the flags");
  SmokeCheckEqual(Result & 0xFFFF, 0, "simulator query: no simulator answers (hardware mode)");
}

VOID CheckPhysicalAccess(VOID) {
  alignas(8) volatile UINT8 Bytes[16] = {};
  const UINT64 Base = reinterpret_cast<UINT64>(&Bytes[0]);
  PhysWrite8(Base + 1, 0xAB);
  PhysWrite16(Base + 2, 0xBEEF);
  PhysWrite32(Base + 4, 0x12345678);
  static const UINT8 Expected[16] = {0, 0xAB, 0xEF, 0xBE, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0};
  BOOLEAN Same = TRUE;
  for (UINTN Index = 0; Index < sizeof(Expected); Index++) {
    Same = Same && Bytes[Index] == Expected[Index];
  }
  SmokeCheck(Same, "physical writes of 8, 16 and 32 bits touch exactly their bytes");
  SmokeCheck(PhysRead8(Base + 1) == 0xAB && PhysRead16(Base + 2) == 0xBEEF && PhysRead32(Base + 4) == 0x12345678 &&
                 PhysRead32(Base + 8) == 0,
             "physical reads of 8, 16 and 32 bits");
}

VOID CheckInstructions(VOID) {
  UINT32 MaxLeaf = 0;
  UINT32 Vendor[3] = {};
  CpuidRead(0, &MaxLeaf, &Vendor[0], &Vendor[2], &Vendor[1]);
  UINT32 Again = 0;
  CpuidRead(0, &Again, nullptr, nullptr, nullptr);
  CHAR8 Name[13] = {};
  memcpy(Name, Vendor, 12);
  BOOLEAN Printable = TRUE;
  for (UINTN Index = 0; Index < 12; Index++) {
    Printable = Printable && Name[Index] >= 0x20 && Name[Index] < 0x7F;
  }
  SmokeCheck(MaxLeaf >= 1 && Again == MaxLeaf && Printable, "CPUID leaf 0: vendor \"%a\", highest leaf 0x%x", Name,
             MaxLeaf);

  const UINT64 ApicBase = MsrRead(MsrApicBase);
  SmokeCheck((ApicBase & ApicBspFlag) != 0 && (ApicBase & 0xFFFFF000) == 0xFEE00000,
             "MSR 0x1B: boot processor, local APIC at 0xFEE00000 (0x%lx)", ApicBase);
  SmokeLog("MSR 0xC0010058 (configuration window) reads 0x%lx\n", MsrRead(MsrPciCfgWindow));

  const UINT64 First = TscRead();
  SpinPause();
  const UINT64 Second = TscRead();
  SmokeCheck(Second > First, "time-stamp counter advances");

  SmokeCheckEqual(PortRead8(DebugConsolePort), DebugConsoleReadback, "port read of the debug console");
}

VOID CheckRuntime(VOID) {
  UINT8 Bytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  memmove(Bytes + 2, Bytes, 8);  // destination above the source, overlapping
  static const UINT8 Up[12] = {1, 2, 1, 2, 3, 4, 5, 6, 7, 8, 11, 12};
  const BOOLEAN UpOk = memcmp(Bytes, Up, sizeof(Up)) == 0;
  memmove(Bytes, Bytes + 3, 8);  // destination below the source, overlapping
  static const UINT8 Down[12] = {2, 3, 4, 5, 6, 7, 8, 11, 7, 8, 11, 12};
  const BOOLEAN DownOk = memcmp(Bytes, Down, sizeof(Down)) == 0;
  memset(Bytes + 4, 0x5A, 4);
  memcpy(Bytes, "PIRN", 4);
  static const UINT8 Final[12] = {'P', 'I', 'R', 'N', 0x5A, 0x5A, 0x5A, 0x5A, 7, 8, 11, 12};
  SmokeCheck(UpOk && DownOk && memcmp(Bytes, Final, sizeof(Final)) == 0 && memcmp("A", "B", 1) < 0,
             "image runtime: memmove both ways over an overlap, memset, memcpy, memcmp");
}

}  // namespace

extern "C" VOID SmokeCheckProcessor(VOID) {
  CheckSimulatorQuery();
  CheckPhysicalAccess();
  CheckInstructions();
  CheckRuntime();
}
