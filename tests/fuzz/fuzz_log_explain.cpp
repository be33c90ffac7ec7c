// Fuzz target: quorvel-check's log explainer (ExplainLog, with the table of
// log lines it matches against).
//
// The first input byte picks the form of the rest: odd, the rest is a log as
// it is; even, the rest is a list of line changes (an operation and a line
// index each: drop, repeat, cut in half, copy to the end) applied to a log
// that holds every kind of line once, then a byte of flags (no final line
// end; only the start of a longer file), so that the fuzzer starts from logs
// that get past the first line.
//
// Beyond crashes, undefined behaviour and hangs it checks what a player
// relies on: a refusal has one reason and no explanation, an explanation no
// reason; the exit code is 0, 1 or 2; everything printed is plain text; and
// the explanation does not grow with the log (repeated lines are counted).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "check/log_explain.h"
#include "check/log_lines.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "fuzz_log_explain: %s\n", what);
  abort();
}

// Every kind's line once, values filled in, after the start line.
std::vector<std::string> Template() {
  std::vector<std::string> lines;
  for (const check::LogLineKind& kind : check::LogLineKinds()) {
    std::string line;
    for (const char* p = kind.pattern; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == 'x') {
        line += "0x00B4E0C8";
        ++p;
      } else if (p[0] == '%' && p[1] == 's') {
        line += "count-x";
        ++p;
      } else {
        line += *p;
      }
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  check::LogText log;
  if ((data[0] & 1) != 0) {
    log.bytes.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    static const std::vector<std::string> kTemplate = Template();
    std::vector<std::string> lines = kTemplate;
    size_t at = 1;
    for (; at + 2 <= size && !lines.empty(); at += 2) {
      const size_t i = data[at + 1] % lines.size();
      switch (data[at] & 3) {
        case 0:
          lines.erase(lines.begin() + static_cast<long>(i));
          break;
        case 1:
          lines.insert(lines.begin() + static_cast<long>(i), lines[i]);
          break;
        case 2:
          lines[i].resize(lines[i].size() / 2);
          break;
        default:
          lines.push_back(lines[i]);
          break;
      }
    }
    for (const std::string& line : lines) log.bytes += line + "\r\n";
    const uint8_t flags = at < size ? data[at] : 0;
    if ((flags & 1) != 0 && !log.bytes.empty()) log.bytes.resize(log.bytes.size() - 2);
    log.longer = (flags & 2) != 0;
  }
  log.fileSize = log.bytes.size() + (log.longer ? 1 : 0);

  const check::Explanation e = check::ExplainLog(log);
  if (e.exitCode < check::kLogAllWell || e.exitCode > check::kLogUnreadable) Fail("exit code");
  if ((e.exitCode == check::kLogUnreadable) != !e.error.empty()) Fail("a refusal without reason");
  if ((e.exitCode == check::kLogUnreadable) != e.lines.empty()) Fail("explained and refused");
  if (e.lines.size() > 8 * check::LogLineKinds().size()) Fail("the explanation lists lines");
  for (const std::string& line : e.lines) {
    for (char c : line) {
      if (c < 0x20 || c > 0x7E) Fail("a byte of the log's own printed raw");
    }
  }
  for (char c : e.error) {
    if (c < 0x20 || c > 0x7E) Fail("a byte of the log's own printed raw in a reason");
  }
  return 0;
}
