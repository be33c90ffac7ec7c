// The centre-text patch: six SSE operands of VHud re-pointed at the plug-in's
// floats, each site on its own, one report for the whole patch, and VHud's
// routines placing the texts with the new offsets.
#include "test_wheel_support.h"

namespace wheel {
namespace {

constexpr const char* kOk =
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]";
constexpr const char* kInfo =
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)";
constexpr const char* kProtectFailed = "[WHEEL][ERR] VirtualProtect failed for centre-text patch";
const std::string kMismatchAt = "[WHEEL][ERR] centre-text signature mismatch at ";

class CentreText : public WheelTest {
 protected:
  uintptr_t Site(int i) const { return base_ + standin::kCentreTextSiteOffsets[i]; }
  // The plug-in float each site must read, in site order.
  static uint32_t Target(int i) {
    const float* t[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                         &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(t[i]));
  }
  uint32_t Operand(int i) const { return WordAt(Site(i) + 4); }
  uint32_t VhudConstant(int i) const {
    return static_cast<uint32_t>(standin::CentreTextConstantAddress(base_, i));
  }
  std::vector<uint8_t> Head(int i) const {
    return {0xF3, 0x0F, standin::kCentreTextOperations[i], 0x05};
  }
  std::vector<uint8_t> Le(uint32_t v) const {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
  }
  float Place(int i) { return standin::RunCentreText(base_, i, standin::kCentreTextInputs[i]); }
};

TEST_F(CentreText, RepointsTheSixOperandsAndVhudPlacesTheTextsWithThem) {
  // VHud's own offsets first.
  const float vhud[6] = {470.0f, 972.0f, 582.0f, 974.0f, 691.0f, 976.0f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Bits(vhud[i]), Bits(Place(i))) << i;
  std::vector<uint8_t> before = Image();

  InstallCentreTextPatch();
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
  std::vector<uint32_t> expected;
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> head = Head(i);
    std::vector<uint8_t> want = head;
    std::vector<uint8_t> le = Le(Target(i));
    want.insert(want.end(), le.begin(), le.end());
    EXPECT_EQ(want, BytesAt(Site(i), 8)) << i;
    for (uint32_t b = 4; b < 8; ++b) {
      if (before[standin::kCentreTextSiteOffsets[i] + b] != want[b]) {
        expected.push_back(standin::kCentreTextSiteOffsets[i] + b);
      }
    }
  }
  EXPECT_EQ(expected, Diff(before, Image()));
  EXPECT_EQ(Operand(1), Operand(3));
  EXPECT_EQ(Operand(1), Operand(5));
  EXPECT_EQ(6u, Lifts());
  EXPECT_EQ(sim::kPageExecuteRead, sim::ProtectOf(Site(0)));

  // 24 subtracted, -10 and -3 subtracted, 0 added.
  const float placed[6] = {476.0f, 960.0f, 610.0f, 960.0f, 703.0f, 960.0f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Bits(placed[i]), Bits(Place(i))) << i;
  standin::RunVhudWheel(base_);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Bits(placed[i]), Bits(standin::VhudWheelRecord()->centreText[i])) << i;
  }

  std::vector<uint8_t> patched = Image();
  for (int pass = 0; pass < 3; ++pass) InstallCentreTextPatch();
  EXPECT_TRUE(Diff(patched, Image()).empty());
  EXPECT_EQ(6u, Lifts());
  EXPECT_EQ(2u, Lines().size());
}

TEST_F(CentreText, ASiteIsTriedOnlyWhenItsEightBytesLieInsideTheImage) {
  const uint32_t last = standin::kCentreTextSiteOffsets[5];
  gState.vhudSize = last + 7;
  InstallCentreTextPatch();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Target(i), Operand(i)) << i;
  EXPECT_EQ(VhudConstant(5), Operand(5));
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0, gState.centreTextReported);
  gState.vhudSize = last + 8;
  InstallCentreTextPatch();
  EXPECT_EQ(Target(5), Operand(5));
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());

  // Nothing at all while VHud is not known.
  Poke(Site(0) + 4, Le(VhudConstant(0)));
  gState.vhudBase = 0;
  std::vector<uint8_t> before = Image();
  InstallCentreTextPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(6u, Lifts());
}

