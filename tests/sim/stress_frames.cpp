// The render thread of the stress run: HUD frames through the real jump as
// fast as it can, each checked against what it must produce for the patch
// state it ran under.
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <random>
#include <string>

#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "stress_expected.h"
#include "stress_shared.h"
#include "test_values.h"

namespace stress {

Players gPlayers;

namespace {

using testvalues::Bits;

bool SameQuad(const standin::Quad& a, const standin::Quad& b) {
  for (int i = 0; i < 8; ++i) {
    if (Bits(a.v[i]) != Bits(b.v[i])) return false;
  }
  return true;
}

// The visibility state the render thread sets up.
void SetUpState(int32_t state, std::mt19937& rng) {
  standin::SetMenuActive(state == 1 ? 1 : 0);
  standin::SetGameFrozen(state == 2 ? 1 : 0);
  standin::SetWantsToDrawHud(state == 3 ? 0 : 1);
  standin::SetWidescreen(state == 4 ? 1 : 0);
  standin::SetCutscene(state == 5 ? 1 : 0);
  if (state == 6) {
    standin::SetPlayer(0);
  } else if (state == 7) {
    standin::SetPlayer(gPlayers.dead);
  } else if (state == 0) {
    standin::SetPlayer(gPlayers.alive[rng() & 1]);
  }
  // States 1 to 5 keep whatever player there was: the plug-in does not ask.
}

struct Snapshot {
  SiteState sites[kSiteCount];
  uint32_t generation;
  uintptr_t saved;
};

Snapshot Take() {
  Snapshot s;
  s.generation = g->generation.load();
  for (uint32_t id = 0; id < kSiteCount; ++id) s.sites[id] = StateOf(id);
  s.saved = __atomic_load_n(&gState.savedHudTarget, __ATOMIC_ACQUIRE);
  return s;
}

bool Settled(const Snapshot& a, const Snapshot& b) {
  if (a.generation != b.generation || (a.generation & 1) != 0 || a.saved != b.saved) return false;
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    if (a.sites[id] != b.sites[id] || a.sites[id] == SiteState::Other) return false;
  }
  return true;
}

// What one frame produced, and what each way through it would have.
struct Outcome {
  uint32_t hudRuns;
  uint8_t radarSeen;
  uint8_t radarAfter;
  uint32_t queries;
  uint32_t draws;
  int32_t logged;
  bool operator==(const Outcome& o) const {
    return hudRuns == o.hudRuns && radarSeen == o.radarSeen && radarAfter == o.radarAfter &&
           queries == o.queries && draws == o.draws && logged == o.logged;
  }
};

std::string Describe(const Outcome& o) {
  char text[160];
  snprintf(text, sizeof(text), "runs=%u radarSeen=%u radarAfter=%u queries=%u draws=%u state=%d",
           o.hudRuns, o.radarSeen, o.radarAfter, o.queries, o.draws, o.logged);
  return text;
}

void CheckDraws(uint32_t first, uint32_t count, const Expected& e, uint32_t health, uint32_t armour,
                uint64_t frame) {
  const standin::GameRecorder* game = standin::GameRecord();
  for (uint32_t i = 0; i < count; ++i) {
    const standin::DrawRecord& d = game->draws[first + i];
    bool isHealth = i == 0;
    uintptr_t slot =
        reinterpret_cast<uintptr_t>(isHealth ? &gState.healthIcon : &gState.armourIcon);
    bool ok = d.sprite == slot && d.texture == (isHealth ? health : armour) && d.x == e.x &&
              d.y == (isHealth ? e.healthY : e.armourY) && d.width == e.size &&
              d.height == e.size && d.colour[0] == 255 && d.colour[1] == 255 &&
              d.colour[2] == 255 && d.colour[3] == 255;
    if (!ok) Violation("frame " + std::to_string(frame) + ": draw " + std::to_string(i) + " wrong");
  }
}

void CheckWheel(const Snapshot& before, const Snapshot& after, bool settled, const Expected& e,
                uint64_t frame) {
  const standin::WheelRecord* w = standin::VhudWheelRecord();
  std::string at = "frame " + std::to_string(frame) + ": ";
  if (w->slotFaults != 0) Violation(at + "a slot call broke the calling contract");
  for (int k = 0; k < 8; ++k) {
    if (w->spacingFaults[k] != 0) {
      Violation(at + "slot " + std::to_string(k) + " layout state differs, bits " +
                std::to_string(w->spacingFaults[k]));
    }
    bool upright = SameQuad(w->slotQuads[k], e.upright[k]);
    bool rotated = SameQuad(w->slotQuads[k], e.rotated[k]);
    uint32_t content = Bits(w->slotContentX[k]);
    uint32_t ammo = Bits(w->slotAmmoX[k]);
    // Slots without an offset may look the same either way.
    bool spaced = content == e.content[1][k] && ammo == e.ammo[1][k];
    bool unspaced = content == e.content[0][k] && ammo == e.ammo[0][k];
    if (!upright && !rotated) Violation(at + "slot " + std::to_string(k) + " quad is neither");
    if (!spaced && !unspaced) {
      Violation(at + "slot " + std::to_string(k) + " positions are neither");
    } else if (w->spacingFaults[k] == 0 && k != 0 && k != 4) {  // 0 and 4 never move
      ++(spaced ? g->layoutsMoved : g->layoutsOriginal);
    }
    if (settled) {
      bool staticPatched = before.sites[kStatic] == SiteState::Patched;
      bool spacingPatched = before.sites[kSpacing] == SiteState::Patched;
      if (!(staticPatched ? upright : rotated)) {
        Violation(at + "slot " + std::to_string(k) + " quad does not match the static site");
      }
      if (!(spacingPatched ? spaced : unspaced)) {
        Violation(at + "slot " + std::to_string(k) + " positions do not match the spacing site");
      }
    }
  }
  for (int i = 0; i < 6; ++i) {
    uint32_t got = Bits(w->centreText[i]);
    bool patched = before.sites[kCentre0 + i] == SiteState::Patched;
    if (got != e.centre[0][i] && got != e.centre[1][i]) {
      Violation(at + "centre text " + std::to_string(i) + " is neither");
    } else if (settled && got != e.centre[patched ? 1 : 0][i]) {
      Violation(at + "centre text " + std::to_string(i) + " does not match its site");
    }
  }
  (void)after;
}

}  // namespace

