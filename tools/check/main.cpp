// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
//
// Exit codes: 0 every patch would go in; 1 some patch would be skipped (or
// the radar and wheel bytes lie past the image); 2 the file is not a usable
// PE32 image or cannot be read; 64 wrong command line.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "check/check.h"
#include "check/pe_image.h"

namespace {

// Files beyond this cannot be a VHud image worth mapping.
constexpr size_t kMaxFileSize = 256u << 20;

bool ReadWholeFile(const char* path, std::vector<uint8_t>* data, std::string* error) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *error = std::string("cannot open: ") + strerror(errno);
    return false;
  }
  std::vector<uint8_t> chunk(1u << 16);
  for (;;) {
    size_t got = fread(chunk.data(), 1, chunk.size(), file);
    if (data->size() + got > kMaxFileSize) {
      fclose(file);
      *error = "file larger than " + std::to_string(kMaxFileSize >> 20) + " MiB";
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

}  // namespace

int main(int argc, char** argv) {
  const char* kUsage = "usage: quorvel-check PATH-TO-VHud.asi";
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    printf("%s\n", kUsage);
    printf("Tells what the Quorvel Icons plug-in would patch in this VHud.asi.\n");
    printf("Exit: 0 every patch would go in, 1 some would be skipped, 2 unusable file.\n");
    return check::kExitAllGoIn;
  }
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    fprintf(stderr, "%s\n", kUsage);
    return check::kExitUsage;
  }
  const char* path = argv[1];
  std::vector<uint8_t> data;
  std::string error;
  check::PeImage image;
  if (!ReadWholeFile(path, &data, &error) ||
      !check::MapPeImage(data.data(), data.size(), &image, &error)) {
    fprintf(stderr, "quorvel-check: %s: %s\n", path, error.c_str());
    return check::kExitBadImage;
  }
  const check::Analysis analysis =
      check::Analyse(image.memory.data(), image.sizeOfImage, image.imageBase);
  for (const std::string& line : check::FormatReport(path, data.size(), image, analysis)) {
    printf("%s\n", line.c_str());
  }
  if (fflush(stdout) != 0) {
    return check::kExitBadImage;
  }
  return analysis.AllGoIn() && analysis.radarInImage ? check::kExitAllGoIn : check::kExitSkipped;
}
