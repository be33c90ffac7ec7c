// Where the health and armour icons are drawn through the game's DrawSprite:
// bit-exact placement for every screen, and no draw without a screen size.
#include <limits.h>

#include "test_hud_fixture.h"

namespace hudtest {
namespace {

// ---- Placement ------------------------------------------------------------------

struct Placement {
  uint32_t x, healthY, armourY, size;
};

// The same arithmetic, one single-precision operation at a time.
Placement Compute(int32_t width, int32_t height) {
  volatile float h = static_cast<float>(height);
  volatile float w = static_cast<float>(width);
  volatile float scale = h / 1080.0f;
  volatile float size = 24.0f * scale;
  volatile float aspect = w / h;
  volatile float half = w * 0.5f;
  volatile float shift = -882.0f * scale;
  volatile float wide = half + shift;
  volatile float narrow = 78.0f * scale;
  volatile float base = aspect >= FloatOf(0x3FE38E39) ? wide : narrow;
  volatile float left = -64.0f * scale;
  volatile float x = left + base;
  volatile float up = -892.0f * scale;
  volatile float healthY = up + h;
  volatile float down = scale * -867.0f;
  volatile float armourY = down + h;
  return {Bits(x), Bits(healthY), Bits(armourY), Bits(size)};
}

TEST_F(HudIconTest, PlacementIsBitExactForEveryScreen) {
  uintptr_t health = standin::MakeTexture(64, 64);
  uintptr_t armour = standin::MakeTexture(64, 64);
  standin::SetLoadResults(static_cast<uint32_t>(health), static_cast<uint32_t>(armour));
  const struct {
    int32_t width, height;
    Placement expected;
    const char* decimals[4];  // x, healthY, armourY, size as single-precision decimals
  } kScreens[] = {
      {1920,
       1080,
       {0x41600000, 0x433C0000, 0x43550000, 0x41C00000},
       {"14.0", "188.0", "213.0", "24.0"}},
      {1280,
       1024,
       {0x41546298, 0x4332407C, 0x4349F4A0, 0x41B60B60},
       {"13.274071", "178.25189", "201.95557", "22.755554"}},
      {2560,
       1080,
       {0x43A70000, 0x433C0000, 0x43550000, 0x41C00000},
       {"334.0", "188.0", "213.0", "24.0"}},
      // Exactly at the threshold, where the two anchors differ in the last
      // bits: the wide one (the narrow one would give 0x40EEEEF0).
      {1024,
       576,
       {0x40EEEEB8, 0x42C88884, 0x42E33330, 0x414CCCCE},
       {nullptr, nullptr, nullptr, nullptr}},
      // 1.7708333: narrow anchor.
      {1360,
       768,
       {0x411F49F4, 0x4305B05C, 0x43177778, 0x41888889},
       {"9.955555", nullptr, nullptr, nullptr}},
      // 1.7786459: wide anchor.
      {1366,
       768,
       {0x41249F3C, 0x4305B05C, 0x43177778, 0x41888889},
       {"10.288876", nullptr, nullptr, nullptr}},
  };
  for (const auto& s : kScreens) {
    SCOPED_TRACE(std::to_string(s.width) + " x " + std::to_string(s.height));
    // The hard-coded patterns agree with the decimals and with the arithmetic.
    const uint32_t expected[4] = {s.expected.x, s.expected.healthY, s.expected.armourY,
                                  s.expected.size};
    for (int i = 0; i < 4; ++i) {
      if (s.decimals[i] != nullptr) {
        EXPECT_EQ(Bits(strtof(s.decimals[i], nullptr)), expected[i]) << s.decimals[i];
      }
    }
    Placement computed = Compute(s.width, s.height);
    EXPECT_EQ(computed.x, s.expected.x);
    EXPECT_EQ(computed.healthY, s.expected.healthY);
    EXPECT_EQ(computed.armourY, s.expected.armourY);
    EXPECT_EQ(computed.size, s.expected.size);

    standin::SetScreen(s.width, s.height);
    uint32_t first = Draws();
    standin::RunHudFrame();
    ASSERT_EQ(Draws(), first + 2);
    const standin::DrawRecord& h = Draw(first);
    const standin::DrawRecord& a = Draw(first + 1);
    EXPECT_EQ(h.sprite, reinterpret_cast<uintptr_t>(&gState.healthIcon));
    EXPECT_EQ(h.texture, health);
    EXPECT_EQ(h.x, s.expected.x);
    EXPECT_EQ(h.y, s.expected.healthY);
    EXPECT_EQ(h.width, s.expected.size);
    EXPECT_EQ(h.height, s.expected.size);
    EXPECT_EQ(a.sprite, reinterpret_cast<uintptr_t>(&gState.armourIcon));
    EXPECT_EQ(a.texture, armour);
    EXPECT_EQ(a.x, s.expected.x);
    EXPECT_EQ(a.y, s.expected.armourY);
    EXPECT_EQ(a.width, s.expected.size);
    EXPECT_EQ(a.height, s.expected.size);
    for (const standin::DrawRecord* d : {&h, &a}) {
      EXPECT_EQ(d->colour[0], 255);
      EXPECT_EQ(d->colour[1], 255);
      EXPECT_EQ(d->colour[2], 255);
      EXPECT_EQ(d->colour[3], 255);
      EXPECT_NE(d->colourAddress, 0u);
    }
  }
}

TEST_F(HudIconTest, NoDrawWithoutScreenSizeAndFirstDrawLineWaits) {
  uintptr_t health = standin::MakeTexture(64, 64);
  uintptr_t armour = standin::MakeTexture(64, 64);
  standin::SetLoadResults(static_cast<uint32_t>(health), static_cast<uint32_t>(armour));
  const int32_t kBad[][2] = {{1920, 0}, {0, 1080}, {1920, -1080}, {-1, 1080}, {INT_MIN, 1}};
  for (const auto& size : kBad) {
    standin::SetScreen(size[0], size[1]);
    standin::RunHudFrame();
  }
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(gState.firstDrawReported, 0);
  Lines lines = TakeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "[LOAD]" + Pointers(health, armour));

  // The smallest valid screen draws, and the first-draw line follows.
  standin::SetScreen(1, 1);
  standin::RunHudFrame();
  EXPECT_EQ(Draws(), 2u);
  EXPECT_EQ(TakeLines(), Lines({"[DRAW] first successful draw" + Pointers(health, armour)}));
  standin::SetScreen(1920, 1080);
  Frames(2);
  EXPECT_EQ(Draws(), 6u);
  EXPECT_TRUE(NewLines().empty());
}

}  // namespace
}  // namespace hudtest
