// Reading a log: a bounded prefix of the file, then its bytes split into
// lines, refusing whatever the plug-in cannot have written.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "check/file_size.h"
#include "check/folder.h"
#include "check/log_explain.h"

namespace check {
namespace {

std::string Megabytes(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

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

bool SplitLogLines(const LogText& log, std::vector<std::string>* lines, std::string* error) {
  const std::string& b = log.bytes;
  if (b.empty()) {
    *error =
        "the log is empty: the plug-in was loaded but wrote nothing (it could not write "
        "the file), or the file was emptied";
    return false;
  }
  for (size_t i = 0; i < b.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(b[i]);
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
    if (lf || cr) {
      *error = "line " + std::to_string(lines->size() + 1) + " ends in " +
               (lf ? "LF alone" : "CR alone") +
               ", not CR LF as the plug-in writes: the file was converted or edited (use the "
               "Quorvel_Icons.log the game wrote, not a copy saved by an editor)";
      return false;
    }
    if (b[i] == '\n') {
      lines->push_back(b.substr(start, i - 1 - start));
      start = i + 1;
    }
  }
  if (start < b.size() && !log.longer) {
    *error = "the last line (line " + std::to_string(lines->size() + 1) +
             ") is cut off without its CR LF: the game is still running, or it ended while the "
             "plug-in was writing that line (a crash, or a game killed from outside); close the "
             "game, or read the log of a game that closed";
    return false;
  }
  return true;
}

}  // namespace check
