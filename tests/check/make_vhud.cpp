// Writes the synthesized all-original VHud.asi and the run_check.sh
// expectation for it ("exit 0", then the report's lines) into a directory
// (made when missing).
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "tests/check/expected_report.h"
#include "tests/check/vhud_file.h"

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
  FILE* out = fopen((dir + "/VHud.asi").c_str(), "wb");
  if (out == nullptr || fwrite(file.data(), 1, file.size(), out) != file.size() ||
      fclose(out) != 0) {
    fprintf(stderr, "make_vhud: cannot write %s/VHud.asi\n", dir.c_str());
    return 1;
  }
  out = fopen((dir + "/VHud.expected").c_str(), "w");
  if (out == nullptr) {
    fprintf(stderr, "make_vhud: cannot write %s/VHud.expected\n", dir.c_str());
    return 1;
  }
  fprintf(out, "exit 0\n");
  for (const std::string& line : vhudfile::AllOriginalReport("VHud.asi")) {
    fprintf(out, "%s\n", line.c_str());
  }
  return fclose(out) == 0 ? 0 : 1;
}
