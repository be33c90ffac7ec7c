// The static-slot patch: the installer's states and its one log line, and
// StaticSlotRotate as VHud's per-slot routine runs it through the redirected
// call at VHud+0x6CDA8.
#include <math.h>

#include "test_wheel_support.h"

namespace wheel {
namespace {

constexpr float kTable[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
constexpr const char* kCallMissing =
    "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped";
constexpr const char* kProtectFailed = "[WHEEL][ERR] VirtualProtect failed";

std::string SuccessLine(uintptr_t rotate) {
  return "[WHEEL][OK] static-slot patch installed; original RotateVertices=" + Hex(rotate);
}

// A slot's quad after the redirected call, computed independently: VHud's
// rotation, the centre of the result, the rotation back about it, then the
// offset added to the x coordinates.
standin::Quad Upright(float angle) {
  standin::Quad q = standin::SlotStartQuad();
  StandinRotateQuad(&q, standin::kWheelCentreX, standin::kWheelCentreY, angle);
  float mx = (((q.v[0] + q.v[2]) + q.v[4]) + q.v[6]) * 0.25f;
  float my = (((q.v[1] + q.v[3]) + q.v[5]) + q.v[7]) * 0.25f;
  StandinRotateQuad(&q, mx, my, -angle);
  return q;
}

standin::Quad Shifted(standin::Quad q, float offset) {
  for (int i = 0; i < 8; i += 2) q.v[i] = q.v[i] + offset;
  return q;
}

void ExpectQuadBits(const standin::Quad& want, const standin::Quad& got, const std::string& what) {
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(Bits(want.v[i]), Bits(got.v[i]))
        << what << " coordinate " << i << ": want " << want.v[i] << " got " << got.v[i];
  }
}

// Edges of the 120 x 80 slot rectangle run along the axes again.
void ExpectUpright(const standin::Quad& q, const std::string& what) {
  EXPECT_NEAR(q.v[1], q.v[3], 1e-3) << what;
  EXPECT_NEAR(q.v[5], q.v[7], 1e-3) << what;
  EXPECT_NEAR(q.v[0], q.v[6], 1e-3) << what;
  EXPECT_NEAR(q.v[2], q.v[4], 1e-3) << what;
  EXPECT_NEAR(120.0f, fabsf(q.v[2] - q.v[0]), 1e-3) << what;
}

class StaticSlot : public WheelTest {
 protected:
  uintptr_t Site() const { return base_ + kRotateSite; }
  uintptr_t Rotate() const { return base_ + standin::kWheelRotateVertices; }
  uintptr_t Hook() const { return reinterpret_cast<uintptr_t>(&StaticSlotRotate); }
};

TEST_F(StaticSlot, DoesNothingUntilVhudIsKnownLargeEnoughAndReadable) {
  std::vector<uint8_t> before = Image();
  gState.vhudBase = 0;
  InstallStaticSlotPatch();
  gState.vhudBase = base_;
  gState.vhudSize = 0;
  InstallStaticSlotPatch();
  gState.vhudSize = 0x6CDAC;  // the call's last byte would lie outside
  InstallStaticSlotPatch();
  gState.vhudSize = world_.vhudSize;
  sim::SetProtect(Site() & ~0xFFFu, 0x1000, sim::kPageNoAccess);
  InstallStaticSlotPatch();
  sim::SetProtect(Site() & ~0xFFFu, 0x1000, sim::kPageExecuteRead | sim::kPageGuard);
  InstallStaticSlotPatch();
  sim::SetProtect(Site() & ~0xFFFu, 0x1000, sim::kPageExecuteRead);
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0, gState.staticSlotReported);
  EXPECT_EQ(0u, gState.savedRotateVertices);

