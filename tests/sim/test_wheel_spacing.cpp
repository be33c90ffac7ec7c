// The slot-spacing installer: its states, its one report, and the exact
// bytes it writes into VHud's image.
#include "test_wheel_support.h"

namespace wheel {
namespace {

constexpr const char* kOk =
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]";
constexpr const char* kInfo =
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8";
constexpr const char* kMismatch =
    "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped";
constexpr const char* kProtectFailed =
    "[WHEEL][ERR] VirtualProtect failed for content-offset patch";

class Spacing : public WheelTest {
 protected:
  uintptr_t Site() const { return base_ + kSpacingSite; }
  std::vector<uint8_t> Original() const { return {kSpacingBytes, kSpacingBytes + 9}; }
  std::vector<uint8_t> Patched() const {
    std::vector<uint8_t> b = RelBytes(0xE9, Site(), reinterpret_cast<uintptr_t>(&SpacingCave));
    b.insert(b.end(), {0x90, 0x90, 0x90, 0x90});
    return b;
  }
  // One layout of slot 5 at 1080: true when the cave moved it.
  bool LayoutMoved() {
    standin::SpacingCapture c = standin::RunSpacingLayout(base_, LayoutInput(5, 1000.0f, 1010.0f));
    EXPECT_EQ(0u, standin::SpacingStateDiff(LayoutInput(5, 1000.0f, 1010.0f), c));
    return c.contentX == 1062.0f && c.ammoX == 1064.0f;
  }
};

TEST_F(Spacing, DoesNothingUntilVhudIsKnownAndLargeEnough) {
  std::vector<uint8_t> before = Image();
  gState.vhudBase = 0;
  InstallSpacingPatch();
  gState.vhudBase = base_;
  gState.vhudSize = 0;
  InstallSpacingPatch();
  gState.vhudSize = 0x6BBE1;  // the ninth byte would lie outside
  InstallSpacingPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0u, gState.spacingReturn);
  EXPECT_EQ(0, gState.spacingReported);

  gState.vhudSize = 0x6BBE2;  // exactly large enough
  InstallSpacingPatch();
  EXPECT_EQ(Patched(), BytesAt(Site(), 9));
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
}

TEST_F(Spacing, PatchesTheNineBytesOnceAndReportsTwoLines) {
  EXPECT_FALSE(LayoutMoved());
  std::vector<uint8_t> before = Image();
  InstallSpacingPatch();
  EXPECT_EQ(base_ + 0x6BBE2, gState.spacingReturn);
  EXPECT_EQ(Patched(), BytesAt(Site(), 9));
  std::vector<uint32_t> changed = Diff(before, Image());
  for (uint32_t at : changed) EXPECT_TRUE(at >= kSpacingSite && at < kSpacingSite + 9) << Hex(at);
  EXPECT_EQ(9u, changed.size());
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
  ASSERT_EQ(1u, Lifts());
  EXPECT_EQ(Site(), sim::Record().protects[0].address);
  EXPECT_EQ(9u, sim::Record().protects[0].size);
  EXPECT_EQ(sim::kPageExecuteRead, sim::ProtectOf(Site()));
  EXPECT_TRUE(LayoutMoved());

  std::vector<uint8_t> patched = Image();
  for (int pass = 0; pass < 3; ++pass) InstallSpacingPatch();
  EXPECT_TRUE(Diff(patched, Image()).empty());
  EXPECT_EQ(1u, Lifts());
  EXPECT_EQ(2u, Lines().size());
}

TEST_F(Spacing, MismatchIsReportedOnceAndTheSiteNeverWritten) {
  Poke(Site() + 8, {0xFE});  // only the last byte differs
  std::vector<uint8_t> before = Image();
  for (int pass = 0; pass < 3; ++pass) InstallSpacingPatch();
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Lines());
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0u, gState.spacingReturn);
  // VHud's bytes back: patched without a further report.
  Poke(Site() + 8, {0xFF});
  InstallSpacingPatch();
  EXPECT_EQ(Patched(), BytesAt(Site(), 9));
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Lines());
  EXPECT_TRUE(LayoutMoved());
}

TEST_F(Spacing, AJumpElsewhereIsAMismatchAndAJumpToTheCaveIsLeftAlone) {
  std::vector<uint8_t> elsewhere = RelBytes(0xE9, Site(), base_ + 0x1000);
  elsewhere.insert(elsewhere.end(), {0x90, 0x90, 0x90, 0x90});
  Poke(Site(), elsewhere);
  std::vector<uint8_t> before = Image();
  InstallSpacingPatch();
  InstallSpacingPatch();
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Lines());
  EXPECT_TRUE(Diff(before, Image()).empty());

  Poke(Site(), Patched());
  before = Image();
  InstallSpacingPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0u, gState.spacingReturn);
  EXPECT_EQ(1u, Lines().size());
}

TEST_F(Spacing, ACaveJumpFoundOnTheFirstPassIsSilent) {
  Poke(Site(), Patched());
  InstallSpacingPatch();
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0, gState.spacingReported);
  EXPECT_EQ(0u, Lifts());
}

TEST_F(Spacing, RefusedProtectionIsReportedAloneAndALaterPassPatches) {
  sim::Fault().virtualProtectFailAt = 1;
  std::vector<uint8_t> before = Image();
  InstallSpacingPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(base_ + 0x6BBE2, gState.spacingReturn);  // stored before the site
  EXPECT_EQ(std::vector<std::string>{kProtectFailed}, Lines());
  InstallSpacingPatch();
  EXPECT_EQ(Patched(), BytesAt(Site(), 9));
  InstallSpacingPatch();
  EXPECT_EQ(std::vector<std::string>{kProtectFailed}, Lines());
  EXPECT_TRUE(LayoutMoved());
}

TEST_F(Spacing, AfterSuccessRestoredBytesArePatchedAgainSilently) {
  InstallSpacingPatch();
  for (int round = 0; round < 3; ++round) {
    Poke(Site(), Original());
    EXPECT_FALSE(LayoutMoved());
    InstallSpacingPatch();
    EXPECT_EQ(Patched(), BytesAt(Site(), 9));
    EXPECT_TRUE(LayoutMoved());
  }
  Poke(Site(), Original());
  sim::Fault().virtualProtectFailAll = true;
  InstallSpacingPatch();
  EXPECT_EQ(Original(), BytesAt(Site(), 9));
  sim::Fault().virtualProtectFailAll = false;
  Poke(Site(), {0xCC});
  InstallSpacingPatch();
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
}

}  // namespace
}  // namespace wheel
