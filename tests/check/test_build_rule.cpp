// The build rule on sampled sites: the known build's bytes, some altered,
// some unreadable, the plug-in's own patches, and other parties' jumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/check/vhud_file.h"
#include "wheel/sites.h"

namespace {

using namespace vhudfile;

// The sites' bytes as in a file (no plug-in) or in the game (the plug-in's
// call and jump targets `redirect` and `cave`), with some altered, some
// unreadable, and some starting with another party's 5-byte jump (a CALL at
// the rotate call, a JMP elsewhere) to `target`.
constexpr uint32_t kTheirs = 0x70001000;  // another party's code
struct BuildCase {
  const char* name;
  std::vector<uint32_t> altered;     // image offsets whose byte is flipped
  std::vector<uint32_t> unreadable;  // kBuildSites indexes
  bool patched;                      // the plug-in's call and jump in place
  uint32_t matching;
  uint8_t jumped = 0;  // bit i: kBuildSites[i]
  uint32_t judged = 38;
  bool known = true;
  uint32_t target = kTheirs;
};

TEST(CheckBuild, MoreThanHalfOfTheKnownBytesMakeTheKnownBuild) {
  constexpr uint32_t kRedirect = 0x6A001000, kCave = 0x6A002000;
  constexpr ImageRange kPlugin = {0x6A000000, 0x10000};
  constexpr ImageRange kVhud = {kDefaultBase, kFullSize};
  auto bytes = [](uint32_t from, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back(from + i);
    return v;
  };
  auto join = [](std::vector<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> v;
    for (auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  const auto rotateAndSpacing = join({bytes(kRotateSite, 5), bytes(kSpacingSite, 9)});
  std::vector<uint32_t> every = rotateAndSpacing;  // another build: every judged byte other
  for (const CentreSite& c : kCentreSites) every = join({every, bytes(c.offset, 4)});
  const auto rotateAndExtraX = join({bytes(kRotateSite, 5), bytes(kCentreSites[5].offset, 4)});
  const std::vector<BuildCase> cases = {
      {"AllOriginal", {}, {}, false, 38},
      {"TwentyLeft", join({rotateAndSpacing, bytes(kCentreSites[0].offset, 4)}), {}, false, 20},
      {"NineteenLeft",
       join({rotateAndSpacing, bytes(kCentreSites[0].offset, 4), {kCentreSites[1].offset}}),
       {},
       false,
       19,
       0,
       38,
       false},
      {"OperandsDoNotCount", bytes(kCentreSites[5].offset + 4, 4), {}, false, 38},
      {"PatchedCountsWhole",
       join({bytes(kCentreSites[0].offset, 4), bytes(kCentreSites[1].offset, 4),
             bytes(kCentreSites[2].offset, 4)}),
       {},
       true,
       26},
      {"TwoSitesUnreadable", {}, {0, 1}, false, 24},
      {"ThreeSitesUnreadable", {}, {0, 1, 2}, false, 20},
      {"FourSitesUnreadable", {}, {0, 1, 2, 3}, false, 16, 0, 38, false},
      // Another party's jumps are left out; at least 18 bytes must remain.
      {"FiveCentreJumps", {}, {}, false, 18, 0x7C, 18},
      {"FiveCentreJumpsOnThePatchedBuild", {}, {}, true, 18, 0x7C, 18},
      {"RotateCallLeadsElsewhere", {}, {}, false, 33, 0x01, 33},
      {"SpacingJumpedAndOneByteOff", {kRotateSite}, {}, false, 28, 0x02, 29},
      {"SixCentreJumps", {}, {}, false, 14, 0xFC, 14, false},
      {"EverySiteJumped", {}, {}, false, 0, 0xFF, 0, false},
      // Jumps into VHud or into the plug-in are mismatches.
      {"JumpsIntoVhud", {}, {}, false, 18, 0x7C, 38, false, kDefaultBase + 0x1000},
      {"JumpsIntoThePlugin", {}, {}, false, 18, 0x7C, 38, false, kPlugin.base + 0x10},
      // Another build stays another build with jumps or stray E8/E9 bytes.
      {"OtherBuildWithJumps", every, {}, false, 0, 0x0D, 25, false},
      {"OtherBuildWithStrayBytes", every, {}, false, 0, 0x92, 21, false, 0xFFFFFFF0u},
      {"OtherBuildWithVhudsSpacingBytesAtTheFloor", rotateAndExtraX, {}, false, 9, 0x7C, 18, false},
  };
  const std::vector<uint8_t> file = Build();
  for (const BuildCase& bc : cases) {
    BuildSample sample = {};
    for (uint32_t i = 0; i < kBuildSiteCount; ++i) {
      const BuildSite& s = kBuildSites[i];
      sample.readable[i] =
          std::find(bc.unreadable.begin(), bc.unreadable.end(), i) == bc.unreadable.end();
      sample.whole[i] = sample.readable[i];
      for (uint32_t k = 0; k < s.length; ++k) {
        uint8_t b = file[WheelFileOffset(s.offset + k)];
        bool flip =
            std::find(bc.altered.begin(), bc.altered.end(), s.offset + k) != bc.altered.end();
        sample.bytes[s.at + k] = flip ? static_cast<uint8_t>(~b) : b;
      }
    }
    for (uint32_t i = 0; i < kBuildSiteCount; ++i) {
      std::vector<uint8_t> b =
          Rel(i == 0 ? 0xE8 : 0xE9, kDefaultBase, kBuildSites[i].offset, bc.target);
      if ((bc.jumped >> i) & 1) std::copy(b.begin(), b.end(), sample.bytes + kBuildSites[i].at);
    }
    if (bc.patched) {
      std::vector<uint8_t> call = Rel(0xE8, kDefaultBase, kRotateSite, kRedirect);
      std::vector<uint8_t> jump = Rel(0xE9, kDefaultBase, kSpacingSite + 3, kCave);
      std::copy(call.begin(), call.end(), sample.bytes + kBuildSites[0].at);
      std::copy(jump.begin(), jump.end(), sample.bytes + kBuildSites[1].at + 3);
      sample.bytes[kBuildSites[1].at + 8] = 0x90;
      // A file holds no plug-in: there the same bytes are another build's.
      EXPECT_FALSE(RecogniseBuild(sample, kVhud, 0, 0, {0, 0}).known) << bc.name;
    }
    const BuildVerdict v = RecogniseBuild(sample, kVhud, kRedirect, kCave, kPlugin);
    EXPECT_EQ(v.matching, bc.matching) << bc.name;
    EXPECT_EQ(v.judged, bc.judged) << bc.name;
    EXPECT_EQ(v.foreign, bc.judged == 38 ? 0 : bc.jumped) << bc.name;
    EXPECT_EQ(v.known, bc.known) << bc.name;
  }
}

}  // namespace