  gState.vhudSize = 0x6CDAD;  // exactly large enough
  InstallStaticSlotPatch();
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  EXPECT_EQ(std::vector<std::string>{SuccessLine(Rotate())}, Lines());
}

TEST_F(StaticSlot, RedirectsTheCallOnceWritingOnlyItsDisplacement) {
  std::vector<uint8_t> before = Image();
  InstallStaticSlotPatch();
  EXPECT_EQ(Rotate(), gState.savedRotateVertices);
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  std::vector<uint32_t> changed = Diff(before, Image());
  for (uint32_t at : changed) {
    EXPECT_TRUE(at > kRotateSite && at < kRotateSite + 5) << Hex(at);
  }
  EXPECT_FALSE(changed.empty());
  EXPECT_EQ(std::vector<std::string>{SuccessLine(Rotate())}, Lines());
  ASSERT_EQ(1u, Lifts());
  const sim::ProtectCall& lift = sim::Record().protects[0];
  EXPECT_EQ(Site(), lift.address);
  EXPECT_EQ(5u, lift.size);
  EXPECT_EQ(sim::kPageExecuteRead, sim::ProtectOf(Site()));

  std::vector<uint8_t> patched = Image();
  for (int pass = 0; pass < 3; ++pass) InstallStaticSlotPatch();
  EXPECT_TRUE(Diff(patched, Image()).empty());
  EXPECT_EQ(1u, Lifts());
  EXPECT_EQ(1u, Lines().size());
}

// Windows lets a PAGE_EXECUTE page be read: the installer reads VHud's call
// there, redirects it and puts PAGE_EXECUTE back.
TEST_F(StaticSlot, OnAnExecuteOnlyPageTheCallIsReadAndRedirected) {
  sim::SetProtect(Site() & ~0xFFFu, 0x1000, sim::kPageExecute);
  InstallStaticSlotPatch();
  EXPECT_EQ(std::vector<std::string>{SuccessLine(Rotate())}, Lines());
  EXPECT_EQ(Rotate(), gState.savedRotateVertices);
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  EXPECT_EQ(1u, Lifts());
  EXPECT_EQ(sim::kPageExecute, sim::ProtectOf(Site()));
}

TEST_F(StaticSlot, MissingCallIsReportedOnceAndNeverWritten) {
  Poke(Site(), {0xE9});
  std::vector<uint8_t> before = Image();
  for (int pass = 0; pass < 3; ++pass) InstallStaticSlotPatch();
  EXPECT_EQ(std::vector<std::string>{kCallMissing}, Lines());
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0u, gState.savedRotateVertices);
  // VHud's call back in place: redirected without a second message.
  Poke(Site(), {0xE8});
  InstallStaticSlotPatch();
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  EXPECT_EQ(std::vector<std::string>{kCallMissing}, Lines());
}

TEST_F(StaticSlot, CallToAnotherTargetIsReportedOnceWithBothAddresses) {
  uintptr_t elsewhere = base_ + 0x50300;
  Poke(Site(), Rel(0xE8, Site(), elsewhere));
  std::vector<uint8_t> before = Image();
  for (int pass = 0; pass < 3; ++pass) InstallStaticSlotPatch();
  EXPECT_EQ(std::vector<std::string>{"[WHEEL][ERR] unexpected RotateVertices target=" +
                                     Hex(elsewhere) + " expected=" + Hex(Rotate())},
            Lines());
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0u, gState.savedRotateVertices);
}

TEST_F(StaticSlot, RefusedProtectionIsReportedAloneAndALaterPassRedirects) {
  sim::Fault().virtualProtectFailAt = 1;
  std::vector<uint8_t> before = Image();
  InstallStaticSlotPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  // Stored before the site was touched.
  EXPECT_EQ(Rotate(), gState.savedRotateVertices);
  InstallStaticSlotPatch();
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  InstallStaticSlotPatch();
  EXPECT_EQ(std::vector<std::string>{kProtectFailed}, Lines());
  EXPECT_EQ(2u, Lifts());
}

