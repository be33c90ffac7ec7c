#include "check/check.h"

#include <stdio.h>

#include <algorithm>

#include "host/vhud_offsets.h"
#include "wheel/sites.h"

namespace check {

namespace {

// A file on disk holds no plug-in: its code and floats exist only in the
// game's memory. The site recognition is asked with 0 as the plug-in's
// address, and a site that leads to address 0 is judged as the plug-in,
// which never lies at 0, judges it.
constexpr uint32_t kNoPlugin = 0;

constexpr uint32_t kRadarEnd = vhud::kRadarEnabled + 1;
constexpr char kOtherBuildLine[] = "[ERR] VHud.asi build not recognised; nothing patched";

// The plug-in's verdict on the build: every site inside the image counts as
// readable, as the loader maps the whole image.
BuildVerdict Recognise(const uint8_t* memory, uint32_t size, uint32_t base) {
  BuildSample sample = {};
  SampleBuildSites(
      size,
      [memory](uint32_t offset, uint32_t length, uint8_t* out) {
        std::copy(memory + offset, memory + offset + length, out);
        return true;
      },
      &sample);
  return RecogniseBuild(sample, {base, size}, kNoPlugin, kNoPlugin, {0, 0});
}

// A site that the build rule left out as another party's detour: so it says,
// and the installer's line for a mismatch stays.
void MarkForeign(SiteResult* site, uint32_t base, uint32_t size) {
  uint32_t target = 0;
  if (site->bytes.size() < 5) {
    return;
  }
  ForeignJump(site->bytes.data(), site->offset, {base, size}, {0, 0}, &target);
  site->verdict +=
      "; another party's jump (" + Hex(target) + ", outside VHud): left out of the build rule";
}

// For another build no installer runs: the sites are shown, nothing is tried.
PatchResult NotTried(PatchResult patch) {
  patch.goesIn = false;
  patch.log.clear();
  for (SiteResult& site : patch.sites) {
    site.goesIn = false;
    site.verdict = "not tried: another build of VHud";
    site.writes.clear();
  }
  return patch;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    char pair[4];
    snprintf(pair, sizeof(pair), "%s%02X", text.empty() ? "" : " ", b);
    text += pair;
  }
  return text;
}

SiteResult ReadSite(const uint8_t* memory, uint32_t size, const std::string& label, uint32_t offset,
                    uint32_t length) {
  SiteResult site = {label,
                     offset,
                     length,
                     offset <= size && size - offset >= length,
                     {},
                     false,
                     "skipped silently: the site ends past SizeOfImage",
                     {}};
  if (site.inImage) {
    site.bytes.assign(memory + offset, memory + offset + length);
  }
  return site;
}

PatchResult StaticSlot(const uint8_t* memory, uint32_t size, uint32_t base) {
  PatchResult patch = {"static-slot patch", false, {}, {}};
  SiteResult site = ReadSite(memory, size, "static-slot", vhud::kRotateCallSite, 5);
  if (site.inImage) {
    RotateSiteInfo info = ClassifyRotateSite(site.bytes.data(), base, kNoPlugin);
    RotateSite kind = info.kind;
    if (kind == RotateSite::Redirected) {
      kind = info.target == info.expected ? RotateSite::Original : RotateSite::OtherTarget;
    }
    switch (kind) {
      case RotateSite::NotCall:
        site.verdict = "skipped: no CALL (E8) at the site";
        patch.log = {"[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped"};
        break;
      case RotateSite::OtherTarget:
        site.verdict = "skipped: CALL to " + Hex(info.target) + ", not to RotateVertices " +
                       Hex(info.expected);
        patch.log = {"[WHEEL][ERR] unexpected RotateVertices target=" + Hex(info.target) +
                     " expected=" + Hex(info.expected)};
        break;
      case RotateSite::Original:
      case RotateSite::Redirected:
        site.goesIn = true;
        site.verdict = "would go in: CALL to VHud's RotateVertices " + Hex(info.target);
        patch.log = {"[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
                     Hex(info.target)};
        break;
    }
  }
  patch.goesIn = site.goesIn;
  patch.sites.push_back(site);
  return patch;
}

PatchResult Spacing(const uint8_t* memory, uint32_t size, uint32_t base) {
  PatchResult patch = {"slot-spacing patch", false, {}, {}};
  SiteResult site = ReadSite(memory, size, "slot-spacing", vhud::kSpacingSite, 9);
  if (site.inImage) {
    // A jump to address 0 is not the plug-in's: the plug-in finds a mismatch.
    if (ClassifySpacingSite(site.bytes.data(), base, kNoPlugin) == SpacingSite::Original) {
      site.goesIn = true;
      site.verdict =
          "would go in: VHud's own two instructions; in place: 8B 7A 44 E9 <rel32 to "
          "SpacingCave> 90";
      // The store covers the two bytes after the site and writes them back.
      std::string after = "?? ??";
      if (size - vhud::kSpacingResume >= 2) {
        after = HexBytes({memory[vhud::kSpacingResume], memory[vhud::kSpacingResume + 1]});
      }
      site.writes = "writes E9 <rel32> 90 " + after + " at +" + Hex(vhud::kSpacingJump) +
                    " in one locked 8-byte compare-and-exchange (the last two as found)";
      patch.log = {
          "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) "
          "[TEST11]",
          "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets "
          "use screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8"};
    } else {
      site.verdict = "skipped: not " + HexBytes({kSpacingSignature, kSpacingSignature + 9});
      patch.log = {"[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped"};
    }
  }
  patch.goesIn = site.goesIn;
  patch.sites.push_back(site);
  return patch;
}

PatchResult CentreText(const uint8_t* memory, uint32_t size) {
  PatchResult patch = {"centre-text patch", true, {}, {}};
  for (const CentreTextSite& s : kCentreTextSites) {
    SiteResult site = ReadSite(memory, size, s.label, s.offset, 8);
    if (site.inImage) {
      // An operand of 0 is not one of the plug-in's floats: it is re-pointed.
      if (ClassifyOperandSite(site.bytes.data(), s.operation, kNoPlugin) != OperandSite::Mismatch) {
        site.goesIn = true;
        site.verdict = "would go in: operand " +
                       Hex(site.bytes[4] | (site.bytes[5] << 8) | (site.bytes[6] << 16) |
                           (static_cast<uint32_t>(site.bytes[7]) << 24)) +
                       " re-pointed";
      } else {
        site.verdict =
            std::string("skipped: not F3 0F ") + (s.operation == 0x5C ? "5C" : "58") + " 05";
        // Once-only: the first reported failure in table order is the only line.
        if (patch.log.empty()) {
          patch.log = {std::string("[WHEEL][ERR] centre-text signature mismatch at ") + s.label};
        }
      }
    }
    patch.goesIn = patch.goesIn && site.goesIn;
    patch.sites.push_back(site);
  }
  if (patch.goesIn) {
    patch.log = {
        "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
        "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"};
  }
  return patch;
}

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

}  // namespace

