// The plug-in's log file as the tests read it.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

std::string ReadLog() {
  std::ifstream in(WorkDir() + "/Quorvel_Icons.log", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> LogLines(bool* allEndedInCrLf) {
  std::string text = ReadLog();
  std::vector<std::string> lines;
  bool ok = true;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      ok = false;
      break;
    }
    std::string line = text.substr(at, end - at);
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) ok = false;
    lines.push_back(line);
    at = end + 2;
  }
  if (allEndedInCrLf != nullptr) *allEndedInCrLf = ok;
  return lines;
}

}  // namespace sim
