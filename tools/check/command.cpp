#include "check/command.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "check/check.h"
#include "check/pe_image.h"

namespace check {
namespace {

// The size of an open regular file; false for anything else (a pipe, a
// device), whose length is known only once it has been read.
bool RegularFileSize(FILE* file, uint64_t* size) {
#ifdef _WIN32
  struct _stati64 info;
  if (_fstati64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    return false;
  }
#else
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
#endif
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

}  // namespace

bool ReadWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data, std::string* error) {
  const std::string tooLarge = "file larger than " + std::to_string(limit >> 20) + " MiB";
  FILE* file = fopen(path, "rb");
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

CommandOutput RunCommand(int argc, const char* const* argv) {
#ifdef _WIN32
  // Without a path, main looks for VHud.asi nearby first.
  const std::string kUsage = "usage: quorvel-check [PATH-TO-VHud.asi]\n";
  const char* const kNearby =
      "Without a path: the VHud.asi beside quorvel-check.exe, else in the current folder.\n";
#else
  const std::string kUsage = "usage: quorvel-check PATH-TO-VHud.asi\n";
  const char* const kNearby = "";
#endif
  CommandOutput result;
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    result.out = kUsage + "Tells what the Quorvel Icons plug-in would patch in this VHud.asi.\n" +
                 kNearby +
                 "Exit: 0 every patch would go in, 1 some would be skipped, 2 unusable file.\n"
                 "--version prints the version.\n";
    result.exitCode = kExitAllGoIn;
    return result;
  }
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    result.err = kUsage;
    result.exitCode = kExitUsage;
    return result;
  }
  const char* path = argv[1];
  std::vector<uint8_t> data;
  std::string error;
  PeImage image;
  if (!ReadWholeFile(path, kMaxFileSize, &data, &error) ||
      !MapPeImage(data.data(), data.size(), &image, &error)) {
    result.err = "quorvel-check: " + std::string(path) + ": " + error + "\n";
    result.exitCode = kExitBadImage;
    return result;
  }
  const Analysis analysis = Analyse(image.memory.data(), image.sizeOfImage, image.imageBase);
  for (const std::string& line : FormatReport(path, data.size(), image, analysis)) {
    result.out += line + "\n";
  }
  result.exitCode = analysis.AllGoIn() && analysis.radarInImage ? kExitAllGoIn : kExitSkipped;
  return result;
}

}  // namespace check
