#include "check/log_lines.h"

#include <string.h>

#include "wheel/sites.h"

namespace check {
namespace {

struct Section {
  const char* title;
  const char* note;
};
constexpr Section kReadmeSections[] = {
    {"Start and VHud", ""},
    {"Weapon wheel patches", " (each patch writes only its first outcome, *once*)"},
    {"HUD hook and radar", ""},
    {"Visibility", " (written when the state changes)"},
    {"Icons", ""},
};

constexpr const char kOnce[] = " (*once*)";
// The plug-in cuts a module's name at this many characters.
constexpr size_t kMaxModuleName = 64;
constexpr const char kProtectAdvice[] =
    "Security or anti-cheat software may block memory changes: run the game without it or add "
    "an exception.";
constexpr const char kOtherVhudAdvice[] =
    "Run `quorvel-check` on your VHud.asi; use the VHud version the plug-in supports; remove "
    "other mods that change VHud's wheel.";
constexpr const char kProtectRetried[] =
    "Windows refused to make that code writable; retried every half second.";

using T = Topic;
constexpr Weight kFine = Weight::kFine;
constexpr Weight kProblem = Weight::kProblem;

std::vector<LogLineKind> BuildKinds() {
  return {
      {"boot", T::kStart, 0, kFine,
       "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started", "",
       "The loader loaded the plug-in; the log is open.",
       "Nothing. No log file at all means the plug-in was not loaded: check the ASI loader, and "
       "that the file is named `Quorvel_Icons.asi` and lies beside `VHud.asi`."},
      {"external", T::kStart, 0, kFine,
       "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk", "",
       "The plug-in works in memory only.", "Nothing."},
      {"mode", T::kStart, 0, kFine,
       "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + "
       "hide custom health/armour icons while wheel open",
       "", "The wheel layout and behaviour this build applies.", "Nothing."},
      {"thread", T::kStart, 0, kFine, "[THREAD] worker started", "",
       "The plug-in's background thread, which looks for VHud and installs the patches, runs.",
       "Nothing. If this line never follows the three above, Windows refused to start the "
       "thread: restart the game."},
      {"vhud_found", T::kVhud, 0, kFine, "[OK] VHud.asi base=%x size=%x", "",
       "VHud was found, loaded at the address `base`, `size` bytes long.",
       "Nothing. If `size=0x00000000`, VHud.asi is not a valid program image and nothing will be "
       "patched: reinstall VHud."},
      {"vhud_missing", T::kVhud, 0, kProblem, "[ERR] VHud.asi not found", "",
       "VHud was not loaded within about 40 seconds of the plug-in's start. The plug-in then does "
       "nothing for the rest of the session.",
       "Check that VHud is installed and works (its HUD shows), that its file is named "
       "`VHud.asi`, and restart the game."},
      {"vhud_other_build", T::kVhud, 0, kProblem,
       "[ERR] VHud.asi build not recognised; nothing patched", "",
       "Most of VHud's code at the places the plug-in changes differs from the VHud version the "
       "plug-in was made for (or could not be read): another VHud version. The plug-in then "
       "changes nothing in the game or in VHud for the rest of the session: no wheel patch, no "
       "HUD hook, no icons.",
       "Use the VHud version this plug-in supports, or a plug-in release made for your VHud "
       "version; `quorvel-check` on your VHud.asi tells which it is."},
      {"copy_idle", T::kStart, 0, kProblem,
       "[WARN] another copy of the plug-in is loaded and stays idle: \"%n\"", kOnce,
       "Another file of this plug-in (named in the line, any character other than plain ASCII "
       "shown as `?`) was loaded into the game too, for example an old copy kept under another "
       "name. Only the copy loaded first runs; the other does nothing at all.",
       "Keep one copy: delete the file named in the line from the game folder."},
      {"copy_legacy", T::kStart, 0, kProblem,
       "[ERR] a 1.0.0 copy of the plug-in runs too and also writes this log: \"%n\"", kOnce,
       "A copy of version 1.0.0 (named in the line) was loaded after this one. It cannot know "
       "of other copies, so it runs as well: both change the game, and both write this log, so "
       "lines of either may be broken or lost.",
       "Delete the file named in the line from the game folder and restart the game."},
      {"stop", T::kEnd, 0, kFine, "[STOP] DLL detach", "",
       "The game closed. (Once started, the plug-in stays loaded until then, even when "
       "something asks Windows to unload it: its changes lead into it.)",
       "Nothing."},

      {"static_ok", T::kWheel, 1, kFine,
       "[WHEEL][OK] static-slot patch installed; original RotateVertices=%x", "",
       "The wheel's slots now stay upright and are spread horizontally.", "Nothing."},
      {"static_target", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] unexpected RotateVertices target=%x expected=%x", "",
       "At the slot-turning call VHud calls something else than the plug-in expects: another "
       "VHud version, or another mod already changed that call. Slots keep tilting.",
       kOtherVhudAdvice},
      {"static_call", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped", "",
       "VHud's code differs at the slot-turning call (another version). Slots keep tilting.",
       kOtherVhudAdvice},
      {"static_protect", T::kWheel, 1, kProblem, "[WHEEL][ERR] VirtualProtect failed", "",
       "Windows refused to make VHud's code writable for the slot patch. The plug-in tries again "
       "every half second (without logging).",
       kProtectAdvice},
      {"spacing_ok", T::kWheel, 1, kFine,
       "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
       "", "Each slot's background, weapon image and ammo text now follow the spread slots.",
       "Nothing."},
      {"spacing_info", T::kWheel, 1, kFine,
       "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
       "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
       "",
       "The horizontal shifts of slots 0 to 7 and the extra shift of their ammo texts, in pixels "
       "of a 1080-pixel-high screen (scaled to yours).",
       "Nothing."},
      {"spacing_signature", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped", "",
       "VHud's code differs where it places a slot's contents (another version, or another mod). "
       "The contents stay where VHud puts them, possibly beside moved slots.",
       kOtherVhudAdvice},
      {"spacing_protect", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] VirtualProtect failed for content-offset patch", "", kProtectRetried,
       kProtectAdvice},
      {"centre_ok", T::kWheel, 1, kFine,
       "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]", "",
       "The weapon name, the counter and the arrows in the middle of the wheel use the plug-in's "
       "offsets.",
       "Nothing."},
      {"centre_info", T::kWheel, 1, kFine,
       "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)", "",
       "Those offsets.", "Nothing."},
      {"centre_signature", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] centre-text signature mismatch at %s",
       " (or `name-x`, `count-y`, `count-x`, `arrow-y`, `extra-x`)",
       "One of the six centre-text instructions differs from what the plug-in expects; only the "
       "first such site is named. That text keeps VHud's placement; the sites that match are "
       "still changed.",
       "Run `quorvel-check` on your VHud.asi, which lists every site; use the supported VHud "
       "version."},
      {"centre_protect", T::kWheel, 1, kProblem,
       "[WHEEL][ERR] VirtualProtect failed for centre-text patch", "", kProtectRetried,
       kProtectAdvice},

