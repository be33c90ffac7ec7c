#include "check/command.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "check/check.h"
#include "check/pe_image.h"

namespace check {
bool ReadWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data, std::string* error) {
  const std::string tooLarge = "file larger than " + std::to_string(limit >> 20) + " MiB";
  std::error_code ec;
  const std::filesystem::path where(path);
  if (std::filesystem::is_regular_file(where, ec)) {
    const uintmax_t size = std::filesystem::file_size(where, ec);
    if (!ec && size > limit) {
      *error = tooLarge;
      return false;
    }
  }
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *error = std::string("cannot open: ") + strerror(errno);
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
  const std::string kUsage = "usage: quorvel-check PATH-TO-VHud.asi\n";
  CommandOutput result;
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    result.out = kUsage +
                 "Tells what the Quorvel Icons plug-in would patch in this VHud.asi.\n"
                 "Exit: 0 every patch would go in, 1 some would be skipped, 2 unusable file.\n";
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
