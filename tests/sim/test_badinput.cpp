// Bad input at the patch sites: every single-byte change of the static-slot
// call, the spacing site, the six centre-text instructions and the HUD jump,
// each fed to its installer on a fresh plug-in state. For each: the message
// the installer must write (or silence), its result, the site's bytes
// afterwards, and no byte written anywhere the patch does not own.
//
// Opcode and ModRM bytes, and every byte of the spacing signature, take all
// 255 other values; displacement and operand bytes take a sample that
// includes the extremes and the neighbours of the original. Each case
// compares the pages around the site and the game's code pages with their
// state before the installer ran; at the end of every byte position the
// whole VHud image is compared too.
#include "test_badinput_fixture.h"

namespace badinput {
namespace {

// ---- The static-slot call
// -------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheStaticSlotCall) {
  const uintptr_t site = base_ + kStaticSite;
  const Bytes original = BytesAt(site, 5);
  const uint32_t expected = static_cast<uint32_t>(base_ + 0x50290);
  const uint32_t rotate = Address(reinterpret_cast<void*>(&StaticSlotRotate));
  uint32_t cases = 0;
  for (uint32_t pos = 0; pos < 5; ++pos) {
    for (uint8_t value : Values(original[pos], pos == 0)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(site);
      uint32_t lifts = Lifts();
      InstallStaticSlotPatch();
      Lines want;
      if (pos == 0) {
        want = {"[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped"};
      } else {
        uint32_t target = static_cast<uint32_t>(base_ + 0x6CDAD) + Word(bad.data() + 1);
        if (target != rotate) {
          want = {"[WHEEL][ERR] unexpected RotateVertices target=" + Hex(target) +
                  " expected=" + Hex(expected)};
        }
      }
      EXPECT_EQ(want, TakeLines()) << what;
      EXPECT_EQ(bad, BytesAt(site, 5)) << what;
      EXPECT_EQ(lifts, Lifts()) << what;
      EXPECT_EQ(0u, gState.savedRotateVertices) << what;
      ExpectOnly(site, window, game_, {}, what);
      ++cases;
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
  // The site untouched, the patch still goes in.
  FreshState();
  InstallStaticSlotPatch();
  EXPECT_EQ(1u, TakeLines().size());
  EXPECT_EQ(rotate, static_cast<uint32_t>(site + 5) + Word(BytesAt(site, 5).data() + 1));
  RecordProperty("cases", std::to_string(cases));
}

// ---- The spacing site
// --------------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheSpacingSite) {
  const uintptr_t site = base_ + kSpacingSite;
  const Bytes original = BytesAt(site, 9);
  ASSERT_EQ((Bytes{0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF}), original);
  for (uint32_t pos = 0; pos < 9; ++pos) {
    for (uint8_t value : Values(original[pos], true)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(site);
      uint32_t lifts = Lifts();
      InstallSpacingPatch();
      EXPECT_EQ(Lines{"[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped"},
                TakeLines())
          << what;
      EXPECT_EQ(bad, BytesAt(site, 9)) << what;
      EXPECT_EQ(lifts, Lifts()) << what;
      EXPECT_EQ(0u, gState.spacingReturn) << what;
      ExpectOnly(site, window, game_, {}, what);
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
}

// ---- The six centre-text instructions -----------------------------------------------------------

class BadInputCentreText : public BadInput {
 protected:
  void SetUp() override {
    BadInput::SetUp();
    const float* targets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                               &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
    for (int i = 0; i < 6; ++i) {
      sites_[i] = base_ + standin::kCentreTextSiteOffsets[i];
      originals_[i] = BytesAt(sites_[i], 8);
      targets_[i] = Address(targets[i]);
      for (uint32_t j = 4; j < 8; ++j) {
        owned_.insert(sites_[i] + j);
        ownedOffsets_.insert(standin::kCentreTextSiteOffsets[i] + j);
      }
    }
  }
  void RestoreAll() {
    for (int i = 0; i < 6; ++i) Poke(sites_[i], originals_[i]);
  }
  uintptr_t sites_[6] = {};
  Bytes originals_[6];
  uint32_t targets_[6] = {};
  std::set<uintptr_t> owned_;
  std::set<uint32_t> ownedOffsets_;
};

TEST_F(BadInputCentreText, EverySingleByteChangeOfEachOfTheSixInstructions) {
  const char* const labels[6] = {"name-y", "name-x", "count-y", "count-x", "arrow-y", "extra-x"};
  const Lines success = {
      "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
      "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"};
  for (int s = 0; s < 6; ++s) {
    for (uint32_t pos = 0; pos < 8; ++pos) {
      for (uint8_t value : Values(originals_[s][pos], pos < 4)) {
        std::string what =
            std::string(labels[s]) + " byte " + std::to_string(pos) + " = " + Hex(value);
        FreshState();
        RestoreAll();
        Bytes bad = originals_[s];
        bad[pos] = value;
        Poke(sites_[s], bad);
        Bytes window = Window(sites_[s]);
        InstallCentreTextPatch();
        Lines lines = TakeLines();
        if (pos < 4) {
          // The instruction is not the one expected: reported by its label,
          // left as it is; the other five are re-pointed all the same.
          EXPECT_EQ(
              Lines{"[WHEEL][ERR] centre-text signature mismatch at " + std::string(labels[s])},
              lines)
              << what;
          EXPECT_EQ(bad, BytesAt(sites_[s], 8)) << what;
        } else {
          // Only the operand differs: re-pointed like VHud's own.
          EXPECT_EQ(success, lines) << what;
        }
        for (int o = 0; o < 6; ++o) {
          if (o == s && pos < 4) continue;
          Bytes want = originals_[o];
          for (int j = 0; j < 4; ++j) want[4 + j] = static_cast<uint8_t>(targets_[o] >> (8 * j));
          EXPECT_EQ(want, BytesAt(sites_[o], 8)) << what << ", site " << labels[o];
        }
        ExpectOnly(sites_[s], window, game_, owned_, what);
      }
      RestoreAll();
      ExpectImageAsBuilt({}, std::string(labels[s]) + " after byte " + std::to_string(pos));
    }
  }
}

// ---- The HUD jump
// ----------------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheHudJump) {
  const uintptr_t site = standin::kGameHudJump;
  const Bytes original = BytesAt(site, 5);
  const uint32_t hook = Address(reinterpret_cast<void*>(&HudFrameHook));
  const uint32_t vhudEnd = static_cast<uint32_t>(base_) + world_.vhudSize;
  const std::set<uintptr_t> owned = Range(site + 1, 4);
  uint32_t inside = 0, outside = 0;
  for (uint32_t pos = 0; pos < 5; ++pos) {
    for (uint8_t value : Values(original[pos], pos == 0)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(base_ + kStaticSite);
      Bytes game = GameCode();
      uint32_t lifts = Lifts();
      int32_t result = InstallHudHook();
      Lines lines = TakeLines();
      uint32_t target = static_cast<uint32_t>(site + 5) + Word(bad.data() + 1);
      if (pos == 0) {
        // Not a jump: nothing at all.
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(Lines{}, lines) << what;
        EXPECT_EQ(bad, BytesAt(site, 5)) << what;
        EXPECT_EQ(lifts, Lifts()) << what;
      } else if (target == hook) {
        EXPECT_EQ(1, result) << what;
        EXPECT_EQ(Lines{}, lines) << what;
      } else if (target >= base_ && target < vhudEnd) {
        ++inside;
        EXPECT_EQ(1, result) << what;
        EXPECT_EQ(Lines{"[HOOK] installed; original=" + Hex(target) + " hook=" + Hex(hook)}, lines)
            << what;
        EXPECT_EQ(target, gState.savedHudTarget) << what;
        Bytes want = {0xE9};
        for (int j = 0; j < 4; ++j) {
          want.push_back(static_cast<uint8_t>((hook - static_cast<uint32_t>(site + 5)) >> (8 * j)));
        }
        EXPECT_EQ(want, BytesAt(site, 5)) << what;
        EXPECT_EQ(lifts + 1, Lifts()) << what;
      } else {
        ++outside;
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(Lines{"[WARN] HUD jump target is outside VHud: " + Hex(target)}, lines) << what;
        EXPECT_EQ(bad, BytesAt(site, 5)) << what;
        EXPECT_EQ(0u, gState.savedHudTarget) << what;
        EXPECT_EQ(lifts, Lifts()) << what;
      }
      ExpectOnly(base_ + kStaticSite, window, game, owned, what);
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
  // Both sides of VHud's range were met.
  EXPECT_GT(inside, 0u);
  EXPECT_GT(outside, 0u);
}

}  // namespace
}  // namespace badinput
