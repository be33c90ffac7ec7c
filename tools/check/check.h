// What the plug-in would do with a VHud image: the three wheel patches judged
// site by site with the plug-in's own site recognition, the log lines of the
// first pass, and the report that quorvel-check prints.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "check/pe_image.h"

namespace check {

// Exit codes of quorvel-check.
constexpr int kExitAllGoIn = 0;   // every patch would go in, every VHud item lies in the image
constexpr int kExitSkipped = 1;   // some patch would be skipped, an item lies past the image, or
                                  // VHud is another build (nothing would change)
constexpr int kExitBadImage = 2;  // not a usable PE32 image, or the file could not be read
constexpr int kExitUsage = 64;    // wrong command line

struct SiteResult {
  std::string label;  // "static-slot", "slot-spacing", or the centre-text label
  uint32_t offset;
  uint32_t length;
  bool inImage;                // offset + length <= SizeOfImage
  std::vector<uint8_t> bytes;  // the site's bytes (empty when !inImage)
  bool goesIn;
  std::string verdict;  // one phrase: what the plug-in makes of the site
  std::string writes;   // the bytes the plug-in would store, if it says more than the verdict
};

struct PatchResult {
  std::string name;
  bool goesIn;
  std::vector<SiteResult> sites;
  std::vector<std::string> log;  // what the plug-in writes on its first pass
};

struct Analysis {
  uint32_t base;
  uint32_t size;
  uint32_t buildMatching;  // bytes of the known sites that are the known build's
  uint32_t buildJudged;    // bytes judged: those of the sites not left out
  bool knownBuild;         // the plug-in's verdict on them (RecogniseBuild)
  PatchResult patches[3];  // static-slot, slot-spacing, centre-text; none tried for another build
  bool radarInImage;       // radar byte and wheel byte lie inside the image
  bool AllGoIn() const;
  // The worker's lines on finding VHud.
  std::vector<std::string> WorkerLog() const;
  // The log lines of the three installers' first pass, in the order written.
  std::vector<std::string> FirstPassLog() const;
};

// Judges the image bytes memory[0, size) as if VHud were loaded at `base`.
Analysis Analyse(const uint8_t* memory, uint32_t size, uint32_t base);

// The lines that quorvel-check prints for a mapped file.
std::vector<std::string> FormatReport(const std::string& path, uint64_t fileSize,
                                      const PeImage& image, const Analysis& analysis);

}  // namespace check
