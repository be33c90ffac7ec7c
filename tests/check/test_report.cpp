// Verdicts and first-pass log lines of the checker on synthesized images:
// all sites original, each site altered, each size bound met and missed, and
// the report's wording.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check/check.h"
#include "check/pe_image.h"
#include "tests/check/expected_report.h"
#include "tests/check/vhud_file.h"
#include "wheel/sites.h"

namespace {

using namespace vhudfile;
using Lines = std::vector<std::string>;

const std::string kStaticOk =
    "[WHEEL][OK] static-slot patch installed; original RotateVertices=0x10050290";
const std::string kStaticNotCall =
    "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped";
const std::string kSpacingOk1 =
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]";
const std::string kSpacingOk2 =
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8";
const std::string kSpacingMismatch =
    "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped";
const std::string kCentreOk1 =
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]";
const std::string kCentreOk2 =
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)";
const std::string kCentreMismatch = "[WHEEL][ERR] centre-text signature mismatch at ";

struct Checked {
  check::PeImage image;
  check::Analysis analysis;
};

Checked CheckFile(const std::vector<uint8_t>& file) {
  Checked c;
  std::string error;
  EXPECT_TRUE(check::MapPeImage(file.data(), file.size(), &c.image, &error)) << error;
  c.analysis = check::Analyse(c.image.memory.data(), c.image.sizeOfImage, c.image.imageBase);
  return c;
}

std::vector<bool> GoesIn(const check::Analysis& a) {
  return {a.patches[0].goesIn, a.patches[1].goesIn, a.patches[2].goesIn};
}

void Poke(std::vector<uint8_t>& file, uint32_t rva, std::vector<uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    file.at(WheelFileOffset(rva + static_cast<uint32_t>(i))) = bytes[i];
  }
}

bool Has(const Lines& report, const std::string& line) {
  return std::find(report.begin(), report.end(), line) != report.end();
}

TEST(CheckAllOriginal, EveryPatchGoesInWithTheSuccessLinesInOrder) {
  Checked c = CheckFile(Build());
  const check::Analysis& a = c.analysis;
  EXPECT_EQ(a.base, kDefaultBase);
  EXPECT_EQ(a.size, kFullSize);
  EXPECT_TRUE(a.AllGoIn());
  EXPECT_TRUE(a.radarInImage);
  EXPECT_EQ(a.FirstPassLog(), (Lines{kStaticOk, kSpacingOk1, kSpacingOk2, kCentreOk1, kCentreOk2}));
  ASSERT_EQ(a.patches[2].sites.size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    const check::SiteResult& s = a.patches[2].sites[i];
    EXPECT_EQ(s.label, kCentreSites[i].label);
    EXPECT_EQ(s.offset, kCentreSites[i].offset);
    EXPECT_TRUE(s.goesIn);
    EXPECT_EQ(s.verdict, "would go in: operand " + check::Hex(kDefaultBase + kConstants + 4 * i) +
                             " re-pointed");
  }
  EXPECT_EQ(a.patches[0].sites[0].bytes, (std::vector<uint8_t>{0xE8, 0xE3, 0x34, 0xFE, 0xFF}));
}

TEST(CheckAllOriginal, ReportMatchesLineByLine) {
  Checked c = CheckFile(Build());
  EXPECT_EQ(check::FormatReport("VHud.asi", 9216, c.image, c.analysis),
            AllOriginalReport("VHud.asi"));
}

TEST(CheckAllOriginal, LoadAddressMovesTheLoggedAddressesOnly) {
  Checked c = CheckFile(Build(0x00400000));
  EXPECT_TRUE(c.analysis.AllGoIn());
  EXPECT_EQ(c.analysis.FirstPassLog()[0],
            "[WHEEL][OK] static-slot patch installed; original RotateVertices=0x00450290");
  EXPECT_EQ(c.analysis.patches[2].sites[5].verdict, "would go in: operand 0x0046CF14 re-pointed");
}

TEST(CheckStaticSlot, NoCallOpcodeIsSkippedWithTheOpcodeLine) {
  for (uint8_t opcode : {0xE9, 0x00, 0xFF, 0xE7}) {
    std::vector<uint8_t> file = Build();
    Poke(file, kRotateSite, {opcode});
    Checked c = CheckFile(file);
    EXPECT_EQ(GoesIn(c.analysis), (std::vector<bool>{false, true, true}));
    EXPECT_EQ(c.analysis.patches[0].log, Lines{kStaticNotCall}) << int{opcode};
    EXPECT_EQ(c.analysis.patches[0].sites[0].verdict, "skipped: no CALL (E8) at the site");
  }
}

