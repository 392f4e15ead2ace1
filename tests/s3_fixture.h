// Shared set-up of the resume-library tests: driver images prepared for
// direct calls of the library (the firmware tables as the first start-up
// step leaves them), with back doors onto the shared record and the table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PlatformFixture.h"
#include "diag/Diag.h"
#include "firmware/Firmware.h"
#include "s3save/S3Save.h"

class S3Fixture : public PlatformFixture {
 protected:
  // What the first start-up step leaves in image Index: the system table,
  // the boot services and the located S3 Save State protocol (or null).
  void Attach(size_t Index = 0) {
    *PIRN_SYMBOL(Img(Index), mSystemTable) = Fw().SystemTable();
    *PIRN_SYMBOL(Img(Index), mBootServices) = Fw().BootServices();
    *PIRN_SYMBOL(Img(Index), mS3SaveState) = Options().S3SaveState ? P().s3SaveState.Protocol() : nullptr;
  }

  // The configuration that the diagnostics constructor loads later: with it
  // a failed assertion site calls AssertHalt, which returns under the
  // simulator after its port writes.
  void EnableAssertions(size_t Index = 0) { PIRN_SYMBOL(Img(Index), DiagConfig)->AssertEnable = 1; }

  // The accesses of one assertion site that fires under the simulator.
  static std::vector<sim::Access> AssertionAccesses(UINT32 Code) {
    return {
        {sim::AccessKind::PortWrite, 2, 0xE0, 0xDEAD},  // mark
        {sim::AccessKind::PortWrite, 4, 0x80, Code},    // the code
        {sim::AccessKind::SimulatorQuery, 2, Code, 1},  // a simulator answers: the halt returns
    };
  }
  static std::vector<sim::Access> Concat(std::vector<sim::Access> A, const std::vector<sim::Access> &B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
  }

  // Calls Fn under the machine's guard and expects it to return.
  template <class Fn>
  void Call(Fn &&F) {
    ASSERT_TRUE(P().Run(F)) << M().LastStop().Message;
  }

  EFI_STATUS Construct(size_t Index = 0) {
    EFI_STATUS Status = EFI_ABORTED;
    Call([&] { Status = PIRN_SYMBOL(Img(Index), TevS3SaveLibConstructor)(Img(Index).Handle(), Fw().SystemTable()); });
    return Status;
  }
  EFI_STATUS Destruct(size_t Index = 0) {
    EFI_STATUS Status = EFI_ABORTED;
    Call([&] { Status = PIRN_SYMBOL(Img(Index), TevS3SaveLibDestructor)(); });
    return Status;
  }
  UINT8 Append(UINT16 OpCode, UINT64 O1 = 0, UINT64 O2 = 0, UINT64 O3 = 0, UINT64 O4 = 0, UINT64 O5 = 0, UINT64 O6 = 0,
               size_t Index = 0) {
    UINT8 Status = 0xEE;
    Call([&] { Status = PIRN_SYMBOL(Img(Index), S3TableAppend)(OpCode, O1, O2, O3, O4, O5, O6); });
    return Status;
  }

  // Back doors onto the shared state, as published through the PCD database.
  TEV_S3_LIB_PRIVATE_DATA *Shared() { return reinterpret_cast<TEV_S3_LIB_PRIVATE_DATA *>(*Pcd().Peek(1345)); }
  TEV_S3_LIB_PRIVATE_DATA *ImagePrivate(size_t Index = 0) { return *PIRN_SYMBOL(Img(Index), mTevS3LibPrivateData); }
  UINT8 *Table() { return reinterpret_cast<UINT8 *>(Shared()->Table); }
  TEV_S3_LIB_TABLE_HEADER *Header() { return reinterpret_cast<TEV_S3_LIB_TABLE_HEADER *>(Table()); }
  // The whole block: table size + 4 bytes of end marker.
  std::vector<UINT8> TableBlock() { return {Table(), Table() + Header()->TableSize + 4}; }
  uint64_t Read(UINT64 Offset, unsigned Bytes) {
    uint64_t Value = 0;
    std::memcpy(&Value, Table() + Offset, Bytes);
    return Value;
  }
  void Write(UINT64 Offset, uint64_t Value, unsigned Bytes) { std::memcpy(Table() + Offset, &Value, Bytes); }

  std::vector<std::string> Flow() { return Trace().Texts(FilterFlow); }
  // The PCD calls made since the last Forget, as "Get64 1345".
  std::vector<std::string> PcdOrder() {
    std::vector<std::string> Order;
    for (const auto &C : Pcd().Calls()) {
      Order.push_back(C.Accessor + " " + std::to_string(C.Token));
    }
    return Order;
  }
  // Forget what set-up did: access log, trace lines, firmware and PCD calls.
  void Forget() {
    M().ClearLog();
    Trace().Clear();
    Fw().ClearCalls();
    Pcd().ClearCalls();
  }
};
