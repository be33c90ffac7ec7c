// Reading the stress run's log back: every text it may hold, and a reader
// that tells whether the log is whole texts, each followed by its own CR LF.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace stress {

// Every text the run may write; '#' stands for "0x" and eight upper-case
// hexadecimal digits.
inline const char* const kVocabulary[] = {
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + hide "
    "custom health/armour icons while wheel open",
    "[THREAD] worker started",
    "[OK] VHud.asi base=# size=#",
    "[WHEEL][OK] static-slot patch installed; original RotateVertices=#",
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
    "[HOOK] installed; original=# hook=#",
    "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
    "[STATE] drawing allowed",
    "[STATE] hidden: menu active",
    "[STATE] hidden: game frozen/paused",
    "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false",
    "[STATE] hidden: widescreen/cinematic",
    "[STATE] hidden: cutscene running",
    "[STATE] hidden: player ped unavailable",
    "[STATE] hidden: player dead / invalid health",
    "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open",
    "[INFO] player pointer changed -> #",
    "[INFO] cached icon textures invalidated after player transition",
    "[LOAD] health=# armour=#",
    "[DRAW] first successful draw health=# armour=#",
    "[STOP] DLL detach",
};
inline constexpr size_t kVocabularySize = sizeof(kVocabulary) / sizeof(kVocabulary[0]);

struct LogReport {
  bool whole = true;  // every byte belongs to a known text or a CR LF
  size_t badAt = 0;
  uint32_t maxPending = 0;  // texts waiting for their CR LF at once
  uint32_t interleaved = 0;
  uint32_t pendingAtEnd = 0;
  std::vector<uint32_t> counts = std::vector<uint32_t>(kVocabularySize, 0);
  uint32_t texts = 0;
};

LogReport ReadLogTexts(const std::string& log);
// The vocabulary's index of the text that starts with `prefix`.
size_t IndexOf(const char* prefix);

}  // namespace stress
