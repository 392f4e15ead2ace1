// Test points: the marked code on port 0x80 at the configured width, the
// trace line, and the hub scratch-register mirror.
#include <gmock/gmock.h>

#include "tests/DiagFixture.h"

namespace {

using namespace diagtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TestPointTest : public DiagFixture {
 protected:
  void SetUp() override {
    DiagFixture::SetUp();
    AttachFirmware();
  }
  void Post(UINT32 Code) {
    RunDriver([&] { PIRN_SYMBOL(Img(), PostTestPoint)(Code); });
  }
};

struct WidthCase {
  UINT8 Width;
  Access Expected;
};

class TestPointWidthTest : public TestPointTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(TestPointWidthTest, WritesPortEightyAtTheConfiguredWidth) {
  Config().TestPointPortEnable = 1;
  Config().TestPointPortWidth = GetParam().Width;
  Config().TestPointPort = 0x1234;  // not consulted: the port is always 0x80
  Post(0xA902);

  EXPECT_THAT(ProcessorAccesses(), ElementsAre(GetParam().Expected));
  EXPECT_THAT(Trace().Texts(FilterTestPoint), ElementsAre("KORVU_TP:[B000A902]\n"));
}

INSTANTIATE_TEST_SUITE_P(Widths, TestPointWidthTest,
                         ::testing::Values(WidthCase{1, PortOut(1, 0x80, 0x02)},        //
                                           WidthCase{0x81, PortOut(1, 0x80, 0x02)},     //
                                           WidthCase{2, PortOut(2, 0x80, 0xA902)},      //
                                           WidthCase{0x82, PortOut(2, 0x80, 0xA902)},   //
                                           WidthCase{0, PortOut(4, 0x80, 0xB000A902)},  //
                                           WidthCase{3, PortOut(4, 0x80, 0xB000A902)},  //
                                           WidthCase{4, PortOut(4, 0x80, 0xB000A902)},  //
                                           WidthCase{0x83, PortOut(4, 0x80, 0xB000A902)}));

TEST_F(TestPointTest, CodeAA55IsPostedInBothHalves) {
  Config().TestPointPortEnable = 1;
  Config().TestPointPortWidth = 3;
  Post(0xAA55);
  EXPECT_THAT(ProcessorAccesses(), ElementsAre(PortOut(4, 0x80, 0xAA55AA55)));
  EXPECT_THAT(Trace().Texts(FilterTestPoint), ElementsAre("KORVU_TP:[AA55AA55]\n"));
}

TEST_F(TestPointTest, AllZeroConfigurationOnlyTraces) {
  Post(0xA903);
  EXPECT_THAT(ProcessorAccesses(), IsEmpty());
  EXPECT_THAT(Trace().Texts(FilterTestPoint), ElementsAre("KORVU_TP:[B000A903]\n"));
}

struct MirrorCase {
  BOOLEAN TestPointMirror;
  BOOLEAN ScratchMirror;
  UINT8 Select;
  UINT8 SelectAlt;
  bool Mirrors;
};

class MirrorTest : public TestPointTest, public ::testing::WithParamInterface<MirrorCase> {};

TEST_P(MirrorTest, MirrorsOnlyForSelectorTwoOrThree) {
  const MirrorCase &C = GetParam();
  Config().TestPointMirrorEnable = C.TestPointMirror;
  Config().ScratchMirrorEnable = C.ScratchMirror;
  Config().ScratchMirrorSelect = C.Select;
  Config().ScratchMirrorSelectAlt = C.SelectAlt;
  Config().ScratchMirrorRegister = 0x13B102F0;
  Post(0xA93E);

  if (C.Mirrors) {
    // Physical 0xE00000B8 and 0xE00000BC: the index and data registers of
    // bus 0, device 0, function 0 in the configuration window.
    EXPECT_THAT(WindowAndProcessorAccesses(),
                ElementsAre(CfgOut(4, 0xB8, 0x13B102F0),    // index, written directly: not read first
                            CfgOut(4, 0xBC, 0xB000A93E)));  // data: the posted value; index not restored
  } else {
    EXPECT_THAT(WindowAndProcessorAccesses(), IsEmpty());
  }
  EXPECT_THAT(Trace().Texts(FilterTestPoint), ElementsAre("KORVU_TP:[B000A93E]\n"));
}

INSTANTIATE_TEST_SUITE_P(Selectors, MirrorTest,
                         ::testing::Values(MirrorCase{1, 1, 2, 0, true},         //
                                           MirrorCase{1, 1, 3, 0, true},         //
                                           MirrorCase{1, 1, 0x0F, 3, true},      //
                                           MirrorCase{1, 1, 0x0F, 2, true},      //
                                           MirrorCase{1, 1, 0x0F, 0x0F, false},  //
                                           MirrorCase{1, 1, 1, 2, false},        //
                                           MirrorCase{1, 1, 4, 3, false},        //
                                           MirrorCase{1, 0, 2, 0, false},        // scratch mirror off
                                           MirrorCase{0, 1, 3, 0, false}));      // test-point mirror off

}  // namespace