      {"hook", T::kHook, 2, kFine, "[HOOK] installed; original=%x hook=%x", "",
       "The game's HUD drawing now runs through the plug-in (`original` is VHud's HUD routine). "
       "Written every time the plug-in redirects the jump, so again whenever something put "
       "VHud's jump back.",
       "Nothing. Many of these lines, every half second, mean another mod keeps resetting the "
       "HUD jump: remove one of the two."},
      {"hook_outside", T::kHook, 2, kProblem, "[WARN] HUD jump target is outside VHud: %x", kOnce,
       "The game's HUD jump does not lead into VHud (another HUD mod took it, or VHud did not "
       "set it). The plug-in does not take it over; no icons are drawn. When a `[HOOK] "
       "installed` line follows, VHud had not yet pointed the jump at itself when the plug-in "
       "looked, and the plug-in took the jump over at a later look.",
       "Nothing if `[HOOK] installed` follows. Otherwise remove other mods that hook the HUD, or "
       "check that VHud works on its own."},
      {"hook_protect", T::kHook, 2, kProblem, "[ERR] VirtualProtect failed while installing hook",
       "", "Windows refused to make the game's code writable; written at every attempt.",
       kProtectAdvice},
      {"radar", T::kWheel, 2, kFine,
       "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
       kOnce,
       "The wheel was open with the radar on: the radar is switched off while VHud draws such "
       "frames and back on right after.",
       "Nothing."},