void Render(uint32_t seed, uint32_t healthTexture, uint32_t armourTexture) {
  std::mt19937 rng(seed);
  const uint8_t kRadar[4] = {0, 1, 5, 255};
  int32_t state = 0;
  int screen = 0;
  uintptr_t base = g->base;
  standin::GameRecorder* game = standin::GameRecord();
  standin::VhudRecorder* vhud = standin::VhudRecord();
  for (uint64_t frame = 0; !g->stopRender.load(); ++frame) {
    if (frame % 48 == 0) {
      state = static_cast<int32_t>(rng() % 8);
      SetUpState(state, rng);
      if (rng() % 4 == 0) {
        screen = static_cast<int>(rng() & 1);
        standin::SetScreen(kScreens[screen].width, kScreens[screen].height);
      }
    }
    bool wheel = (rng() & 1) != 0;
    uint8_t radar = kRadar[rng() % 4];
    standin::SetWheelOpen(base, wheel ? 1 : 0);
    standin::SetRadarEnabled(base, radar);
    if (vhud->hudRuns >= 200 || vhud->loadCalls >= 100) standin::ClearVhudRecord();
    if (game->drawCalls >= 200) standin::ClearGameRecord();
    standin::ClearVhudWheelRecord();

    uint32_t runs0 = vhud->hudRuns;
    uint32_t queries0 = game->queryCalls;
    uint32_t draws0 = game->drawCalls;
    int32_t logged0 = gState.lastLoggedState;
    Snapshot before = Take();
    standin::RunHudFrame();
    Snapshot after = Take();

    Outcome got{vhud->hudRuns - runs0,
                runs0 < standin::kMaxHudRunRecords ? vhud->radarSeen[runs0] : uint8_t{0xEE},
                standin::RadarEnabled(base),
                game->queryCalls - queries0,
                game->drawCalls - draws0,
                gState.lastLoggedState};
    Outcome viaHook{1,
                    static_cast<uint8_t>((wheel && radar != 0) ? 0 : radar),
                    radar,
                    (state == 0 || state == 6 || state == 7) ? 1u : 0u,
                    (state == 0 && !wheel) ? 2u : 0u,
                    state};
    Outcome direct{1, radar, radar, 0, 0, logged0};
    bool settled = Settled(before, after);
    std::string at = "frame " + std::to_string(frame) + ": ";
    if (game->lastFrameFault != 0) {
      Violation(at + "the frame changed the caller's stack or registers, bits " +
                std::to_string(game->lastFrameFault));
    }
    if (got.radarAfter != radar) {
      Violation(at + "radar byte left at " + std::to_string(got.radarAfter) + ", was " +
                std::to_string(radar));
    }
    bool hooked = got == viaHook;
    bool straight = got == direct;
    if (settled) {
      ++g->settledFrames;
      bool throughHook = before.sites[kHook] == SiteState::Patched;
      if (throughHook ? !hooked : !straight) {
        Violation(at + (throughHook ? "hooked" : "direct") + " frame: got " + Describe(got) +
                  ", want " + Describe(throughHook ? viaHook : direct) + " (state " +
                  std::to_string(state) + ", wheel " + std::to_string(wheel) + ")");
      }
    } else if (!hooked && !straight) {
      Violation(at + "frame matches neither way through: got " + Describe(got) + "; hooked " +
                Describe(viaHook) + "; direct " + Describe(direct));
    }
    if (hooked && got.draws == 2) {
      CheckDraws(draws0, 2, gExpected[screen], healthTexture, armourTexture, frame);
    }
    if (hooked && !straight) ++g->hookFrames;
    if (straight && !hooked) ++g->directFrames;
    if (wheel) {
      ++g->wheelFrames;
      CheckWheel(before, after, settled, gExpected[screen], frame);
    }
    g->frames.store(frame + 1);
  }
}

// An entry inside VHud's image leading to VHud's HUD routine: a second
// target, inside VHud, for the third party to point the HUD jump at.
std::atomic<uint64_t> gAltRuns{0};
uintptr_t gHudRoutineForAlt = 0;
extern "C" __attribute__((cdecl)) void StressAltHudRoutine() {
  ++gAltRuns;
  reinterpret_cast<void(__attribute__((cdecl))*)()>(gHudRoutineForAlt)();
}

}  // namespace stress
