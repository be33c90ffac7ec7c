// SpacingCave as VHud's slot layout reaches it through the patched site:
// the two x positions it moves, and every other piece of processor state it
// must leave as VHud's own nine bytes would.
#include <math.h>

#include "test_wheel_support.h"

namespace wheel {
namespace {

constexpr float kTable[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
constexpr float kFine[8] = {0.0f, 8.0f, 10.0f, 8.0f, 0.0f, -8.0f, -10.0f, -8.0f};

class Cave : public WheelTest {
 protected:
  standin::SpacingCapture Run(const standin::SpacingInput& in) {
    return standin::RunSpacingLayout(base_, in);
  }
  void Patch() {
    InstallSpacingPatch();
    ASSERT_EQ(0xE9, BytesAt(base_ + kSpacingSite + 3, 1)[0]);
  }
  // Runs every input on VHud's bytes, patches, runs them again, and compares.
  std::vector<standin::SpacingCapture> RunBoth(const std::vector<standin::SpacingInput>& inputs,
                                               const std::string& what) {
    std::vector<standin::SpacingCapture> vhud;
    for (const auto& in : inputs) {
      vhud.push_back(Run(in));
      EXPECT_EQ(0u, standin::SpacingStateDiff(in, vhud.back())) << what << " (VHud's bytes)";
    }
    Patch();
    std::vector<standin::SpacingCapture> patched;
    for (size_t i = 0; i < inputs.size(); ++i) {
      patched.push_back(Run(inputs[i]));
      std::string label = what + " #" + std::to_string(i);
      EXPECT_EQ(0u, standin::SpacingStateDiff(inputs[i], patched.back())) << label;
      ExpectSameStateAsVhud(vhud[i], patched.back(), label);
    }
    return patched;
  }
  void ExpectMoved(const standin::SpacingCapture& c, float content, float ammo,
                   const std::string& what) {
    EXPECT_EQ(Bits(content), Bits(c.contentX)) << what << ": " << c.contentX << " want " << content;
    EXPECT_EQ(Bits(ammo), Bits(c.ammoX)) << what << ": " << c.ammoX << " want " << ammo;
  }
};

TEST_F(Cave, WheelSlotsMoveByTheirOffsetsAt1080) {
  standin::RunVhudWheel(base_);
  const standin::WheelRecord* r = standin::VhudWheelRecord();
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(Bits(standin::kSlotContentX[k]), Bits(r->slotContentX[k])) << k;
    EXPECT_EQ(Bits(standin::kSlotAmmoX[k]), Bits(r->slotAmmoX[k])) << k;
  }
  Patch();
  standin::RunVhudWheel(base_);
  for (int k = 0; k < 8; ++k) {
    std::string what = "slot " + std::to_string(k);
    EXPECT_EQ(0u, r->spacingFaults[k]) << what;
    EXPECT_EQ(standin::kSlotRecordWord + k, r->slotEdi[k]) << what;
    EXPECT_EQ(Bits(standin::kSlotContentX[k] + kTable[k]), Bits(r->slotContentX[k])) << what;
    EXPECT_EQ(Bits(standin::kSlotAmmoX[k] + (kTable[k] + kFine[k])), Bits(r->slotAmmoX[k])) << what;
  }
  EXPECT_EQ(-48.0f, r->slotContentX[2] - standin::kSlotContentX[2]);
  EXPECT_EQ(-38.0f, r->slotAmmoX[2] - standin::kSlotAmmoX[2]);
  EXPECT_EQ(62.0f, r->slotContentX[5] - standin::kSlotContentX[5]);
  EXPECT_EQ(54.0f, r->slotAmmoX[5] - standin::kSlotAmmoX[5]);
  EXPECT_EQ(Bits(standin::kSlotContentX[0]), Bits(r->slotContentX[0]));
  EXPECT_EQ(Bits(standin::kSlotAmmoX[4]), Bits(r->slotAmmoX[4]));
}

TEST_F(Cave, OffsetsScaleWithTheScreenHeight) {
  Patch();
  standin::SetScreen(3840, 2160);
  for (uint32_t k = 0; k < 8; ++k) {
    standin::SpacingCapture c = Run(LayoutInput(k, 1000.0f, 1010.0f));
    ExpectMoved(c, 1000.0f + 2.0f * kTable[k], 1010.0f + 2.0f * (kTable[k] + kFine[k]),
                "2160 slot " + std::to_string(k));
  }
  standin::SpacingCapture five = Run(LayoutInput(5, 1000.0f, 1010.0f));
  EXPECT_EQ(1124.0f, five.contentX);
  EXPECT_EQ(1118.0f, five.ammoX);  // +108
  for (int32_t height : {0, -1, -2160}) {
    standin::SetScreen(1920, height);
    for (uint32_t k = 0; k < 8; ++k) {
      ExpectMoved(Run(LayoutInput(k, 1000.5f, 1010.25f)), 1000.5f, 1010.25f,
                  "height " + std::to_string(height) + " slot " + std::to_string(k));
    }
  }
}

// The ammo text's two offsets are summed and added in the x87 unit at its
// working precision, the sum not rounded to single precision first.
TEST_F(Cave, AmmoSumIsAddedAtX87WorkingPrecision) {
  standin::SetScreen(1280, 720);
  const float slot = SlotXOffset(1);
  const float fine = AmmoXOffset(1);
  ASSERT_EQ(Bits(-41.333336f), Bits(slot));
  ASSERT_EQ(Bits(5.3333335f), Bits(fine));
  const long double sum = static_cast<long double>(slot) + static_cast<long double>(fine);
  // An ammo x where rounding the sum to single precision first would give a
  // different position (the float sum lies half a unit of the result away).
  float x = 100.0f;
  for (int i = 0; i < 10000; ++i, x = nextafterf(x, 200.0f)) {
    if (static_cast<float>(static_cast<long double>(x) + sum) != x + (slot + fine)) break;
  }
  ASSERT_NE(static_cast<float>(static_cast<long double>(x) + sum), x + (slot + fine));
  Patch();

  standin::SpacingInput extended = LayoutInput(1, 700.0f, x);
  extended.fpuControl = 0x037F;  // 64-bit significands
  ExpectMoved(Run(extended), static_cast<float>(700.0L + slot),
              static_cast<float>(static_cast<long double>(x) + sum), "extended precision");
  standin::SpacingInput dbl = LayoutInput(1, 700.0f, x);
  dbl.fpuControl = 0x027F;  // 53-bit significands, as Windows sets it
  ExpectMoved(Run(dbl), static_cast<float>(700.0 + slot),
              static_cast<float>(static_cast<double>(x) + static_cast<double>(sum)),
              "double precision");
}

TEST_F(Cave, SlotIndexOutsideTheWheelMovesNothing) {
  for (uint32_t index : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(0u, Bits(SlotXOffset(index))) << index;
    EXPECT_EQ(0u, Bits(AmmoXOffset(index))) << index;
  }
  std::vector<standin::SpacingInput> inputs;
  for (uint32_t index : {8u, 0xFFFFFFFFu, 0x80000000u, 100u}) {
    inputs.push_back(LayoutInput(index, 1234.5f, 1250.75f));
  }
  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "index outside");
  for (size_t i = 0; i < out.size(); ++i) {
    ExpectMoved(out[i], 1234.5f, 1250.75f, "input " + std::to_string(i));
    EXPECT_EQ(kRecordWord, out[i].edi);
    EXPECT_EQ(out[i].siteEbp - 0x3F5C, out[i].ecx);
  }
}

TEST_F(Cave, FlagsOfVhudsComparisonAndTheDirectionFlagSurvive) {
  struct Case {
    uint32_t eax, esi, direction;
  };
  const Case cases[] = {
      {5, 5, 0},                      // ZF PF
      {1, 2, 0},                      // CF SF AF
      {0x80000000u, 1, 0},            // OF
      {0x7FFFFFFFu, 0xFFFFFFFFu, 1},  // OF SF CF, DF set
      {0x100, 0x1, 1},                // AF, DF set
      {0xFFFFFFFFu, 0, 0},            // SF
  };
  std::vector<standin::SpacingInput> inputs;
  for (const Case& c : cases) {
    for (uint32_t slot : {2u, 8u}) {
      standin::SpacingInput in = LayoutInput(slot, 800.0f, 820.0f);
      in.eax = c.eax;
      in.esi = c.esi;
      in.direction = c.direction;
      inputs.push_back(in);
    }
  }
  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "flags");
  EXPECT_EQ(0x40u, out[0].eflags & 0x40) << "ZF after 5 == 5";
  EXPECT_EQ(0x1u, out[2].eflags & 0x1) << "CF after 1 < 2";
  EXPECT_EQ(0x800u, out[4].eflags & 0x800) << "OF";
  EXPECT_EQ(0x400u, out[6].eflags & 0x400) << "DF";
  EXPECT_EQ(0u, out[0].eflags & 0x400) << "DF clear";
  ExpectMoved(out[0], 752.0f, 782.0f, "slot 2 with ZF");
}

