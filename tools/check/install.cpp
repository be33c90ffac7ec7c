#include "check/install.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "check/check.h"
#include "check/copy_identity.h"
#include "check/install_parts.h"
#include "check/log_explain.h"
#include "check/pe_image.h"
#include "check/sha256.h"
#include "qi_plugin_identity.h"
#include "qi_version.h"

namespace check {
namespace {

// The plug-in draws icons of 1 to 4096 pixels a side.
constexpr uint32_t kMaxIconSide = 4096;
// An .asi file beyond this is not read: the plug-in is some kilobytes.
constexpr size_t kMaxCopySize = 64u << 20;

// The report's lines and the highest finding so far.
struct Findings {
  std::string* out;
  int code = 0;
  int toAct = 0;
  int errors = 0;
  void Line(const std::string& line) { *out += line + "\n"; }
  void Ok(const std::string& what) { Line("verdict: ok: " + what); }
  void Act(const std::string& what, const std::string& advice) {
    Line("verdict: act: " + what);
    Line("advice: " + advice);
    code = std::max(code, 1);
    ++toAct;
  }
  void Error(const std::string& what, const std::string& advice = "") {
    Line("verdict: error: " + what);
    if (!advice.empty()) {
      Line("advice: " + advice);
    }
    code = std::max(code, 2);
    ++errors;
  }
};

// The text of a command's error line without its "quorvel-check: " and end.
std::string Reason(const std::string& err) {
  std::string text = err.substr(0, err.find('\n'));
  const std::string prefix = "quorvel-check: ";
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

void CheckVHudPart(const std::string& folder, const FolderSearch& search, Findings& f) {
  f.Line("1. VHud");
  if (search.vhud.empty()) {
    f.Error("no VHud.asi in " + folder + " or in the folders " + std::to_string(kSearchDepth) +
                " levels below it",
            "install VHud, and run quorvel-check in the game folder (or give it with --game)");
    return;
  }
  for (size_t i = 1; i < search.vhud.size(); ++i) {
    f.Line("  another VHud.asi, not checked: " + search.vhud[i].relative);
  }
  CommandOutput vhud;
  CheckVHud(search.vhud[0].path.c_str(), &vhud);
  *f.out += vhud.out;
  if (vhud.exitCode >= kExitBadImage) {
    f.Error("cannot use " + Reason(vhud.err), "install VHud again: the file may be damaged");
  } else if (vhud.exitCode != kExitAllGoIn) {
    f.Act("the plug-in would not (fully) work with this VHud.asi (the result above)",
          "use the VHud version the plug-in was made for");
  } else {
    f.Ok(search.vhud[0].relative + " takes every patch");
  }
}

struct Copy {
  FoundFile file;
  CopyIdentity identity;
  uint64_t order;  // VersionOrder of its version
  std::string sha256;
};

// Every copy of the plug-in among the .asi files, each reported.
std::vector<Copy> FindCopies(const FolderSearch& search, Findings& f) {
  std::vector<Copy> copies;
  for (const FoundFile& asi : search.asi) {
    std::vector<uint8_t> data;
    std::string error;
    PeImage layout;
    if (!ReadWholeFile(asi.path.c_str(), kMaxCopySize, &data, &error)) {
      // Far larger than the plug-in: another program, not worth reading.
      if (error.rfind("file larger than", 0) != 0) {
        f.Error("cannot read " + asi.relative + ": " + error);
      }
      continue;
    }
    if (!ReadPeLayout(data.data(), data.size(), &layout, &error)) {
      continue;  // not an image: not the plug-in
    }
    const CopyIdentity identity = IdentifyCopyFile(layout, data.data(), data.size());
    if (identity.kind == CopyKind::NotACopy) {
      continue;
    }
    copies.push_back(
        {asi, identity, VersionOrder(identity.version), Sha256Hex(data.data(), data.size())});
    f.Line("  " + asi.relative + ": Quorvel Icons " + VersionText(identity.version) +
           (identity.kind == CopyKind::Legacy ? " (known by its version resource)" : ""));
  }
  return copies;
}

// The copy to keep: the highest version; among equals, the release's bytes.
size_t CopyToKeep(const std::vector<Copy>& copies, const BuiltPlugin& plugin, std::string* why) {
  size_t keep = 0;
  auto isRelease = [&](const Copy& c) {
    return c.order == VersionOrder(plugin.version) && !plugin.sha256.empty() &&
           c.sha256 == plugin.sha256;
  };
  for (size_t i = 1; i < copies.size(); ++i) {
    if (copies[i].order > copies[keep].order ||
        (copies[i].order == copies[keep].order && isRelease(copies[i]) &&
         !isRelease(copies[keep]))) {
      keep = i;
    }
  }
  bool tied = false;
  for (size_t i = 0; i < copies.size(); ++i) {
    tied = tied || (i != keep && copies[i].order == copies[keep].order);
  }
  *why = !tied                     ? "the highest version"
         : isRelease(copies[keep]) ? "the release's bytes"
                                   : "any one of the same version";
  return keep;
}

void CheckIdentity(const Copy& copy, const BuiltPlugin& plugin, Findings& f) {
  const std::string name = copy.file.relative;
  const std::string version = VersionText(copy.identity.version);
  const std::string own = VersionText(plugin.version);
  if (copy.order != VersionOrder(plugin.version)) {
    f.Act(name + " is version " + version + "; this quorvel-check is version " + own + "'s",
          "check it with the quorvel-check of release " + version +
              ", or install Quorvel_Icons.asi of release " + own);
  } else if (plugin.sha256.empty()) {
    f.Act("the bytes of " + name +
              " cannot be checked: this quorvel-check was built without "
              "the plug-in",
          "use the quorvel-check of the release archive");
  } else if (copy.sha256.empty()) {
    f.Error("the SHA-256 of " + name + " cannot be computed");
  } else if (copy.sha256 == plugin.sha256) {
    f.Ok(name + " is release " + own + "'s plug-in, byte for byte (SHA-256 " + copy.sha256 + ")");
  } else {
    f.Act(name + " says version " + own +
              " but its bytes are not the release's: the file is "
              "damaged, changed, or half restored (SHA-256 " +
              copy.sha256 + ", the release's " + plugin.sha256 + ")",
          "install Quorvel_Icons.asi of release " + own + " again from its archive");
  }
}

void CheckCopies(const FolderSearch& search, const BuiltPlugin& plugin, Findings& f) {
  f.Line("");
  f.Line("2. The plug-in's copies (among " + std::to_string(search.asi.size()) + " .asi files)");
  const std::vector<Copy> copies = FindCopies(search, f);
  const Copy* checked = copies.empty() ? nullptr : &copies[0];
  if (copies.empty()) {
    f.Act("the plug-in is not installed: no .asi file is a copy of it",
          "copy Quorvel_Icons.asi from the release archive into the folder that holds VHud.asi");
  } else if (copies.size() == 1) {
    f.Ok("one copy: " + copies[0].file.relative);
  } else {
    std::string why, all, others;
    const size_t keep = CopyToKeep(copies, plugin, &why);
    checked = &copies[keep];
    for (size_t i = 0; i < copies.size(); ++i) {
      all += (i == 0 ? "" : ", ") + copies[i].file.relative;
      if (i != keep) {
        others += (others.empty() ? "" : ", ") + copies[i].file.relative;
      }
    }
    f.Act(std::to_string(copies.size()) + " copies of the plug-in, each loaded by the game: " + all,
          "keep " + checked->file.relative + " (" + why + ") and delete " + others);
  }
  f.Line("");
  f.Line("3. The copy's identity");
  if (checked == nullptr) {
    f.Line("  no copy to check");
  } else {
    CheckIdentity(*checked, plugin, f);
  }
}

// One icon file: its line, and a finding when it is a PNG of a size the
// plug-in does not draw or cannot be read.
bool CheckIconFile(const FoundFile& file, Findings& f) {
  uint8_t head[24] = {};
  FILE* in = OpenForReading(file.path);
  const size_t got = in != nullptr ? fread(head, 1, sizeof(head), in) : 0;
  const bool failed = in == nullptr || ferror(in) != 0;
  const std::string reason = in == nullptr ? strerror(errno) : "read error";
  if (in != nullptr) {
    fclose(in);
  }
  if (failed) {
    f.Error("cannot read " + file.relative + ": " + reason);
    return false;
  }
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (got < 8 || memcmp(head, kPng, 8) != 0) {
    f.Line("  " + file.relative + ": not a PNG (VHud decides whether it loads it)");
    return true;
  }
  auto be32 = [&](int at) {
    return uint32_t{head[at]} << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3];
  };
  if (got < 24 || memcmp(head + 12, "IHDR", 4) != 0) {
    f.Act(file.relative + " is a PNG without its header: damaged", "save the icon again as a PNG");
    return false;
  }
  const uint32_t width = be32(16), height = be32(20);
  f.Line("  " + file.relative + ": PNG, " + std::to_string(width) + " x " + std::to_string(height) +
         " pixels");
  if (width - 1u >= kMaxIconSide || height - 1u >= kMaxIconSide) {
    f.Act(file.relative + " is " + std::to_string(width) + " x " + std::to_string(height) +
              " pixels: the plug-in draws only icons of 1 to 4096 pixels a side",
          "make the icon at most 4096 pixels wide and high");
    return false;
  }
  return true;
}

void CheckIcons(const std::string& folder, Findings& f) {
  f.Line("");
  f.Line("4. The icons");
  FoundFile icons;
  std::string error;
  std::vector<FolderEntry> entries;
  const std::string where = std::string("VHud") + kSeparator + "icons";
  if (!FindIconFolder(folder, &icons, &error) && !error.empty()) {
    f.Error("cannot read " + error);
    return;
  }
  if (!icons.path.empty() && !ListFolder(icons.path, &entries, &error)) {
    f.Error("cannot read " + icons.relative + ": " + error);
    return;
  }
  for (const char* stem : {"health_icon", "armour_icon"}) {
    const std::vector<FoundFile> files = IconFiles(icons, entries, stem);
    bool usable = true;
    for (const FoundFile& file : files) {
      usable = CheckIconFile(file, f) && usable;
    }
    if (files.empty()) {
      f.Act(std::string("no ") + stem + " in " + where +
                (icons.path.empty() ? " (no such folder)" : ""),
            std::string("put the ") + (stem[0] == 'h' ? "health" : "armour") + " icon into " +
                where + " as " + stem + ", in a format VHud loads");
    } else if (usable) {
      f.Ok(std::string(stem) + (files.size() > 1 ? ": VHud decides which file it loads" : ""));
    }
  }
}

void CheckLog(const FolderSearch& search, Findings& f) {
  f.Line("");
  f.Line("5. The log");
  if (search.log.empty()) {
    f.Line("  no Quorvel_Icons.log: the game has not run with the plug-in here yet");
    return;
  }
  CommandOutput log;
  ExplainLogFile(search.log.c_str(), &log);
  *f.out += log.out;
  if (log.exitCode >= kLogUnreadable) {
    f.Error("cannot explain " + Reason(log.err));
  } else if (log.exitCode != kLogAllWell) {
    f.Act("the log shows a problem", "follow the advice above");
  } else {
    f.Ok("the log shows nothing to act on");
  }
}

}  // namespace

BuiltPlugin ThisBuildsPlugin() {
  return {{QI_VERSION_MAJOR, QI_VERSION_MINOR, QI_VERSION_PATCH}, QI_PLUGIN_SHA256};
}

void CheckInstall(const std::string& folder, const BuiltPlugin& plugin, CommandOutput* result) {
  Findings f = {&result->out};
  f.Line("game folder: " + folder + " (VHud.asi and the plug-in looked for " +
         std::to_string(kSearchDepth) + " folder levels down)");
  const FolderSearch search = SearchGameFolder(folder);
  for (const std::string& error : search.errors) {
    f.Error("cannot read the folder " + error);
  }
  if (search.readable) {
    f.Line("");
    CheckVHudPart(folder, search, f);
    CheckCopies(search, plugin, f);
    CheckIcons(folder, f);
    CheckLog(search, f);
    f.Line("");
    std::string summary = "install: ";
    if (f.toAct == 0 && f.errors == 0) {
      summary += "nothing to act on";
    } else {
      if (f.toAct != 0) {
        summary += std::to_string(f.toAct) + (f.toAct > 1 ? " things" : " thing") + " to act on";
      }
      if (f.errors != 0) {
        summary += std::string(f.toAct != 0 ? ", " : "") + std::to_string(f.errors) +
                   (f.errors > 1 ? " errors" : " error");
      }
      summary += " (the verdict lines above)";
    }
    f.Line("");
    f.Line(summary);
  }
  result->exitCode = std::max(result->exitCode, f.code);
}

}  // namespace check