TEST_F(StaticSlot, AfterSuccessEveryLaterOutcomeIsSilent) {
  InstallStaticSlotPatch();
  std::vector<uint8_t> original = Rel(0xE8, Site(), Rotate());
  // VHud's call restored by another party: redirected again, no message.
  Poke(Site(), original);
  InstallStaticSlotPatch();
  EXPECT_EQ(Rel(0xE8, Site(), Hook()), BytesAt(Site(), 5));
  EXPECT_EQ(Rotate(), gState.savedRotateVertices);
  // Restored again, and the protection refused.
  Poke(Site(), original);
  sim::Fault().virtualProtectFailAll = true;
  InstallStaticSlotPatch();
  EXPECT_EQ(original, BytesAt(Site(), 5));
  sim::Fault().virtualProtectFailAll = false;
  Poke(Site(), {0x90});
  InstallStaticSlotPatch();
  Poke(Site(), Rel(0xE8, Site(), base_ + 0x1000));
  InstallStaticSlotPatch();
  EXPECT_EQ(std::vector<std::string>{SuccessLine(Rotate())}, Lines());
}

TEST_F(StaticSlot, ACallAlreadyLeadingToStaticSlotRotateIsLeftAlone) {
  Poke(Site(), Rel(0xE8, Site(), Hook()));
  std::vector<uint8_t> before = Image();
  InstallStaticSlotPatch();
  InstallStaticSlotPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_TRUE(Lines().empty());
  // Never stored: the routine does nothing, RotateVertices is not called.
  EXPECT_EQ(0u, gState.savedRotateVertices);
  standin::Quad q = standin::SlotStartQuad();
  standin::Quad start = q;
  EXPECT_EQ(0u, standin::RunSlotRoutine(base_, &q, 960.0f, 540.0f, standin::kWheelAngles[1]));
  ExpectQuadBits(start, q, "untouched");
  EXPECT_EQ(0u, standin::VhudWheelRecord()->rotateCalls);
}

TEST(StaticSlotAngles, SlotNumbersFollowTheWheelAngles) {
  const float pi = 3.14159265358979f;
  EXPECT_EQ(0, SlotFromAngle(-pi));
  EXPECT_EQ(2, SlotFromAngle(-1.5f * pi));
  EXPECT_EQ(4, SlotFromAngle(-2.0f * pi));
  EXPECT_EQ(7, SlotFromAngle(-pi - 1.75f * pi));
  for (int32_t k = 0; k < 8; ++k) EXPECT_EQ(k, SlotFromAngle(standin::kWheelAngles[k])) << k;
  EXPECT_EQ(-3, SlotFromAngle(0.0f));  // t = -3.5 truncates toward zero
  // t between -1.5 and -0.5 before the 0.5 is added truncates to slot 0.
  EXPECT_EQ(0, SlotFromAngle(-0.75f * pi));
  EXPECT_EQ(0, SlotFromAngle(-0.9f * pi));
  EXPECT_EQ(8, SlotFromAngle(-3.0f * pi));
  EXPECT_EQ(INT32_MIN, SlotFromAngle(NAN));
  EXPECT_EQ(INT32_MIN, SlotFromAngle(-INFINITY));
  EXPECT_EQ(INT32_MIN, SlotFromAngle(-1e10f));
}

// The wheel as VHud draws it with the patch in place: every slot's quad
// upright where VHud's rotation put its centre, shifted by its scaled offset.
class StaticSlotWheel : public StaticSlot {
 protected:
  void DrawAndCheck(int32_t height, const float (&offsets)[8]) {
    standin::SetScreen(1920, height);
    standin::ClearVhudWheelRecord();
    standin::RunVhudWheel(base_);
    const standin::WheelRecord* r = standin::VhudWheelRecord();
    EXPECT_EQ(0u, r->slotFaults);
    EXPECT_EQ(16u, r->rotateCalls);
    for (int k = 0; k < 8; ++k) {
      std::string what = "height " + std::to_string(height) + " slot " + std::to_string(k);
      ExpectQuadBits(Shifted(Upright(standin::kWheelAngles[k]), offsets[k]), r->slotQuads[k], what);
      ExpectUpright(r->slotQuads[k], what);
    }
  }
};