TEST(CheckStaticSlot, EveryDisplacementByteAlteredNamesBothTargets) {
  for (uint32_t k = 1; k <= 4; ++k) {
    std::vector<uint8_t> file = Build();
    file[WheelFileOffset(kRotateSite + k)] ^= 0x01;
    uint32_t disp = Get32(file, WheelFileOffset(kRotateSite + 1));
    uint32_t target = kDefaultBase + kRotateSite + 5 + disp;
    Checked c = CheckFile(file);
    EXPECT_EQ(GoesIn(c.analysis), (std::vector<bool>{false, true, true}));
    EXPECT_EQ(c.analysis.patches[0].log, Lines{"[WHEEL][ERR] unexpected RotateVertices target=" +
                                               check::Hex(target) + " expected=0x10050290"})
        << k;
  }
}

TEST(CheckStaticSlot, CallToAddressZeroIsAnotherTarget) {
  // No plug-in code lies at 0: such a call is neither redirected nor VHud's.
  std::vector<uint8_t> file = Build();
  Poke(file, kRotateSite, Rel(0xE8, kDefaultBase, kRotateSite, 0));
  Checked c = CheckFile(file);
  EXPECT_EQ(c.analysis.patches[0].log,
            Lines{"[WHEEL][ERR] unexpected RotateVertices target=0x00000000 expected=0x10050290"});
  // Nor is it the plug-in's: another party's jump, left out of the build rule.
  EXPECT_EQ(c.analysis.patches[0].sites[0].verdict,
            "skipped: CALL to 0x00000000, not to RotateVertices 0x10050290; another party's jump "
            "(0x00000000, outside VHud): left out of the build rule");
  const Lines report = check::FormatReport("v.asi", file.size(), c.image, c.analysis);
  EXPECT_TRUE(Has(report,
                  "  build: 33 of the 33 bytes that remain at the known sites are the known VHud "
                  "build's (5 at another party's jumps left out; at least 18 must remain, more "
                  "than half of them the known build's): recognised"));
}

TEST(CheckStaticSlot, RotateVerticesAtAddressZeroIsStillVhudsOwn) {
  const uint32_t base = 0u - 0x50290u;
  Checked c = CheckFile(Build(base));
  EXPECT_TRUE(c.analysis.patches[0].goesIn);
  EXPECT_EQ(c.analysis.patches[0].log,
            Lines{"[WHEEL][OK] static-slot patch installed; original RotateVertices=0x00000000"});
}

TEST(CheckSpacing, EverySignatureByteAlteredIsAMismatch) {
  for (uint32_t k = 0; k < 9; ++k) {
    std::vector<uint8_t> file = Build();
    file[WheelFileOffset(kSpacingSite + k)] ^= 0x40;
    Checked c = CheckFile(file);
    EXPECT_EQ(GoesIn(c.analysis), (std::vector<bool>{true, false, true})) << k;
    EXPECT_EQ(c.analysis.FirstPassLog(),
              (Lines{kStaticOk, kSpacingMismatch, kCentreOk1, kCentreOk2}))
        << k;
    EXPECT_EQ(c.analysis.patches[1].sites[0].verdict, "skipped: not 8B 7A 44 8D 8D A4 C0 FF FF");
  }
}

// At +0 (as earlier builds placed it) or in place at +3, a jump leads to no
// plug-in in a file: a mismatch either way.
TEST(CheckSpacing, JumpsToZeroOrElsewhereAreMismatches) {
  for (uint32_t at : {0u, 3u}) {
    for (uint32_t target : {0u, kDefaultBase + 0x1000u}) {
      std::vector<uint8_t> file = Build();
      Poke(file, kSpacingSite + at, Rel(0xE9, kDefaultBase, kSpacingSite + at, target));
      for (uint32_t i = at + 5; i < 9; ++i) Poke(file, kSpacingSite + i, {0x90});
      Checked c = CheckFile(file);
      EXPECT_EQ(c.analysis.patches[1].log, Lines{kSpacingMismatch}) << at << " " << target;
      EXPECT_TRUE(c.analysis.patches[1].sites[0].writes.empty());
    }
  }
}

TEST(CheckCentreText, EveryOpcodeByteOfEverySiteAlteredNamesThatSite) {
  for (uint32_t i = 0; i < 6; ++i) {
    for (uint32_t k = 0; k < 4; ++k) {
      std::vector<uint8_t> file = Build();
      file[WheelFileOffset(kCentreSites[i].offset + k)] ^= 0x02;
      Checked c = CheckFile(file);
      EXPECT_EQ(GoesIn(c.analysis), (std::vector<bool>{true, true, false}));
      EXPECT_EQ(c.analysis.FirstPassLog(), (Lines{kStaticOk, kSpacingOk1, kSpacingOk2,
                                                  kCentreMismatch + kCentreSites[i].label}))
          << i << " " << k;
      const check::SiteResult& s = c.analysis.patches[2].sites[i];
      EXPECT_FALSE(s.goesIn);
      EXPECT_EQ(s.verdict, std::string("skipped: not F3 0F ") +
                               (kCentreSites[i].operation == 0x5C ? "5C" : "58") + " 05");
    }
  }
}