      {"state_allowed", T::kVisibility, 3, kFine, "[STATE] drawing allowed", "",
       "Nothing hides the icons: they are drawn (unless the wheel is open).", "Nothing."},
      {"state_menu", T::kVisibility, 3, kFine, "[STATE] hidden: menu active", "", "A menu is open.",
       "Nothing."},
      {"state_frozen", T::kVisibility, 3, kFine, "[STATE] hidden: game frozen/paused", "",
       "The game is paused or frozen.", "Nothing."},
      {"state_hud_off", T::kVisibility, 3, kFine,
       "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false", "",
       "The game does not want its HUD drawn.",
       "If it stays so during play, the HUD is switched off in the game's display settings: "
       "switch it on."},
      {"state_cinematic", T::kVisibility, 3, kFine, "[STATE] hidden: widescreen/cinematic", "",
       "The cinematic (widescreen) view is on.",
       "If it stays so during play, switch off the game's widescreen / cinematic camera option."},
      {"state_cutscene", T::kVisibility, 3, kFine, "[STATE] hidden: cutscene running", "",
       "A cutscene runs.", "Nothing."},
      {"state_no_player", T::kVisibility, 3, kFine, "[STATE] hidden: player ped unavailable", "",
       "There is no player character (loading, respawning).",
       "Nothing; if it stays so during play, this game version differs from the one the plug-in "
       "was made for."},
      {"state_dead", T::kVisibility, 3, kFine, "[STATE] hidden: player dead / invalid health", "",
       "The player is dead (health 0 or less).",
       "Nothing; if it stays so with a living player, this game version differs from the one "
       "the plug-in was made for."},
      {"player", T::kVisibility, 3, kFine, "[INFO] player pointer changed -> %x", "",
       "A new player character (after loading or respawning); `0x00000000` means none.",
       "Nothing."},
      {"invalidated", T::kVisibility, 3, kFine,
       "[INFO] cached icon textures invalidated after player transition", "",
       "After such a change the plug-in forgets the icons and loads them again.", "Nothing."},

