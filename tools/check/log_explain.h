// quorvel-check --log: reads a Quorvel_Icons.log and tells in plain words
// what the plug-in did in that game, in the order of the game, from the
// table of log lines (log_lines.h). A log is untrusted input: only a bounded
// prefix is read, and whatever is not a whole log of this build gets one
// clear reason instead of an explanation.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace check {

// Exit codes of the explanation (beside those of the VHud check, check.h).
constexpr int kLogAllWell = 0;     // nothing for the player to do
constexpr int kLogProblem = 1;     // the log shows a problem a player can act on
constexpr int kLogUnreadable = 2;  // not readable, or not a log of this build

// A log of this size or more is not read at all.
constexpr uint64_t kLogRefusedSize = 100'000'000;
// At most this much of a log is read and explained.
constexpr size_t kLogPrefix = 8u << 20;

struct LogText {
  std::string bytes;      // the first bytes of the file, at most the prefix
  uint64_t fileSize = 0;  // the whole file's size, where the system tells it
  bool longer = false;    // the file goes on past `bytes`
};

// Reads at most `prefix` bytes of the file at `path`. False with a one-line
// reason when it cannot be opened or read, or is kLogRefusedSize or more.
bool ReadLogPrefix(const char* path, size_t prefix, LogText* log, std::string* error);

// The log's lines without their CR LF (the last, cut line of a prefix
// dropped), and what in them only a second writer leaves, or an editor:
struct LogLines {
  std::vector<std::string> lines;
  // The first line that NUL bytes right after a line end stood before, or 0:
  // the gap a second writer leaves when it writes past the file's end (they
  // are dropped).
  size_t nulLine = 0;
  // The first line end other than CR LF, as a one-line reason, or "": a lone
  // LF ends a line, a lone CR stays in it (where a writer's line began on
  // the other's LF).
  std::string badEnd;
};

// False with a one-line reason for an empty or binary file or a cut last
// line.
bool SplitLogLines(const LogText& log, LogLines* out, std::string* error);

// A cut piece of a line shorter than this is not recognised: an ordinary
// line is not taken for a cut one.
constexpr size_t kMinCutPiece = 12;

// What a line of a log with two writers is made of: each writer writes whole
// lines at its own position in the file, over the other's, so a line can be
// the plug-in's lines cut at their back, then one whole or cut at its front.
struct LinePieces {
  std::vector<std::string> whole;  // the whole lines of the plug-in in it, in order
  size_t cut = 0;  // the pieces cut at their front or back (a line that lost only its LF too)
};

// Reads `line` as such pieces (the fewest cut ones); a piece cut at its
// front, which ends the line, is at least kMinCutPiece long. False when it is
// not so made.
bool ReadLinePieces(const std::string& line, LinePieces* pieces);

struct Explanation {
  int exitCode = kLogUnreadable;
  std::vector<std::string> lines;  // the explanation, when the log could be read
  std::string error;               // one line, when it could not
};

// Explains a log's bytes; `log.longer` says they are only its beginning (the
// cut last line is then dropped, and the end of the game is unknown).
Explanation ExplainLog(const LogText& log);

}  // namespace check
