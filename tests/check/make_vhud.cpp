// Writes the synthesized all-original VHud.asi and the run_check.sh
// expectation for it ("exit 0", then the report's lines) into a directory
// (made when missing), and beside them another build of VHud, OtherVHud.asi,
// with its expected lines, OtherVHud.expected.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/check/expected_report.h"
#include "tests/check/vhud_file.h"

namespace {

// Whole or not at all, under its name: the test runs on this machine and in
// the VM at once, and the other's readers never see a file half written
// (the fsync: in the VM the data would otherwise reach the machine after
// the rename).
bool Write(const std::string& path, const void* data, size_t size) {
  const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  FILE* out = fopen(temporary.c_str(), "wb");
  if (out == nullptr || fwrite(data, 1, size, out) != size || fflush(out) != 0 ||
      fsync(fileno(out)) != 0 || fclose(out) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    fprintf(stderr, "make_vhud: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
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
  const std::vector<uint8_t> file = vhudfile::Build();
  std::string expected = "exit 0\n";
  for (const std::string& line : vhudfile::AllOriginalReport("VHud.asi")) {
    expected += line + "\n";
  }
  const std::vector<uint8_t> other = vhudfile::BuildOtherBuild();
  std::string otherExpected;
  for (const std::string& line : vhudfile::OtherBuildReportLines()) {
    otherExpected += line + "\n";
  }
  return Write(dir + "/VHud.asi", file.data(), file.size()) &&
                 Write(dir + "/VHud.expected", expected.data(), expected.size()) &&
                 Write(dir + "/OtherVHud.asi", other.data(), other.size()) &&
                 Write(dir + "/OtherVHud.expected", otherExpected.data(), otherExpected.size())
             ? 0
             : 1;
}