TEST_F(Cave, X87StackUpToEightDeepSurvives) {
  const long double values[8] = {1.0L,  -2.5L,    3.14159265358979323846L, 1e4000L,
                                 -0.0L, 1e-4000L, 12345678.875L,           -7.0L};
  std::vector<standin::SpacingInput> inputs;
  for (uint32_t control : {0x037Fu, 0x027Fu, 0x007Fu}) {
    for (uint32_t depth : {0u, 1u, 3u, 7u, 8u}) {
      standin::SpacingInput in = LayoutInput(6, 900.0f, 930.0f);
      in.fpuControl = control;
      in.x87Count = depth;
      for (uint32_t i = 0; i < 8; ++i) PutLongDouble(in.x87[i], values[(i + depth) % 8]);
      inputs.push_back(in);
    }
  }
  // A NaN and an infinity in a full stack, too.
  standin::SpacingInput odd = LayoutInput(5, 900.0f, 930.0f);
  odd.x87Count = 8;
  PutLongDouble(odd.x87[0], __builtin_nanl("0x1234"));
  PutLongDouble(odd.x87[7], -__builtin_infl());
  inputs.push_back(odd);

  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "x87");
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    EXPECT_EQ(inputs[i].x87Count, standin::FxDepth(out[i])) << i;
    ExpectMoved(out[i], 948.0f, 968.0f, "x87 input " + std::to_string(i));
  }
  EXPECT_EQ(8u, standin::FxDepth(out.back()));
  ExpectMoved(out.back(), 962.0f, 984.0f, "NaN and infinity on the stack");
}

