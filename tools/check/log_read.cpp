// Reading a log: a bounded prefix of the file, then its bytes split into
// lines, refusing whatever the plug-in cannot have written.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "check/file_size.h"
#include "check/folder.h"
#include "check/log_explain.h"
#include "check/log_lines.h"
#include "wheel/sites.h"

namespace check {
namespace {

std::string Megabytes(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// Stands for any upper-case hex digit in a shape.
constexpr char kHexDigit = '\x01';
// Longer lines are not read as pieces: two writers' overlaps make lines of
// a few of the plug-in's lines.
constexpr size_t kMaxPiecedLine = 2048;

// Every line of the plug-in as a shape: each kind's pattern with "%x" as
// "0x" and eight kHexDigit, "%s" as each site label, then the CR of its line
// end (a line cut right before its LF keeps it).
std::vector<std::string> BuildShapes() {
  std::vector<std::string> shapes;
  for (const LogLineKind& kind : LogLineKinds()) {
    std::vector<std::string> mine = {""};
    for (const char* p = kind.pattern; *p != '\0'; ++p) {
      const bool hex = p[0] == '%' && p[1] == 'x', label = p[0] == '%' && p[1] == 's';
      std::vector<std::string> next;
      for (const std::string& head : mine) {
        if (label) {
          for (const CentreTextSite& site : kCentreTextSites) next.push_back(head + site.label);
        } else {
          next.push_back(head + (hex ? "0x" + std::string(8, kHexDigit) : std::string(1, *p)));
        }
      }
      mine = next;
      p += hex || label ? 1 : 0;
    }
    for (const std::string& shape : mine) {
      shapes.push_back(shape + '\r');
    }
  }
  return shapes;
}

bool Fits(char shape, char c) {
  return shape == kHexDigit ? (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') : shape == c;
}

}  // namespace

bool ReadLinePieces(const std::string& line, LinePieces* pieces) {
  static const std::vector<std::string> kShapes = BuildShapes();
  const size_t n = line.size();
  if (n > kMaxPiecedLine) {
    return false;
  }
  // cuts[q]: the fewest cut pieces that make line[0, q); from[q]: where the
  // last piece starts; whole[q]: whether its text is whole.
  constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> cuts(n + 1, kNone), from(n + 1, 0);
  std::vector<bool> whole(n + 1, false);
  cuts[0] = 0;
  auto reach = [&](size_t p, size_t q, bool isWhole, bool cut) {
    const size_t c = cuts[p] + (cut ? 1 : 0);
    if (c < cuts[q]) {
      cuts[q] = c;
      from[q] = p;
      whole[q] = isWhole;
    }
  };
  for (size_t p = 0; p < n; ++p) {
    if (cuts[p] == kNone) {
      continue;
    }
    for (const std::string& shape : kShapes) {
      const size_t text = shape.size() - 1;  // without the CR
      size_t agreed = 0;
      while (agreed < shape.size() && p + agreed < n && Fits(shape[agreed], line[p + agreed])) {
        ++agreed;
      }
      if (agreed >= text) {
        reach(p, p + text, true, false);
      }
      // Cut at its back: another piece follows it, so it may be short; cut
      // right before its LF its text is whole.
      for (size_t k = 1; k <= agreed && p + k < n; ++k) {
        reach(p, p + k, k >= text, k != text);
      }
      // Cut at its front: it ends the line.
      const size_t tail = n - p;
      if (tail >= kMinCutPiece && tail < text) {
        size_t i = 0;
        while (i < tail && Fits(shape[text - tail + i], line[p + i])) {
          ++i;
        }
        if (i == tail) {
          reach(p, n, false, true);
        }
      }
    }
  }
  if (n == 0 || cuts[n] == kNone) {
    return false;
  }
  *pieces = {};
  for (size_t q = n; q > 0; q = from[q]) {
    if (whole[q]) {
      const size_t end = line[q - 1] == '\r' ? q - 1 : q;
      pieces->whole.insert(pieces->whole.begin(), line.substr(from[q], end - from[q]));
    }
  }
  pieces->cut = cuts[n];
  return true;
}

bool ReadLogPrefix(const char* path, size_t prefix, LogText* log, std::string* error) {
  FILE* file = OpenForReading(path);
  if (file == nullptr) {
    *error = std::string("cannot open: ") + strerror(errno);
    return false;
  }
  uint64_t size = 0;
  const bool regular = RegularFileSize(file, &size);
  if (regular && size >= kLogRefusedSize) {
    fclose(file);
    *error = "the file is " + Megabytes(size) +
             ": a log of 100 MB or more is not read (the plug-in's log is some kilobytes; delete "
             "it, start the game again, and check the new one)";
    return false;
  }
  // One byte past the prefix tells whether the file goes on.
  log->bytes.assign(prefix + 1, '\0');
  size_t got = fread(log->bytes.data(), 1, prefix + 1, file);
  const bool failed = ferror(file) != 0;
  const int code = errno;
  fclose(file);
  if (failed) {
    *error = std::string("read error: ") + strerror(code);
    return false;
  }
  log->longer = got > prefix;
  log->bytes.resize(log->longer ? prefix : got);
  log->fileSize = regular ? size : got;
  return true;
}

bool SplitLogLines(const LogText& log, LogLines* out, std::string* error) {
  if (log.bytes.empty()) {
    *error =
        "the log is empty: the plug-in was loaded but wrote nothing (it could not write "
        "the file), or the file was emptied";
    return false;
  }
  // The bytes without the NUL bytes that follow a line end.
  std::string b;
  b.reserve(log.bytes.size());
  std::vector<std::string>* lines = &out->lines;
  for (size_t i = 0; i < log.bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(log.bytes[i]);
    if (c == 0 && !b.empty() && b.back() == '\n') {
      if (out->nulLine == 0) {
        out->nulLine = static_cast<size_t>(std::count(b.begin(), b.end(), '\n')) + 1;
      }
      continue;
    }
    b += static_cast<char>(c);
    if ((c < 0x20 && c != '\r' && c != '\n') || c >= 0x7F) {
      char text[160];
      snprintf(text, sizeof(text),
               "byte %zu is 0x%02X: binary data, not the plug-in's log (it writes plain text only)",
               i, c);
      *error = text;
      return false;
    }
  }
  size_t start = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    const bool lf = b[i] == '\n' && (i == 0 || b[i - 1] != '\r');
    const bool cr = b[i] == '\r' && i + 1 < b.size() && b[i + 1] != '\n';
    if ((lf || cr) && out->badEnd.empty()) {
      out->badEnd = "line " + std::to_string(lines->size() + 1) + " ends in " +
                    (lf ? "LF alone" : "CR alone") +
                    ", not CR LF as the plug-in writes: the file was converted or edited (use the "
                    "Quorvel_Icons.log the game wrote, not a copy saved by an editor)";
    }
    if (b[i] == '\n') {
      lines->push_back(b.substr(start, i - (lf ? 0 : 1) - start));
      start = i + 1;
    }
  }
  if (start < b.size() && !log.longer) {
    // A line end other than CR LF, before, is the first thing wrong.
    *error = out->badEnd;
    if (error->empty()) {
      *error = "the last line (line " + std::to_string(lines->size() + 1) +
               ") is cut off without its CR LF: the game is still running, or it ended while the "
               "plug-in was writing that line (a crash, or a game killed from outside); close the "
               "game, or read the log of a game that closed";
    }
    return false;
  }
  return true;
}

}  // namespace check