TEST_F(StaticSlotWheel, BeforeThePatchSlotsTiltWithTheWheel) {
  standin::RunVhudWheel(base_);
  const standin::WheelRecord* r = standin::VhudWheelRecord();
  EXPECT_EQ(8u, r->rotateCalls);
  for (int k = 0; k < 8; ++k) {
    standin::Quad q = standin::SlotStartQuad();
    StandinRotateQuad(&q, 960.0f, 540.0f, standin::kWheelAngles[k]);
    ExpectQuadBits(q, r->slotQuads[k], "slot " + std::to_string(k));
  }
  // An odd slot sits at 45 degrees.
  EXPECT_GT(fabsf(r->slotQuads[1].v[1] - r->slotQuads[1].v[3]), 40.0f);
}

TEST_F(StaticSlotWheel, At1080SlotsMoveByTheTable) {
  InstallStaticSlotPatch();
  DrawAndCheck(1080, kTable);
  // Slot 1 by -62 and slot 6 by +48, bit for bit.
  const standin::WheelRecord* r = standin::VhudWheelRecord();
  EXPECT_EQ(Bits(Upright(standin::kWheelAngles[1]).v[0] - 62.0f), Bits(r->slotQuads[1].v[0]));
  EXPECT_EQ(Bits(Upright(standin::kWheelAngles[6]).v[2] + 48.0f), Bits(r->slotQuads[6].v[2]));
}

TEST_F(StaticSlotWheel, At720And2160TheOffsetsScaleWithTheHeight) {
  InstallStaticSlotPatch();
  const float s = -41.333336f;
  EXPECT_EQ(0xC2255556u, Bits(s));
  const float at720[8] = {0.0f, s, -32.0f, s, 0.0f, -s, 32.0f, -s};
  DrawAndCheck(720, at720);
  float at2160[8];
  for (int k = 0; k < 8; ++k) at2160[k] = 2.0f * kTable[k];
  DrawAndCheck(2160, at2160);
}

TEST_F(StaticSlotWheel, ZeroOrNegativeHeightTurnsUprightWithoutShift) {
  InstallStaticSlotPatch();
  const float none[8] = {};
  DrawAndCheck(0, none);
  DrawAndCheck(-1080, none);
}

TEST_F(StaticSlot, AnglesOutsideTheWheelGetNoShift) {
  InstallStaticSlotPatch();
  const float angles[] = {0.0f, -3.0f * 3.14159265f, 1.0f};
  for (float a : angles) {
    standin::Quad q = standin::SlotStartQuad();
    EXPECT_EQ(0u, standin::RunSlotRoutine(base_, &q, 960.0f, 540.0f, a));
    ExpectQuadBits(Upright(a), q, "angle " + std::to_string(a));
  }
  // A NaN angle: both rotations run, nothing is added.
  uint32_t calls = standin::VhudWheelRecord()->rotateCalls;
  standin::Quad q = standin::SlotStartQuad();
  EXPECT_EQ(0u, standin::RunSlotRoutine(base_, &q, 960.0f, 540.0f, NAN));
  EXPECT_EQ(calls + 2, standin::VhudWheelRecord()->rotateCalls);
}

TEST_F(StaticSlot, NullQuadCallsNothing) {
  InstallStaticSlotPatch();
  EXPECT_EQ(0u, standin::RunSlotRoutine(base_, nullptr, 960.0f, 540.0f, -3.14159274f));
  StaticSlotRotate(nullptr, 1.0f, 2.0f, 3.0f);
  EXPECT_EQ(0u, standin::VhudWheelRecord()->rotateCalls);
}

}  // namespace
}  // namespace wheel