TEST_F(Cave, XmmRegistersAndMxcsrSurvive) {
  std::vector<standin::SpacingInput> inputs;
  // Default; every exception flag sticky; flush-to-zero and denormals-are-zero
  // with the precision exception unmasked; rounding toward zero.
  for (uint32_t mxcsr : {0x1F80u, 0x1FBFu, 0x8FC0u, 0x7F80u}) {
    standin::SpacingInput in = LayoutInput(3, 1500.0f, 1512.0f);
    in.mxcsr = mxcsr;
    for (uint32_t r = 0; r < 8; ++r) {
      for (uint32_t j = 0; j < 16; ++j) {
        in.xmm[r][j] = static_cast<uint8_t>((mxcsr >> (j % 4)) * 31 + r * 7 + j * 13);
      }
    }
    inputs.push_back(in);
  }
  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "xmm/mxcsr");
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(inputs[i].mxcsr, standin::FxMxcsr(out[i])) << i;
    ExpectMoved(out[i], 1438.0f, 1458.0f, "mxcsr input " + std::to_string(i));
  }
}

// VHud may run with SSE exceptions unmasked; the offsets at 720 lines are
// inexact, so the cave's own arithmetic must not raise them in VHud's place.
TEST_F(Cave, UnmaskedSseExceptionsInVhudDoNotFault) {
  standin::SetScreen(1280, 720);
  std::vector<standin::SpacingInput> inputs;
  for (uint32_t mxcsr : {0x0F80u, 0x0000u}) {
    standin::SpacingInput in = LayoutInput(1, 1000.0f, 1010.0f);
    in.mxcsr = mxcsr;
    inputs.push_back(in);
  }
  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "unmasked mxcsr");
  volatile float scale = 720.0f / 1080.0f;
  volatile float slot = scale * -62.0f;
  volatile float fine = scale * 8.0f;
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(inputs[i].mxcsr, standin::FxMxcsr(out[i])) << i;
    volatile float content = 1000.0f + slot;
    volatile long double sum = static_cast<long double>(slot) + static_cast<long double>(fine);
    volatile float ammo = static_cast<float>(sum + 1010.0L);
    ExpectMoved(out[i], content, ammo, "mxcsr " + std::to_string(inputs[i].mxcsr));
  }
}

TEST_F(Cave, AlignsTheStackItselfAndLeavesEspAsFound) {
  std::vector<standin::SpacingInput> inputs;
  for (uint32_t mod : {4u, 8u, 12u, 0u}) {
    standin::SpacingInput in = LayoutInput(7, 1100.0f, 1120.0f);
    in.espMod16 = mod;
    inputs.push_back(in);
  }
  std::vector<standin::SpacingCapture> out = RunBoth(inputs, "stack");
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(inputs[i].espMod16, out[i].esp % 16) << i;
    EXPECT_EQ(out[i].siteEsp, out[i].esp) << i;
    ExpectMoved(out[i], 1162.0f, 1174.0f, "esp mod 16 = " + std::to_string(inputs[i].espMod16));
  }
}

}  // namespace
}  // namespace wheel
