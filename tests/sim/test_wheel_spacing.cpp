// The slot-spacing installer: its states, its one report, and the exact
// bytes it writes into VHud's image.
#include <algorithm>

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
  // VHud's first instruction, then a jump to the cave over its second.
  std::vector<uint8_t> Patched() const {
    std::vector<uint8_t> b = {0x8B, 0x7A, 0x44};
    std::vector<uint8_t> jump = Rel(0xE9, Site() + 3, reinterpret_cast<uintptr_t>(&SpacingCave));
    b.insert(b.end(), jump.begin(), jump.end());
    b.push_back(0x90);
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
  // VHud's first instruction and the two bytes after the site (covered by
  // the one 8-byte store) keep their values.
  EXPECT_EQ(Span(kSpacingSite + 3, kSpacingSite + 9), Diff(before, Image()));
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

// Only the exact in-place form is the patch: a jump at +0 (as earlier builds
// wrote it), a jump at +3 elsewhere, or the form with one byte off is a
// mismatch, never written.
TEST_F(Spacing, NearFormsOfThePatchAreMismatchesAndTheInPlaceFormIsLeftAlone) {
  const uintptr_t cave = reinterpret_cast<uintptr_t>(&SpacingCave);
  auto jumpAt = [&](uint32_t at, uintptr_t target) {
    std::vector<uint8_t> b = Original();
    std::vector<uint8_t> jump = Rel(0xE9, Site() + at, target);
    std::copy(jump.begin(), jump.end(), b.begin() + at);
    for (uint32_t i = at + 5; i < 9; ++i) b[i] = 0x90;
    return b;
  };
  auto changed = [&](uint32_t at, uint8_t value) {
    std::vector<uint8_t> b = Patched();
    b[at] = value;
    return b;
  };
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"jump to the cave at +0", jumpAt(0, cave)},
      {"jump elsewhere at +0", jumpAt(0, base_ + 0x1000)},
      {"jump elsewhere at +3", jumpAt(3, base_ + 0x1000)},
      {"jump to the cave at +3, FF at +8", changed(8, 0xFF)},
      {"jump to the cave at +3, 90 at +2", changed(2, 0x90)},
      {"call to the cave at +3", changed(3, 0xE8)},
  };
  size_t reports = 0;
  for (const auto& c : cases) {
    gState.spacingReported = 0;  // each case reports afresh
    Poke(Site(), c.bytes);
    std::vector<uint8_t> before = Image();
    InstallSpacingPatch();
    InstallSpacingPatch();
    std::vector<std::string> lines = Lines();
    EXPECT_EQ(++reports, lines.size()) << c.what;
    EXPECT_EQ(kMismatch, lines.back()) << c.what;
    EXPECT_TRUE(Diff(before, Image()).empty()) << c.what;
  }
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0u, gState.spacingReturn);

  gState.spacingReported = 0;
  Poke(Site(), Patched());
  std::vector<uint8_t> before = Image();
  InstallSpacingPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ(0, gState.spacingReported);
  EXPECT_EQ(reports, Lines().size());
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
