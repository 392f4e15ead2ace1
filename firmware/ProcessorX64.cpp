// Processor primitives of the EFI image: each one executes its instruction
// directly. Every access is a single instruction of exactly the stated
// width, and each asm statement is a compiler barrier, so nothing is merged,
// split, cached or moved across a neighbouring access.
//
// This file is part of the image only; the host build forwards the same
// primitives to its machine model instead.
#include "firmware/Firmware.h"

#if !defined(__x86_64__) || !defined(_WIN64)
#error "The image backend assumes x86-64 and the UEFI (Microsoft x64) calling convention"
#endif

extern "C" {

UINT8 PortRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

VOID PortWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

VOID PortWrite16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

VOID PortWrite32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

UINT64 MsrRead(UINT32 Index) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index) : "memory");
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID CpuidRead(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  UINT32 A = Leaf;
  UINT32 B;
  UINT32 C = Leaf;
  UINT32 D;
  __asm__ __volatile__("cpuid" : "+a"(A), "=b"(B), "+c"(C), "=d"(D) : : "memory");
  if (Eax != nullptr) {
    *Eax = A;
  }
  if (Ebx != nullptr) {
    *Ebx = B;
  }
  if (Ecx != nullptr) {
    *Ecx = C;
  }
  if (Edx != nullptr) {
    *Edx = D;
  }
}

// The simulator query. The argument arrives in ECX (first argument of the
// calling convention) and enters CPUID untouched. Every register and flag
// the query changes besides the result in AX is saved and restored here,
// the caller-saved ones included, so the query is invisible to its caller.
__attribute__((naked)) UINT16 SimulatorQuery(UINT32) {
  __asm__ __volatile__(
      "pushfq\n\t"
      "pushq %rbx\n\t"
      "pushq %rcx\n\t"
      "pushq %rdx\n\t"
      "pushq %rsi\n\t"
      "xorl %esi, %esi\n\t"
      "movl $0xBACCD00B, %eax\n\t"
      "movl $2, %ebx\n\t"
      "cpuid\n\t"
      "movzwl %si, %eax\n\t"
      "popq %rsi\n\t"
      "popq %rdx\n\t"
      "popq %rcx\n\t"
      "popq %rbx\n\t"
      "popfq\n\t"
      "retq\n\t");
}

UINT64 TscRead(VOID) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High) : : "memory");
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID SpinPause(VOID) { __asm__ __volatile__("pause" : : : "memory"); }

UINT8 PhysRead8(UINT64 Address) {
  UINT8 Value;
  __asm__ __volatile__("movb (%1), %0" : "=q"(Value) : "r"(Address) : "memory");
  return Value;
}

UINT16 PhysRead16(UINT64 Address) {
  UINT16 Value;
  __asm__ __volatile__("movw (%1), %0" : "=r"(Value) : "r"(Address) : "memory");
  return Value;
}

UINT32 PhysRead32(UINT64 Address) {
  UINT32 Value;
  __asm__ __volatile__("movl (%1), %0" : "=r"(Value) : "r"(Address) : "memory");
  return Value;
}

VOID PhysWrite8(UINT64 Address, UINT8 Value) {
  __asm__ __volatile__("movb %0, (%1)" : : "q"(Value), "r"(Address) : "memory");
}

VOID PhysWrite16(UINT64 Address, UINT16 Value) {
  __asm__ __volatile__("movw %0, (%1)" : : "r"(Value), "r"(Address) : "memory");
}

VOID PhysWrite32(UINT64 Address, UINT32 Value) {
  __asm__ __volatile__("movl %0, (%1)" : : "r"(Value), "r"(Address) : "memory");
}

}  // extern "C"