TEST(CheckCentreText, AddAndSubtractSwappedAndOtherModRmAreMismatches) {
  std::vector<uint8_t> file = Build();
  Poke(file, kCentreSites[0].offset + 2, {0x58});  // add where a subtract belongs
  Checked c = CheckFile(file);
  EXPECT_EQ(c.analysis.patches[2].log, Lines{kCentreMismatch + "name-y"});

  file = Build();
  Poke(file, kCentreSites[3].offset + 2, {0x5C});  // subtract where an add belongs
  EXPECT_EQ(CheckFile(file).analysis.patches[2].log, Lines{kCentreMismatch + "count-x"});

  file = Build();
  Poke(file, kCentreSites[4].offset + 3, {0x0D});  // XMM1, not XMM0
  EXPECT_EQ(CheckFile(file).analysis.patches[2].log, Lines{kCentreMismatch + "arrow-y"});
}

TEST(CheckCentreText, OnlyTheFirstFailingSiteInTableOrderIsLogged) {
  std::vector<uint8_t> file = Build();
  Poke(file, kCentreSites[4].offset, {0x00});
  Poke(file, kCentreSites[1].offset, {0x00});
  Poke(file, kCentreSites[5].offset, {0x00});
  Checked c = CheckFile(file);
  EXPECT_EQ(c.analysis.patches[2].log, Lines{kCentreMismatch + "name-x"});
  std::vector<bool> sites;
  for (const check::SiteResult& s : c.analysis.patches[2].sites) {
    sites.push_back(s.goesIn);
  }
  EXPECT_EQ(sites, (std::vector<bool>{true, false, true, true, false, false}));
}

TEST(CheckCentreText, AnOperandOfZeroIsRepointed) {
  std::vector<uint8_t> file = Build();
  Poke(file, kCentreSites[2].offset + 4, {0, 0, 0, 0});
  Checked c = CheckFile(file);
  EXPECT_TRUE(c.analysis.patches[2].goesIn);
  EXPECT_EQ(c.analysis.patches[2].sites[2].verdict, "would go in: operand 0x00000000 re-pointed");
  EXPECT_EQ(c.analysis.patches[2].log, (Lines{kCentreOk1, kCentreOk2}));
}

struct BoundCase {
  uint32_t size;
  std::vector<bool> goesIn;
  Lines log;
  bool knownBuild;  // more than 19 of the 38 known bytes lie in the image
};

TEST(CheckSizeBounds, EachSiteIsTriedOnlyWhenItsBytesLieInTheImage) {
  const Lines all = {kStaticOk, kSpacingOk1, kSpacingOk2, kCentreOk1, kCentreOk2};
  const std::vector<BoundCase> cases = {
      {0x6CDAD, {true, true, true}, all, true},
      {0x6CDAC, {false, true, true}, {kSpacingOk1, kSpacingOk2, kCentreOk1, kCentreOk2}, true},
      {0x6C8A9, {false, true, true}, {kSpacingOk1, kSpacingOk2, kCentreOk1, kCentreOk2}, true},
      {0x6C8A8, {false, true, false}, {kSpacingOk1, kSpacingOk2}, true},
      {0x6C597, {false, true, false}, {kSpacingOk1, kSpacingOk2}, true},  // 25 bytes
      {0x6C563, {false, true, false}, {kSpacingOk1, kSpacingOk2}, true},  // 21 bytes
      {0x6C562, {false, false, false}, {}, false},                        // 17 bytes
      {0x6C4A7, {false, false, false}, {}, false},
      {0x6BBE2, {false, false, false}, {}, false},
      {0x6BBE1, {false, false, false}, {}, false},
  };
  for (const BoundCase& bc : cases) {
    Checked c = CheckFile(Build(kDefaultBase, bc.size));
    EXPECT_EQ(c.analysis.knownBuild, bc.knownBuild) << std::hex << bc.size;
    EXPECT_EQ(c.analysis.size, bc.size);
    EXPECT_EQ(GoesIn(c.analysis), bc.goesIn) << std::hex << bc.size;
    EXPECT_EQ(c.analysis.FirstPassLog(), bc.log) << std::hex << bc.size;
    EXPECT_FALSE(c.analysis.radarInImage);
  }
  // Each centre-text site by its own bound: in at offset + 8, out at + 7;
  // below the third site too few known bytes lie in the image to try any.
  for (uint32_t i = 0; i < 6; ++i) {
    for (uint32_t extra : {7u, 8u}) {
      Checked c = CheckFile(Build(kDefaultBase, kCentreSites[i].offset + extra));
      const check::SiteResult& s = c.analysis.patches[2].sites[i];
      EXPECT_EQ(c.analysis.knownBuild, i >= 2) << i;
      EXPECT_EQ(s.inImage, extra == 8) << i;
      EXPECT_EQ(s.goesIn, extra == 8 && i >= 2) << i;
      EXPECT_EQ(s.bytes.size(), extra == 8 ? 8u : 0u);
      if (extra == 7 && i >= 2) {
        EXPECT_EQ(s.verdict, "skipped silently: the site ends past SizeOfImage");
      }
    }
  }
}

