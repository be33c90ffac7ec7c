#include "host/host.h"
#include "hud/hud.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char* const kStateMessages[8] = {
    "[STATE] drawing allowed",
    "[STATE] hidden: menu active",
    "[STATE] hidden: game frozen/paused",
    "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false",
    "[STATE] hidden: widescreen/cinematic",
    "[STATE] hidden: cutscene running",
    "[STATE] hidden: player ped unavailable",
    "[STATE] hidden: player dead / invalid health",
};

typedef void(QI_CDECL* HudRoutineFn)();

void NotePlayer(uintptr_t current) {
  uintptr_t previous = gState.lastPlayerPed;
  if (current == previous) {
    return;
  }
  char line[96];
  line[0] = '\0';
  AppendText(line, "[INFO] player pointer changed -> ", sizeof(line));
  AppendHex(line, current, sizeof(line));
  LogLine(line, LogFrom::HudFrame);
  if (previous != 0) {
    gState.healthIcon.texture = 0;
    gState.armourIcon.texture = 0;
    gState.iconRetryCountdown = 0;
    LogLine("[INFO] cached icon textures invalidated after player transition", LogFrom::HudFrame);
  }
  gState.lastPlayerPed = current;
}

int32_t DecideState(RegionAnswers& answers) {
  if (ReadByte(host::kMenuActive) != 0) {
    return HiddenMenuActive;
  }
  if (ReadByte(host::kGameFrozen) != 0) {
    return HiddenGameFrozen;
  }
  if (ReadByte(host::kWantsToDrawHud) == 0) {
    return HiddenHudNotWanted;
  }
  if (ReadByte(host::kWidescreenCinematic) != 0) {
    return HiddenWidescreen;
  }
  if (ReadByte(host::kCutsceneRunning) != 0) {
    return HiddenCutscene;
  }
  uintptr_t player = reinterpret_cast<host::QueryPlayerPedFn>(host::kQueryPlayerPed)(0);
  NotePlayer(player);
  if (player == 0 || !IsRangeReadable(answers, player, host::kPlayerRecordSize)) {
    return HiddenNoPlayerPed;
  }
  float health = ReadFloat(player + host::kPlayerHealthOffset);
  if (!(health > 0.0f)) {
    return HiddenPlayerDead;
  }
  return DrawingAllowed;
}

}  // namespace

void LogStateChange(int32_t state) {
  if (state == gState.lastLoggedState || state < 0 || state > 7) {
    return;
  }
  gState.lastLoggedState = state;
  LogLine(kStateMessages[state], LogFrom::HudFrame);
}

extern "C" void HudFrameHook() {
  uintptr_t target = __atomic_load_n(&gState.savedHudTarget, __ATOMIC_ACQUIRE);
  // What VirtualQuery says during this frame; dropped when the frame returns.
  RegionAnswers answers;
  ForgetAnswers(answers);
  uintptr_t base = gState.vhudBase;
  bool suppressed = false;
  uint8_t radar = 0;
  // The wheel byte's address once this frame's answer lets it be read, else 0.
  uintptr_t readableWheel = 0;
  if (base != 0 && gState.vhudSize >= vhud::kWheelOpenEnd) {
    uintptr_t wheel = base + vhud::kWheelOpen;
    uintptr_t radarByte = base + vhud::kRadarEnabled;
    if (IsRangeReadable(answers, wheel, 1)) {
      readableWheel = wheel;
    }
    // The radar byte is asked about only while the wheel is open.
    if (readableWheel != 0 && ReadByte(wheel) != 0 && IsRangeReadable(answers, radarByte, 1)) {
      radar = ReadByte(radarByte);
      if (radar != 0) {
        WriteByte(radarByte, 0);
        suppressed = true;
        ReportOnce(&gState.radarReported,
                   "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon "
                   "wheel is open",
                   nullptr, LogFrom::HudFrame);
      }
    }
  }
  if (target != 0) {
    reinterpret_cast<HudRoutineFn>(target)();
  }
  if (suppressed) {
    WriteByte(base + vhud::kRadarEnabled, radar);
  }
  int32_t state = DecideState(answers);
  LogStateChange(state);
  if (state == DrawingAllowed) {
    RunIconOverlay(answers, readableWheel);
  }
}
