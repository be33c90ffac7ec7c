// quorvel-check PATH: tells, site by site, what the Quorvel Icons plug-in
// would do with the VHud.asi at PATH, and the log lines it would write.
// quorvel-check --version prints the version. The Windows build without PATH
// checks the VHud.asi beside it (or in the current folder), and in a console
// of its own waits for Enter before it ends (tools/check/explorer.h).
//
// Exit codes: 0 every patch would go in; 1 some patch would be skipped (or
// the radar and wheel bytes lie past the image); 2 the file is not a usable
// PE32 image or cannot be read (or, without PATH, there is none); 64 wrong
// command line.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "check/check.h"
#include "check/pe_image.h"
#include "qi_version.h"
#ifdef _WIN32
#include "check/explorer.h"
#endif

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

int CheckFile(const char* path) {
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

int Run(int argc, char** argv) {
#ifdef _WIN32
  const char* kUsage = "usage: quorvel-check [PATH-TO-VHud.asi]";
#else
  const char* kUsage = "usage: quorvel-check PATH-TO-VHud.asi";
#endif
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("quorvel-check %s\n", QI_VERSION);
    return check::kExitAllGoIn;
  }
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    printf("%s\n", kUsage);
    printf("Tells what the Quorvel Icons plug-in would patch in this VHud.asi.\n");
#ifdef _WIN32
    printf("Without a path: the VHud.asi beside quorvel-check.exe, else in the current folder.\n");
#endif
    printf("Exit: 0 every patch would go in, 1 some would be skipped, 2 unusable file.\n");
    printf("--version prints the version.\n");
    return check::kExitAllGoIn;
  }
#ifdef _WIN32
  if (argc == 1) {
    std::string path, error;
    if (!check::FindVHudNearby(&path, &error)) {
      fprintf(stderr, "quorvel-check: %s\n", error.c_str());
      return check::kExitBadImage;
    }
    return CheckFile(path.c_str());
  }
#endif
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    fprintf(stderr, "%s\n", kUsage);
    return check::kExitUsage;
  }
  return CheckFile(argv[1]);
}

}  // namespace

int main(int argc, char** argv) {
  const int code = Run(argc, argv);
#ifdef _WIN32
  // Started from Explorer, the console window closes when the program ends.
  if (check::OwnsConsole()) {
    check::WaitForEnter();
  }
#endif
  return code;
}
