// HUD frames as the game runs them, each reported with what it did: the
// frame itself, every DrawSprite and VHudLoadSprite call since the last
// frame, VHud's wheel and the log lines the plug-in wrote meanwhile.
#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/game.h"

namespace game {
namespace {

uint32_t gDrawsReported = 0;
uint32_t gLoadsReported = 0;

void ReportNewRecords() {
  const standin::GameRecorder* game = standin::GameRecord();
  for (; gDrawsReported < game->drawCalls && gDrawsReported < standin::kMaxDrawRecords;
       ++gDrawsReported) {
    const standin::DrawRecord& d = game->draws[gDrawsReported];
    Json line = Event("draw");
    line["index"] = gDrawsReported;
    line["frame"] = game->framesRun;
    line["sprite"] = Hex(d.sprite);
    line["texture"] = Hex(d.texture);
    line["x"] = Hex(d.x);
    line["y"] = Hex(d.y);
    line["width"] = Hex(d.width);
    line["height"] = Hex(d.height);
    uint32_t colour = static_cast<uint32_t>(d.colour[0]) << 24 |
                      static_cast<uint32_t>(d.colour[1]) << 16 |
                      static_cast<uint32_t>(d.colour[2]) << 8 | d.colour[3];
    line["colour"] = Hex(colour);
    line["x_value"] = Decimal(FromBits(d.x));
    line["y_value"] = Decimal(FromBits(d.y));
    line["width_value"] = Decimal(FromBits(d.width));
    line["height_value"] = Decimal(FromBits(d.height));
    line["screen"] = Screen();
    Emit(line);
  }
  if (gVhud.record == nullptr) {
    return;
  }
  const standin::VhudRecorder* vhud = gVhud.record();
  for (; gLoadsReported < vhud->loadCalls && gLoadsReported < standin::kMaxLoadRecords;
       ++gLoadsReported) {
    const standin::LoadRecord& r = vhud->loads[gLoadsReported];
    Json line = Event("load");
    line["index"] = gLoadsReported;
    line["frame"] = game->framesRun;
    line["folder"] = Text(r.folder);
    line["name"] = Text(r.name);
    line["result"] = Hex(r.result);
    Emit(line);
  }
}

}  // namespace

uint32_t FramesRun() { return standin::GameRecord()->framesRun; }

void RunFrames(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t drawsBefore = standin::GameRecord()->drawCalls;
    standin::RunHudFrame();
    const standin::GameRecorder* game = standin::GameRecord();
    Json line = Event("frame");
    line["frame"] = game->framesRun;
    line["fault"] = game->lastFrameFault;
    line["own_hud_runs"] = OwnHudRuns();
    if (gVhud.record != nullptr) {
      const standin::VhudRecorder* vhud = gVhud.record();
      uint32_t run = vhud->hudRuns;
      line["vhud_hud_runs"] = run;
      line["vhud_trap_calls"] = vhud->trapCalls;
      if (run > 0 && run <= standin::kMaxHudRunRecords) {
        line["radar_seen"] = vhud->radarSeen[run - 1];
        line["wheel_seen"] = vhud->wheelSeen[run - 1];
      }
      line["radar_after"] = GameByte(gVhud.base + standin::kVhudRadarEnabled);
      line["wheel"] = GameByte(gVhud.base + standin::kVhudWheelOpen);
    }
    line["draw_calls"] = game->drawCalls;
    line["draws"] = game->drawCalls - drawsBefore;
    line["screen"] = Screen();
    line["menu"] = GameByte(standin::kGameMenuActive);
    line["frozen"] = GameByte(standin::kGameFrozen);
    line["hud"] = GameByte(standin::kGameWantsToDrawHud);
    line["widescreen"] = GameByte(standin::kGameWidescreen);
    line["cutscene"] = GameByte(standin::kGameCutscene);
    line["player"] = Hex(game->player);
    line["hud_jump_target"] = Hex(HudJumpTarget());
    Emit(line);
    ReportNewRecords();
    ReportWheel();
    ReportLog();
  }
}

// Runs frames back to back without reporting each one, and reports how long
// they took: the frame rate of the HUD path as it stands (straight to VHud
// before the plug-in hooked it, through the plug-in after).
void BenchFrames(uint32_t count) {
  const uint32_t target = HudJumpTarget();
  const uint32_t drawsBefore = standin::GameRecord()->drawCalls;
  uint32_t faults = 0;
  const double start = Milliseconds();
  for (uint32_t i = 0; i < count; ++i) {
    standin::RunHudFrame();
    faults += standin::GameRecord()->lastFrameFault != 0 ? 1 : 0;
  }
  const double elapsed = Milliseconds() - start;
  Json line = Event("bench");
  line["frames"] = count;
  line["faults"] = faults;
  line["hud_jump_target"] = Hex(target);
  line["draws"] = standin::GameRecord()->drawCalls - drawsBefore;
  line["microseconds"] = static_cast<long long>(elapsed * 1000.0);
  line["frames_per_second"] = elapsed > 0.0 ? static_cast<long long>(count * 1000.0 / elapsed) : 0;
  Emit(line);
}

}  // namespace game
