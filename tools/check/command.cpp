#include "check/command.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "check/check.h"
#include "check/file_size.h"
#include "check/folder.h"
#include "check/install.h"
#include "check/log_explain.h"
#include "check/pe_image.h"

namespace check {

bool ReadWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data, std::string* error) {
  const std::string tooLarge = "file larger than " + std::to_string(limit >> 20) + " MiB";
  FILE* file = OpenForReading(path);
  if (file == nullptr) {
    *error = std::string("cannot open: ") + strerror(errno);
    return false;
  }
  uint64_t size = 0;
  if (RegularFileSize(file, &size) && size > limit) {
    fclose(file);
    *error = tooLarge;
    return false;
  }
  std::vector<uint8_t> chunk(1u << 16);
  for (;;) {
    size_t got = fread(chunk.data(), 1, chunk.size(), file);
    if (data->size() + got > limit) {
      fclose(file);
      *error = tooLarge;
      return false;
    }
    data->insert(data->end(), chunk.begin(), chunk.begin() + got);
    if (got < chunk.size()) {
      break;
    }
  }
  bool failed = ferror(file) != 0;
  int code = errno;
  fclose(file);
  if (failed) {
    *error = std::string("read error: ") + strerror(code);
    return false;
  }
  return true;
}

namespace {

bool EndsWithLog(const std::string& path) {
  if (path.size() < 4) {
    return false;
  }
  std::string end = path.substr(path.size() - 4);
  for (char& c : end) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return end == ".log";
}

// A file, not a folder: --game is given a folder, never a VHud.asi.
bool IsFile(const char* path) {
  FILE* file = IsFolder(path) ? nullptr : OpenForReading(path);
  if (file != nullptr) {
    fclose(file);
  }
  return file != nullptr;
}

}  // namespace

void CheckVHud(const char* path, CommandOutput* result) {
  std::vector<uint8_t> data;
  std::string error;
  PeImage image;
  if (!ReadWholeFile(path, kMaxFileSize, &data, &error) ||
      !MapPeImage(data.data(), data.size(), &image, &error)) {
    result->err += "quorvel-check: " + std::string(path) + ": " + error + "\n";
    result->exitCode = kExitBadImage;
    return;
  }
  const Analysis analysis = Analyse(image.memory.data(), image.sizeOfImage, image.imageBase);
  for (const std::string& line : FormatReport(path, data.size(), image, analysis)) {
    result->out += line + "\n";
  }
  result->exitCode = analysis.AllGoIn() && analysis.radarInImage ? kExitAllGoIn : kExitSkipped;
}

void ExplainLogFile(const char* path, CommandOutput* result) {
  LogText log;
  std::string error;
  Explanation explanation;
  if (!ReadLogPrefix(path, kLogPrefix, &log, &error)) {
    explanation.error = error;
  } else {
    explanation = ExplainLog(log);
  }
  int code = explanation.exitCode;
  if (!explanation.error.empty()) {
    result->err += "quorvel-check: " + std::string(path) + ": " + explanation.error + "\n";
  } else {
    result->out += "log: " + std::string(path) + " (" + std::to_string(log.fileSize) + " bytes)\n";
    for (const std::string& line : explanation.lines) {
      result->out += line + "\n";
    }
  }
  if (code > result->exitCode) {
    result->exitCode = code;
  }
}

CommandOutput RunCommand(int argc, const char* const* argv) {
  const std::string kUsage =
      "usage: quorvel-check [PATH-TO-VHud.asi] [--log PATH-TO-Quorvel_Icons.log]\n"
      "       quorvel-check --game GAME-FOLDER\n";
#ifdef _WIN32
  // Without a path, main checks the game folder it stands in first.
  const char* const kNearby =
      "Without a path: the install in quorvel-check.exe's folder, or, when no VHud.asi\n"
      "is there, in the current folder.\n";
#else
  const char* const kNearby = "";
#endif
  CommandOutput result;
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    result.out = kUsage + "Tells what the Quorvel Icons plug-in would patch in this VHud.asi,\n" +
                 "and explains what it did in the game that wrote the log (a path ending in\n" +
                 ".log counts as --log). --game checks the whole install in the game folder:\n" +
                 "VHud.asi, the plug-in's copies and their bytes, the icons and the log.\n" +
                 kNearby +
                 "Exit: 0 every patch would go in and the log shows nothing to act on,\n"
                 "1 some patch would be skipped (or VHud is another build, where it would\n"
                 "change nothing) or the log or the install shows a problem to act on,\n"
                 "2 unusable file or unreadable log, or no VHud.asi (with both, the higher).\n"
                 "--version prints the version.\n";
    result.exitCode = kExitAllGoIn;
    return result;
  }
  if (argc == 3 && strcmp(argv[1], "--game") == 0 && argv[2][0] != '\0' && !IsFile(argv[2])) {
    CheckInstall(argv[2], ThisBuildsPlugin(), &result);
    return result;
  }
  const char* vhud = nullptr;
  const char* log = nullptr;
  bool usable = argc > 1;
  for (int i = 1; i < argc && usable; ++i) {
    // --game goes alone: with a VHud.asi or a log it would check two installs.
    usable = strcmp(argv[i], "--game") != 0;
    const char*& slot = strcmp(argv[i], "--log") == 0 || EndsWithLog(argv[i]) ? log : vhud;
    const char* path = strcmp(argv[i], "--log") == 0 ? (i + 1 < argc ? argv[++i] : "") : argv[i];
    usable = usable && slot == nullptr && path[0] != '\0' && (path[0] != '-' || path != argv[i]);
    slot = path;
  }
  if (!usable) {
    result.err = kUsage;
    result.exitCode = kExitUsage;
    return result;
  }
  if (vhud != nullptr) {
    CheckVHud(vhud, &result);
  }
  if (log != nullptr) {
    if (!result.out.empty()) {
      result.out += "\n";
    }
    ExplainLogFile(log, &result);
  }
  return result;
}

}  // namespace check