bool Analysis::AllGoIn() const {
  return knownBuild && patches[0].goesIn && patches[1].goesIn && patches[2].goesIn;
}

std::vector<std::string> Analysis::WorkerLog() const {
  std::vector<std::string> lines = {"[OK] VHud.asi base=" + Hex(base) + " size=" + Hex(size)};
  if (!knownBuild) {
    lines.push_back(kOtherBuildLine);
  }
  return lines;
}

std::vector<std::string> Analysis::FirstPassLog() const {
  std::vector<std::string> lines;
  for (const PatchResult& p : patches) {
    lines.insert(lines.end(), p.log.begin(), p.log.end());
  }
  return lines;
}

Analysis Analyse(const uint8_t* memory, uint32_t size, uint32_t base) {
  const BuildVerdict build = Recognise(memory, size, base);
  Analysis a = {
      base,
      size,
      build.matching,
      build.judged,
      build.known,
      {StaticSlot(memory, size, base), Spacing(memory, size, base), CentreText(memory, size)},
      size >= vhud::kWheelOpenEnd};
  if (!a.knownBuild) {
    for (PatchResult& p : a.patches) {
      p = NotTried(p);
    }
  }
  // The build sites in the report's order: the static-slot call, the
  // spacing site, the six centre-text sites.
  SiteResult* sites[kBuildSiteCount] = {&a.patches[0].sites[0], &a.patches[1].sites[0]};
  for (uint32_t i = 0; i < 6; ++i) {
    sites[2 + i] = &a.patches[2].sites[i];
  }
  for (uint32_t i = 0; i < kBuildSiteCount; ++i) {
    if ((build.foreign & (1u << i)) != 0) {
      MarkForeign(sites[i], base, size);
    }
  }
  return a;
}

