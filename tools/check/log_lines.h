// Every line the Quorvel Icons plug-in writes to Quorvel_Icons.log, what it
// means and what a player does about it: written once, here. The log
// explainer (log_explain.h) works from this table, and the README's
// troubleshooting table is printed from it (FormatReadmeTable).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace check {

// The part of the game's course a line tells of, in the order of the game.
enum class Topic : uint8_t { kStart, kVhud, kWheel, kHook, kIcons, kVisibility, kEnd };

// What a line asks of the player.
enum class Weight : uint8_t {
  kFine,     // nothing to do
  kProblem,  // a warning or an error with advice to follow
};

struct LogLineKind {
  const char* id;  // short name, used by the explainer
  Topic topic;
  uint8_t section;  // the README's table that lists it (kReadmeSections)
  Weight weight;
  // The line: "%x" stands for "0x" and eight upper-case hex digits, "%s" for
  // a centre-text site label (it ends the line), "%n" for a module's name (1
  // to 64 characters from 0x20 to 0x7E, up to the '"' that follows it);
  // every other character stands for itself.
  const char* pattern;
  const char* note;     // after the line in the README (Markdown), or ""
  const char* meaning;  // Markdown: `code` and *emphasis* only
  const char* advice;   // Markdown, as meaning
};

// The table, in the README's order.
const std::vector<LogLineKind>& LogLineKinds();

// The kind of `line` (without its line end) and the values it carries, in
// the order written; null when no line of the plug-in reads so.
struct LogLineMatch {
  const LogLineKind* kind = nullptr;
  std::vector<uint32_t> hex;  // the %x values
  std::string label;          // the %s or %n value
};
LogLineMatch MatchLogLine(const std::string& line);

// The text as a player reads it in a console: `code` and *emphasis* marks
// dropped.
std::string PlainText(const char* markdown);

// The README's troubleshooting tables: the part from the first section's
// title to the end of the last table, with a final line end.
std::string FormatReadmeTable();

// Where those tables stand in the text of README.md: [*begin, *end), from
// the first section's title to the line end of the last table's last row.
// False when the text has no such part.
bool FindReadmeTable(const std::string& readme, size_t* begin, size_t* end);

}  // namespace check
