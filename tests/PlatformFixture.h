// Test fixture: a default platform with one loaded (not started) driver
// image. TearDown fails the test when any model piece saw a violation.
//
// Override Options() to change the platform before it is built:
//   class NoPcd : public PlatformFixture {
//     sim::PlatformOptions Options() const override { auto O = PlatformFixture::Options(); O.Pcd = false; return O; }
//   };
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

#include "sim/Platform.h"

class PlatformFixture : public ::testing::Test {
 protected:
  virtual sim::PlatformOptions Options() const { return {}; }

  void SetUp() override { Plat = sim::MakeDefaultPlatform(Options()); }

  void TearDown() override {
    if (Plat) {
      for (const auto &V : Plat->Violations()) {
        ADD_FAILURE() << "model violation: " << V;
      }
    }
    Plat.reset();
  }

  sim::Platform &P() { return *Plat; }
  sim::Machine &M() { return Plat->machine; }
  sim::Firmware &Fw() { return Plat->firmware; }
  sim::PcdDatabase &Pcd() { return Plat->pcd; }
  sim::DebugPrint &Trace() { return Plat->debugPrint; }
  sim::DriverImage &Img(size_t Index = 0) { return Plat->Image(Index); }

  // Starts image 0 and expects it to run to completion.
  EFI_STATUS Boot(size_t Index = 0) {
    EFI_STATUS Status = Plat->StartDriver(Index);
    EXPECT_EQ(M().LastStop().Reason, sim::StopReason::None) << M().LastStop().Message;
    return Status;
  }

  // The log entries of the given kinds, e.g. Accesses({PortWrite}).
  std::vector<sim::Access> Accesses(std::initializer_list<sim::AccessKind> Kinds) const {
    return Plat->machine.LogOf(Kinds);
  }

  std::unique_ptr<sim::Platform> Plat;
};