std::vector<std::string> FormatReport(const std::string& path, uint64_t fileSize,
                                      const PeImage& image, const Analysis& a) {
  std::vector<std::string> out;
  out.push_back("file: " + path + " (" + std::to_string(fileSize) + " bytes)");
  out.push_back("image: PE32 x86, ImageBase " + Hex(image.imageBase) + ", SizeOfImage " +
                Hex(image.sizeOfImage) + ", SizeOfHeaders " + Hex(image.sizeOfHeaders) + ", " +
                std::to_string(image.sections.size()) + " sections");
  for (const Section& s : image.sections) {
    out.push_back("  " + Pad(s.name, 9) + Hex(s.virtualAddress) + " to " +
                  Hex(s.virtualAddress + s.virtualSize) + ", " + Hex(s.mappedSize) +
                  " bytes from the file");
  }
  out.push_back("load address assumed: " + Hex(a.base) +
                " (the ImageBase); addresses in log lines follow VHud's real load address");
  out.push_back("worker, on finding VHud:");
  const std::string verdict = a.knownBuild ? "recognised" : "another build";
  if (a.buildJudged == kBuildByteCount) {
    out.push_back(
        "  build: " + std::to_string(a.buildMatching) + " of " + std::to_string(kBuildByteCount) +
        " bytes at the known sites are the known VHud build's (more than half needed): " + verdict);
  } else {
    out.push_back("  build: " + std::to_string(a.buildMatching) + " of the " +
                  std::to_string(a.buildJudged) +
                  " bytes that remain at the known sites are the "
                  "known VHud build's (" +
                  std::to_string(kBuildByteCount - a.buildJudged) +
                  " at another party's jumps left out; at least " + std::to_string(kBuildFloor) +
                  " must remain, more than half of them the known build's): " + verdict);
  }
  for (const std::string& line : a.WorkerLog()) {
    out.push_back("  log: " + line);
  }
  out.push_back("");
  out.push_back("size bounds (SizeOfImage " + Hex(a.size) + "):");
  auto bound = [&](const std::string& what, uint32_t needed) {
    out.push_back("  " + Pad(what, 24) + "needs " + Hex(needed) + "  " +
                  (a.size >= needed ? "ok" : "too small"));
  };
  for (const PatchResult& p : a.patches) {
    for (const SiteResult& s : p.sites) {
      bound(p.sites.size() > 1 ? "centre-text " + s.label : s.label + " site", s.offset + s.length);
    }
  }
  bound("radar and wheel bytes", vhud::kWheelOpenEnd);
  for (const PatchResult& p : a.patches) {
    out.push_back("");
    out.push_back(p.name + ": " + (p.goesIn ? "would go in" : "would be skipped"));
    for (const SiteResult& s : p.sites) {
      out.push_back("  " + Pad(s.label, 13) + "+" + Hex(s.offset) + " " +
                    Pad("(" + PlaceOf(image, s.offset) + ")", 13) +
                    (s.inImage ? HexBytes(s.bytes) : std::string("(past SizeOfImage)")));
      out.push_back("  " + std::string(13, ' ') + s.verdict);
      if (!s.writes.empty()) {
        out.push_back("  " + std::string(13, ' ') + s.writes);
      }
      if (s.inImage && PlaceOf(image, s.offset) == "no section") {
        out.push_back("  " + std::string(13, ' ') +
                      "note: no section holds these bytes; in memory they may be unmapped");
      }
    }
    for (const std::string& line : p.log) {
      out.push_back("  log: " + line);
    }
    if (p.log.empty() && a.knownBuild) {
      out.push_back("  log: nothing (the plug-in returns silently and retries on every pass)");
    }
  }
  out.push_back("");
  if (!a.knownBuild) {
    out.push_back("radar suppression and wheel test: off (no HUD hook)");
  } else if (a.radarInImage) {
    out.push_back("radar suppression and wheel test: available (radar byte +" +
                  Hex(vhud::kRadarEnabled) + ", wheel byte +" + Hex(vhud::kWheelOpen) + ")");
  } else {
    out.push_back("radar suppression and wheel test: off, silently (SizeOfImage below " +
                  Hex(vhud::kWheelOpenEnd) + ")");
  }
  static_assert(kRadarEnd <= vhud::kWheelOpenEnd, "one bound covers both bytes");
  out.push_back("once-only: each patch logs only its first outcome; of the centre-text sites only");
  out.push_back("  the first failing one in table order, and success only when all six match.");
  out.push_back("not foreseen: a VirtualProtect refusal in the game, which the plug-in logs.");
  out.push_back("already in place: never, for a file: the plug-in's patches exist only in the");
  out.push_back("  game's memory, pointing at plug-in code and floats that no file on disk holds.");
  int skipped = 0;
  for (const PatchResult& p : a.patches) {
    skipped += p.goesIn ? 0 : 1;
  }
  if (!a.knownBuild) {
    out.push_back(
        "result: another build of VHud: the plug-in would change nothing in this VHud (no wheel "
        "patch, no HUD hook, no icons)");
  } else if (skipped == 0 && a.radarInImage) {
    out.push_back("result: all 3 patches would go in");
  } else if (skipped == 0) {
    out.push_back(
        "result: all 3 patches would go in, but the radar and wheel bytes lie past "
        "the image");
  } else {
    out.push_back("result: " + std::to_string(skipped) + " of 3 patches would be skipped");
  }
  return out;
}

}  // namespace check
