// Writes the synthesized all-original VHud.asi and the run_check.sh
// expectation for it ("exit 0", then the report's lines) into a directory
// (made when missing), and beside them another build of VHud, OtherVHud.asi,
// with its expected lines, OtherVHud.expected.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "tests/check/expected_report.h"
#include "tests/check/vhud_file.h"

namespace {

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
      fclose(out) != 0) {
    fprintf(stderr, "make_vhud: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool WriteExpected(const std::string& path, const std::vector<std::string>& lines) {
  FILE* out = fopen(path.c_str(), "w");
  if (out == nullptr) {
    fprintf(stderr, "make_vhud: cannot write %s\n", path.c_str());
    return false;
  }
  for (const std::string& line : lines) {
    fprintf(out, "%s\n", line.c_str());
  }
  return fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_vhud DIR\n");
    return 64;
  }
  const std::string dir = argv[1];
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "make_vhud: cannot create %s\n", dir.c_str());
    return 1;
  }
  if (!WriteFile(dir + "/VHud.asi", vhudfile::Build())) {
    return 1;
  }
  std::vector<std::string> expected = {"exit 0"};
  for (const std::string& line : vhudfile::AllOriginalReport("VHud.asi")) {
    expected.push_back(line);
  }
  if (!WriteExpected(dir + "/VHud.expected", expected) ||
      !WriteFile(dir + "/OtherVHud.asi", vhudfile::BuildOtherBuild()) ||
      !WriteExpected(dir + "/OtherVHud.expected", vhudfile::OtherBuildReportLines())) {
    return 1;
  }
  return 0;
}
