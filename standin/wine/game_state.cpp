// What the steps set in the game and in VHud: the player record that
// QueryPlayerPed returns, what VHudLoadSprite returns for the two icons, the
// screen size, the game's flags and VHud's wheel and radar bytes.
#include <stdlib.h>
#include <string.h>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/game.h"

namespace game {
namespace {

// Two player character records (health at 1344, 1348 bytes); QueryPlayerPed
// returns one of them or none.
alignas(16) uint8_t gPlayers[2][1348];
uint32_t gPlayerIndex = 0;
// Icon textures: a texture's first word is its raster; a raster's width and
// height are the words at 12 and 16.
alignas(16) uint32_t gHealthTexture[2];
alignas(16) uint32_t gArmourTexture[2];
alignas(16) int32_t gHealthRaster[6];
alignas(16) int32_t gArmourRaster[6];

void ReportFlag(const char* name, uint32_t value) {
  Json line = Event("flag");
  line["name"] = Text(name);
  line["value"] = value;
  Emit(line);
}

}  // namespace

void SetPlayer(const char* value, bool another) {
  Json line = Event("player");
  if (!another && strcmp(value, "none") == 0) {
    standin::SetPlayer(0);
    line["record"] = Hex(0);
  } else {
    if (another) {
      gPlayerIndex ^= 1;
    }
    uint8_t* record = gPlayers[gPlayerIndex];
    float health = static_cast<float>(atof(value));
    memcpy(record + 1344, &health, sizeof(health));
    standin::SetPlayer(reinterpret_cast<uintptr_t>(record));
    line["record"] = Hex(reinterpret_cast<uintptr_t>(record));
    line["health"] = Hex(Bits(health));
    line["health_value"] = Decimal(health);
  }
  Emit(line);
}

void SetIcons(const char* value) {
  if (gVhud.setLoadResults == nullptr) {
    Fail(kExitUsage, "icons: VHud is not loaded");
  }
  gHealthTexture[0] = reinterpret_cast<uintptr_t>(gHealthRaster);
  gArmourTexture[0] = reinterpret_cast<uintptr_t>(gArmourRaster);
  gHealthRaster[3] = 64;
  gHealthRaster[4] = 64;
  gArmourRaster[3] = 64;
  gArmourRaster[4] = 64;
  uint32_t health = reinterpret_cast<uintptr_t>(gHealthTexture);
  uint32_t armour = reinterpret_cast<uintptr_t>(gArmourTexture);
  if (strcmp(value, "none") == 0) {
    health = 0;
    armour = 0;
  } else if (strcmp(value, "health-only") == 0) {
    armour = 0;
  } else if (strcmp(value, "valid") != 0) {
    Fail(kExitUsage, "icons: expected valid, none or health-only");
  }
  gVhud.setLoadResults(health, armour);
  Json line = Event("icons");
  line["health"] = Hex(health);
  line["armour"] = Hex(armour);
  Emit(line);
}

void SetScreenSize(int32_t width, int32_t height) {
  standin::SetScreen(width, height);
  Json line = Event("screen");
  line["screen"] = Screen();
  Emit(line);
}

void SetGameFlag(const std::string& name, uint8_t value) {
  if (name == "menu") {
    standin::SetMenuActive(value);
  } else if (name == "frozen") {
    standin::SetGameFrozen(value);
  } else if (name == "hud") {
    standin::SetWantsToDrawHud(value);
  } else if (name == "widescreen") {
    standin::SetWidescreen(value);
  } else {
    standin::SetCutscene(value);
  }
  ReportFlag(name.c_str(), value);
}

void SetVhudFlag(const std::string& name, uint8_t value) {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "wheel/radar: VHud is not loaded");
  }
  const uint32_t offset = name == "wheel" ? standin::kVhudWheelOpen : standin::kVhudRadarEnabled;
  *reinterpret_cast<volatile uint8_t*>(gVhud.base + offset) = value;
  ReportFlag(name.c_str(), value);
}

}  // namespace game
