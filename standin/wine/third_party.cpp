// Another party (another plug-in, or a reloaded VHud) puts back VHud's
// original bytes at every site the plug-in patches, and the game's HUD jump;
// then the wait for the plug-in to patch them all again.
#include <stdio.h>
#include <string.h>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "standin/wine/game.h"
#include "standin/wine/worker_sleeps.h"

namespace game {
namespace {

struct Site {
  const char* name;
  uintptr_t address;
  uint32_t length;
  uint8_t original[9];
  uint8_t plugin[9];  // what the site held right before the restore
};
Site gSites[9];
uint32_t gSiteCount = 0;
double gRestoredAt = 0.0;

void PutWord(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

std::string ByteText(const uint8_t* bytes, uint32_t length) {
  std::string text;
  char two[4];
  for (uint32_t i = 0; i < length; ++i) {
    snprintf(two, sizeof(two), i == 0 ? "%02X" : " %02X", bytes[i]);
    text += two;
  }
  return text;
}

void AddSite(const char* name, uintptr_t address, uint32_t length, const uint8_t* original) {
  Site& s = gSites[gSiteCount++];
  s.name = name;
  s.address = address;
  s.length = length;
  memcpy(s.original, original, length);
  memcpy(s.plugin, reinterpret_cast<const void*>(address), length);
}

}  // namespace

// The game's HUD jump to VHud's HUD routine, VHud's call of RotateVertices,
// its nine slot-layout bytes and its six centre-text instructions with their
// own constants' addresses: written in one go, as another plug-in or a
// reloaded VHud would.
void Restore() {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "restore: VHud is not loaded");
  }
  const uintptr_t base = gVhud.base;
  gSiteCount = 0;
  uint8_t bytes[9];
  bytes[0] = 0xE9;
  PutWord(bytes + 1, static_cast<uint32_t>(base + standin::kVhudHudRoutine) -
                         static_cast<uint32_t>(standin::kGameHudJumpEnd));
  AddSite("hud-jump", standin::kGameHudJump, 5, bytes);
  bytes[0] = 0xE8;
  PutWord(bytes + 1, static_cast<uint32_t>(standin::kWheelRotateVertices) -
                         static_cast<uint32_t>(standin::kWheelRotateCall + 5));
  AddSite("static-slot", base + standin::kWheelRotateCall, 5, bytes);
  const uint8_t spacing[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};
  AddSite("spacing", base + standin::kWheelSpacingSite, 9, spacing);
  for (uint32_t i = 0; i < 6; ++i) {
    bytes[0] = 0xF3;
    bytes[1] = 0x0F;
    bytes[2] = standin::kCentreTextOperations[i];
    bytes[3] = 0x05;
    PutWord(bytes + 4, static_cast<uint32_t>(base + standin::kWheelConstants + 4 * i));
    AddSite(kCentreTextSiteNames[i], base + standin::kCentreTextSiteOffsets[i], 8, bytes);
  }
  DWORD old[9];
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    if (!VirtualProtect(reinterpret_cast<void*>(gSites[i].address), gSites[i].length,
                        PAGE_EXECUTE_READWRITE, &old[i])) {
      Fail(kExitImage, "restore: VirtualProtect failed");
    }
  }
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    volatile uint8_t* at = reinterpret_cast<volatile uint8_t*>(gSites[i].address);
    for (uint32_t j = 0; j < gSites[i].length; ++j) {
      at[j] = gSites[i].original[j];
    }
  }
  gRestoredAt = Milliseconds();
  standin::WatchedRange watched[9];
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    watched[i] = {gSites[i].address, gSites[i].length, {}};
    memcpy(watched[i].bytes, gSites[i].plugin, gSites[i].length);
  }
  standin::WatchWorkerPasses(watched, gSiteCount);
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    DWORD ignored = 0;
    VirtualProtect(reinterpret_cast<void*>(gSites[i].address), gSites[i].length, old[i], &ignored);
  }
  FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
  Json line = Event("restore");
  line["restored_at_ms"] = Fixed(gRestoredAt, 3);
  line["worker_asleep"] = standin::WatchBeganInSleep() ? 1 : 0;
  Json& sites = line["sites"] = Json::array();
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    const Site& s = gSites[i];
    Json site;
    site["site"] = s.name;
    site["address"] = Hex(s.address);
    site["plugin_bytes"] = ByteText(s.plugin, s.length);
    site["restored_bytes"] = ByteText(s.original, s.length);
    site["was_patched"] = memcmp(s.plugin, s.original, s.length) != 0 ? 1 : 0;
    sites.push_back(site);
  }
  Emit(line);
}

// Polls every site of the last restore until each holds what it held before
// it (the plug-in's bytes) again.
void WaitRepatch(uint32_t timeoutMs) {
  double seen[9];
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    seen[i] = -1.0;
  }
  uint32_t left = gSiteCount;
  const double start = Milliseconds();
  auto passesKnown = [] {
    for (uint32_t i = 0; i < gSiteCount; ++i) {
      if (standin::PassFound(i) < 0) {
        return false;
      }
    }
    return true;
  };
  while ((left > 0 || !passesKnown()) && Milliseconds() - start < timeoutMs) {
    for (uint32_t i = 0; i < gSiteCount; ++i) {
      if (seen[i] < 0.0 && memcmp(reinterpret_cast<const void*>(gSites[i].address),
                                  gSites[i].plugin, gSites[i].length) == 0) {
        seen[i] = Milliseconds() - gRestoredAt;
        --left;
      }
    }
    if (left > 0 || !passesKnown()) {
      Sleep(1);
    }
  }
  Json line = Event("repatch");
  line["repatched"] = left == 0 ? 1 : 0;
  double last = 0.0;
  double first = -1.0;
  Json& sites = line["sites"] = Json::array();
  for (uint32_t i = 0; i < gSiteCount; ++i) {
    Json site;
    site["site"] = gSites[i].name;
    if (seen[i] < 0.0) {
      site["after_ms"] = nullptr;
    } else {
      site["after_ms"] = Fixed(seen[i], 3);
      last = seen[i] > last ? seen[i] : last;
      first = (first < 0.0 || seen[i] < first) ? seen[i] : first;
    }
    // The worker pass after which the site was found patched at the start of
    // the worker's sleep: 0 the pass under way at the restore, 1 the first
    // whole one after it; -1 none.
    site["pass"] = standin::PassFound(i);
    sites.push_back(site);
  }
  line["first_ms"] = Fixed(first, 3);
  line["last_ms"] = Fixed(last, 3);
  Emit(line);
}

}  // namespace game