      {"icons_hidden", T::kIcons, 4, kFine,
       "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open", kOnce,
       "The wheel is open, so the icons are hidden.", "Nothing."},
      {"load", T::kIcons, 4, kFine, "[LOAD] health=%x armour=%x", "",
       "The plug-in asked VHud for the two icons; `0x00000000` means VHud returned none. "
       "Repeated about every 31 frames while an icon is missing.",
       "If a warning follows, put a valid icon in VHud's icons folder (see the two warnings)."},
      {"health_invalid", T::kIcons, 4, kProblem,
       "[WARN] health_icon texture/raster invalid; will retry", "",
       "VHud could not give a usable `health_icon`: missing from `VHud\\icons`, unreadable, or 0 "
       "or more than 4096 pixels wide or high. The other icon is still drawn.",
       "Put a valid `health_icon` in VHud's icons folder."},
      {"armour_invalid", T::kIcons, 4, kProblem,
       "[WARN] armour_icon texture/raster invalid; will retry", "",
       "The same for `armour_icon`: VHud could not give a usable one.",
       "Put a valid `armour_icon` in VHud's icons folder."},
      {"first_draw", T::kIcons, 4, kFine, "[DRAW] first successful draw health=%x armour=%x", kOnce,
       "The icons were drawn for the first time.",
       "Nothing. If you still see no icons, look at the top left of the HUD (see the picture) "
       "and check for mods that draw over it."},
  };
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Matches the whole `line` against `pattern`, collecting the values.
bool MatchFrom(const char* pattern, const std::string& line, LogLineMatch* match) {
  size_t at = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 'x') {
      if (line.size() - at < 10 || line.compare(at, 2, "0x") != 0) {
        return false;
      }
      uint32_t value = 0;
      for (size_t i = at + 2; i < at + 10; ++i) {
        if (!IsHexDigit(line[i])) {
          return false;
        }
        value =
            value * 16 + static_cast<uint32_t>(line[i] <= '9' ? line[i] - '0' : line[i] - 'A' + 10);
      }
      match->hex.push_back(value);
      at += 10;
      ++p;
    } else if (p[0] == '%' && p[1] == 'n') {
      // A module's name: printable ASCII up to the quote after it.
      const size_t end = line.find('"', at);
      if (end == std::string::npos || end == at || end - at > kMaxModuleName) {
        return false;
      }
      for (size_t i = at; i < end; ++i) {
        if (line[i] < 0x20 || line[i] > 0x7E) {
          return false;
        }
      }
      match->label = line.substr(at, end - at);
      at = end;
      ++p;
    } else if (p[0] == '%' && p[1] == 's') {
      // The site label ends the line.
      for (const CentreTextSite& site : kCentreTextSites) {
        if (line.compare(at, std::string::npos, site.label) == 0) {
          match->label = site.label;
          return p[2] == '\0';
        }
      }
      return false;
    } else if (at >= line.size() || line[at] != *p) {
      return false;
    } else {
      ++at;
    }
  }
  return at == line.size();
}

// The pattern as the README shows it: values as "0x...", a site label as the
// first one.
std::string ReadmeLine(const char* pattern) {
  std::string text;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '%' && (p[1] == 'x' || p[1] == 's' || p[1] == 'n')) {
      text += p[1] == 'x'   ? "0x..."
              : p[1] == 'n' ? "Quorvel_Icons_old.asi"
                            : kCentreTextSites[0].label;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

}  // namespace

const std::vector<LogLineKind>& LogLineKinds() {
  static const std::vector<LogLineKind> kinds = BuildKinds();
  return kinds;
}

LogLineMatch MatchLogLine(const std::string& line) {
  for (const LogLineKind& kind : LogLineKinds()) {
    LogLineMatch match;
    if (MatchFrom(kind.pattern, line, &match)) {
      match.kind = &kind;
      return match;
    }
  }
  return {};
}

std::string PlainText(const char* markdown) {
  std::string text;
  for (const char* p = markdown; *p != '\0'; ++p) {
    if (*p != '`' && *p != '*') {
      text += *p;
    }
  }
  return text;
}

std::string FormatReadmeTable() {
  std::string out;
  for (uint8_t s = 0; s < sizeof(kReadmeSections) / sizeof(kReadmeSections[0]); ++s) {
    if (s != 0) {
      out += "\n";
    }
    out += std::string("**") + kReadmeSections[s].title + "**" + kReadmeSections[s].note + "\n\n";
    out += "| Log line | What it means | What to do |\n|---|---|---|\n";
    for (const LogLineKind& kind : LogLineKinds()) {
      if (kind.section == s) {
        out += "| `" + ReadmeLine(kind.pattern) + "`" + kind.note + " | " + kind.meaning + " | " +
               kind.advice + " |\n";
      }
    }
  }
  return out;
}

bool FindReadmeTable(const std::string& readme, size_t* begin, size_t* end) {
  const std::string first = std::string("\n**") + kReadmeSections[0].title + "**";
  const size_t at = readme.find(first);
  if (at == std::string::npos) {
    return false;
  }
  const size_t rule = readme.find("\n\n---\n", at);
  if (rule == std::string::npos) {
    return false;
  }
  *begin = at + 1;
  *end = rule + 1;
  return true;
}

}  // namespace check
