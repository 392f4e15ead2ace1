// Meanings of the driver's diagnostic codes, from diag/DiagCodes.h: the
// assertion sites, the test points, and the marquee a halted assertion shows
// on port 0x80. One table; `pirnsim explain` and the report read it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pirnsim {

struct AssertionInfo {
  uint32_t Code;
  const char *Name;     // the constant in diag/DiagCodes.h
  const char *Meaning;  // when the site's test fails
  const char *Then;     // what the site does when the halt returns
};

struct TestPointInfo {
  uint32_t Code;  // 16-bit code (0xAB00 stands for 0xAB00..0xABFF)
  const char *Name;
  const char *Meaning;
};

const std::vector<AssertionInfo> &AssertionTable();
const std::vector<TestPointInfo> &TestPointTable();

// Source file of an assertion's file code ("mailbox service"), or null.
const char *FileCodeName(uint32_t FileCode);
// The site line of an assertion code: its low 16 bits read as four BCD
// digits (0x0227 gives 227); -1 when they are not BCD.
int AssertionLine(uint32_t Code);

const AssertionInfo *FindAssertion(uint32_t Code);
// A 16-bit code: an exact entry, or the message test point 0xABxx.
const TestPointInfo *FindTestPoint(uint32_t Code);

// The six 32-bit windows that a halted assertion shows in turn on port 0x80.
std::vector<uint32_t> MarqueeWindows(uint32_t Code);

// Every reading of Value, one paragraph each: an assertion code, a posted
// test-point value or a test-point code, a marquee window (with the
// assertion codes it belongs to), a whole 64-bit marquee value. Empty when
// none fits.
std::vector<std::string> Explain(uint64_t Value);
// One line for a port-0x80 value seen in a report ("test point 0xA902:
// driver entry, first step"), or "" when it means nothing known.
std::string PostCodeMeaning(uint32_t Value);

}  // namespace pirnsim