TEST_F(CentreText, UnreadableSitesAreSkippedSilently) {
  uintptr_t page = Site(0) & ~uintptr_t{0xFFF};
  ASSERT_EQ(page, Site(5) & ~uintptr_t{0xFFF});
  sim::SetProtect(page, 0x1000, sim::kPageExecuteRead | sim::kPageGuard);
  InstallCentreTextPatch();
  sim::SetProtect(page, 0x1000, sim::kPageNoAccess);
  InstallCentreTextPatch();
  sim::SetProtect(page, 0x1000, sim::kPageExecuteRead);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(VhudConstant(i), Operand(i)) << i;
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0u, Lifts());
  InstallCentreTextPatch();
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
}

TEST_F(CentreText, WrongOperationOrAddressingIsAMismatchOfThatSiteOnly) {
  Poke(Site(0) + 2, {0x58});  // an add where a subtract is expected
  Poke(Site(3) + 3, {0x45});  // register-relative, not absolute
  for (int pass = 0; pass < 2; ++pass) InstallCentreTextPatch();
  EXPECT_EQ(std::vector<std::string>{kMismatchAt + "name-y"}, Lines());
  EXPECT_EQ(VhudConstant(0), Operand(0));
  EXPECT_EQ(VhudConstant(3), Operand(3));
  for (int i : {1, 2, 4, 5}) EXPECT_EQ(Target(i), Operand(i)) << i;
  // Both repaired: in place from then on, and still no success report.
  Poke(Site(0) + 2, {0x5C});
  Poke(Site(3) + 3, {0x05});
  for (int pass = 0; pass < 2; ++pass) InstallCentreTextPatch();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Target(i), Operand(i)) << i;
  EXPECT_EQ(std::vector<std::string>{kMismatchAt + "name-y"}, Lines());
}

TEST_F(CentreText, TheFourthSiteAloneNamesItsLabel) {
  Poke(Site(3) + 2, {0x5C});  // a subtract where an add is expected
  InstallCentreTextPatch();
  EXPECT_EQ(std::vector<std::string>{kMismatchAt + "count-x"}, Lines());
  EXPECT_EQ(VhudConstant(3), Operand(3));
}

TEST_F(CentreText, OperandsAlreadyRepointedAreReportedWithoutAWrite) {
  for (int i = 0; i < 6; ++i) Poke(Site(i) + 4, Le(Target(i)));
  std::vector<uint8_t> before = Image();
  for (int pass = 0; pass < 3; ++pass) InstallCentreTextPatch();
  EXPECT_TRUE(Diff(before, Image()).empty());
  EXPECT_EQ(0u, Lifts());
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
}

TEST_F(CentreText, MismatchAndRefusalInOnePassLogOnlyTheMismatch) {
  Poke(Site(0), {0x66});
  // Sites 2 and 3 lift first; the fourth site's lift is the third.
  sim::Fault().virtualProtectFailAt = 3;
  InstallCentreTextPatch();
  EXPECT_EQ(std::vector<std::string>{kMismatchAt + "name-y"}, Lines());
  EXPECT_EQ(VhudConstant(3), Operand(3));
  for (int i : {1, 2, 4, 5}) EXPECT_EQ(Target(i), Operand(i)) << i;
  Poke(Site(0), {0xF3});
  for (int pass = 0; pass < 3; ++pass) InstallCentreTextPatch();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Target(i), Operand(i)) << i;
  EXPECT_EQ(std::vector<std::string>{kMismatchAt + "name-y"}, Lines());
}

TEST_F(CentreText, ARefusedProtectionIsTheOnlyReport) {
  sim::Fault().virtualProtectFailAt = 1;
  InstallCentreTextPatch();
  EXPECT_EQ(VhudConstant(0), Operand(0));
  for (int i = 1; i < 6; ++i) EXPECT_EQ(Target(i), Operand(i)) << i;
  InstallCentreTextPatch();
  EXPECT_EQ(Target(0), Operand(0));
  InstallCentreTextPatch();
  EXPECT_EQ(std::vector<std::string>{kProtectFailed}, Lines());
}

TEST_F(CentreText, AfterSuccessLaterFailuresAreSilent) {
  InstallCentreTextPatch();
  Poke(Site(2) + 4, Le(VhudConstant(2)));  // put back by another party
  Poke(Site(4), {0x90});
  sim::Fault().virtualProtectFailAll = true;
  InstallCentreTextPatch();
  sim::Fault().virtualProtectFailAll = false;
  InstallCentreTextPatch();
  EXPECT_EQ(Target(2), Operand(2));
  EXPECT_EQ((std::vector<std::string>{kOk, kInfo}), Lines());
}

}  // namespace
}  // namespace wheel