TEST(CheckSizeBounds, AMismatchIsLoggedEvenWhenALaterSiteLiesPastTheImage) {
  std::vector<uint8_t> file = Build(kDefaultBase, 0x6C8A8);
  Poke(file, kCentreSites[0].offset, {0xF2});
  EXPECT_EQ(CheckFile(file).analysis.patches[2].log, Lines{kCentreMismatch + "name-y"});
}

TEST(CheckSizeBounds, RadarAndWheelBytesNeedTheWheelByteInsideTheImage) {
  EXPECT_TRUE(CheckFile(Build(kDefaultBase, 0x1049E33)).analysis.radarInImage);
  EXPECT_FALSE(CheckFile(Build(kDefaultBase, 0x1049E32)).analysis.radarInImage);
}

TEST(CheckReport, SkippedPatchesShowTheirSiteVerdictAndLine) {
  std::vector<uint8_t> file = Build(kDefaultBase, 0x6C8A8);
  Poke(file, kSpacingSite, {0xCC});
  Checked c = CheckFile(file);
  Lines report = check::FormatReport("v.asi", file.size(), c.image, c.analysis);
  EXPECT_TRUE(Has(report, "static-slot patch: would be skipped"));
  EXPECT_TRUE(Has(report, "  static-slot  +0x0006CDA8 (no section) (past SizeOfImage)"));
  EXPECT_TRUE(Has(report, "               skipped silently: the site ends past SizeOfImage"));
  EXPECT_TRUE(
      Has(report, "  log: nothing (the plug-in returns silently and retries on every pass)"));
  EXPECT_TRUE(Has(report, "slot-spacing patch: would be skipped"));
  EXPECT_TRUE(Has(report, "  slot-spacing +0x0006BBD9 (.wheel)     CC 7A 44 8D 8D A4 C0 FF FF"));
  EXPECT_TRUE(Has(report, "  log: " + kSpacingMismatch));
  EXPECT_TRUE(Has(report, "  static-slot site        needs 0x0006CDAD  too small"));
  EXPECT_TRUE(Has(report, "  centre-text extra-x     needs 0x0006C8A9  too small"));
  EXPECT_TRUE(Has(report, "  centre-text arrow-y     needs 0x0006C667  ok"));
  EXPECT_TRUE(Has(report,
                  "radar suppression and wheel test: off, silently (SizeOfImage below "
                  "0x01049E33)"));
  EXPECT_EQ(report.back(), "result: 3 of 3 patches would be skipped");
}

TEST(CheckReport, SitesOutsideEverySectionCarryANote) {
  std::vector<uint8_t> file = Build();
  Put16(file, kNumberOfSections, 0);
  Checked c = CheckFile(file);
  Lines report = check::FormatReport("v.asi", file.size(), c.image, c.analysis);
  const std::string note =
      "               note: no section holds these bytes; in memory they may be unmapped";
  EXPECT_EQ(std::count(report.begin(), report.end(), note), 8);
  EXPECT_TRUE(Has(report, "  name-x       +0x0006C4CE (no section) 00 00 00 00 00 00 00 00"));
  const Lines usual = AllOriginalReport("v");
  EXPECT_EQ(std::count(usual.begin(), usual.end(), note), 0);
}

TEST(CheckReport, AllPatchesInWithTheRadarPastTheImageSaysSo) {
  Checked c = CheckFile(Build(kDefaultBase, 0x1049E32));
  Lines report = check::FormatReport("v.asi", 1, c.image, c.analysis);
  EXPECT_EQ(report.back(),
            "result: all 3 patches would go in, but the radar and wheel bytes lie past the image");
}

}  // namespace
