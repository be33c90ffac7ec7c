#include "host/host.h"
#include "hud/hud.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kIconRetryPeriod = 30;
constexpr float kAspectThreshold = 1.7777778f;

// The byte is read afresh: VHud's routine has run since the radar step.
bool WheelOpen(uintptr_t readableWheel) {
  return readableWheel != 0 && ReadByte(readableWheel) != 0;
}

uint32_t LoadIcon(const char* name) {
  auto load = reinterpret_cast<vhud::LoadSpriteFn>(gState.vhudBase + vhud::kLoadSprite);
  return load("VHud\\icons", name);
}

// Inlined into the overlay, which tests both icons on every frame.
__attribute__((always_inline)) inline bool UsableIcon(RegionAnswers& answers, uint32_t texture) {
  if (!IsRangeReadable(answers, texture, host::kTextureReadable)) {
    return false;
  }
  uintptr_t raster = ReadWord(texture);
  if (!IsRangeReadable(answers, raster, host::kRasterReadable)) {
    return false;
  }
  uint32_t width = ReadWord(raster + host::kRasterWidthOffset);
  uint32_t height = ReadWord(raster + host::kRasterHeightOffset);
  return width - 1u < 4096u && height - 1u < 4096u;
}

}  // namespace

int32_t IsIconUsable(RegionAnswers& answers, uint32_t texture) {
  return UsableIcon(answers, texture) ? 1 : 0;
}

void LogIconPointers(const char* tag, uint32_t health, uint32_t armour) {
  char line[160];
  line[0] = '\0';
  AppendText(line, tag, sizeof(line));
  AppendText(line, " health=", sizeof(line));
  AppendHex(line, health, sizeof(line));
  AppendText(line, " armour=", sizeof(line));
  AppendHex(line, armour, sizeof(line));
  LogLine(line, LogFrom::HudFrame);
}

IconPlacement PlaceIcons(int32_t width, int32_t height) {
  float h = static_cast<float>(height);
  float w = static_cast<float>(width);
  float scale = h / 1080.0f;
  float size = 24.0f * scale;
  float aspect = w / h;
  float wide = (w * 0.5f) + (-882.0f * scale);
  float narrow = 78.0f * scale;
  float base = (aspect >= kAspectThreshold) ? wide : narrow;
  IconPlacement p;
  p.x = (-64.0f * scale) + base;
  p.healthY = (-892.0f * scale) + h;
  p.armourY = (scale * -867.0f) + h;
  p.size = size;
  return p;
}

void RunIconOverlay(RegionAnswers& answers, uintptr_t readableWheel) {
  if (WheelOpen(readableWheel)) {
    ReportOnce(&gState.iconsHiddenReported,
               "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open", nullptr,
               LogFrom::HudFrame);
    return;
  }
  bool healthUsable = UsableIcon(answers, gState.healthIcon.texture);
  bool armourUsable = UsableIcon(answers, gState.armourIcon.texture);
  if (!(healthUsable && armourUsable)) {
    if (gState.iconRetryCountdown != 0) {
      --gState.iconRetryCountdown;
    } else {
      gState.iconRetryCountdown = kIconRetryPeriod;
      if (!healthUsable && gState.vhudBase != 0) {
        gState.healthIcon.texture = LoadIcon("health_icon");
      }
      if (!armourUsable && gState.vhudBase != 0) {
        gState.armourIcon.texture = LoadIcon("armour_icon");
      }
      // VHud's loader may have made or released the memory the new textures
      // lie in: what was said about memory before it is not relied on after.
      ForgetAnswers(answers);
      LogIconPointers("[LOAD]", gState.healthIcon.texture, gState.armourIcon.texture);
      healthUsable = IsIconUsable(answers, gState.healthIcon.texture) != 0;
      if (!healthUsable) {
        LogLine("[WARN] health_icon texture/raster invalid; will retry", LogFrom::HudFrame);
      }
      armourUsable = IsIconUsable(answers, gState.armourIcon.texture) != 0;
      if (!armourUsable) {
        LogLine("[WARN] armour_icon texture/raster invalid; will retry", LogFrom::HudFrame);
      }
    }
  }
  // Nothing but the log has run since each slot was last tested in this
  // frame: those verdicts decide the draws.
  if (!healthUsable && !armourUsable) {
    return;
  }
  int32_t width = ReadInt(host::kScreenWidth);
  int32_t height = ReadInt(host::kScreenHeight);
  if (width < 1 || height < 1) {
    return;
  }
  IconPlacement p = PlaceIcons(width, height);
  const uint8_t colour[4] = {255, 255, 255, 255};
  auto draw = reinterpret_cast<host::DrawSpriteFn>(host::kDrawSprite);
  if (healthUsable) {
    draw(&gState.healthIcon, p.x, p.healthY, p.size, p.size, colour);
  }
  if (armourUsable) {
    draw(&gState.armourIcon, p.x, p.armourY, p.size, p.size, colour);
  }
  if (gState.firstDrawReported == 0) {
    LogIconPointers("[DRAW] first successful draw", gState.healthIcon.texture,
                    gState.armourIcon.texture);
    gState.firstDrawReported = 1;
  }
}
