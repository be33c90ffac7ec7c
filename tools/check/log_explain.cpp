#include "check/log_explain.h"

#include <stdio.h>

#include <algorithm>

#include "check/log_lines.h"

namespace check {
namespace {

// More re-installs of the HUD hook than this in one game: another mod keeps
// putting the jump back.
constexpr size_t kManyRehooks = 10;
constexpr size_t kQuoteMax = 100;

std::string Quote(const std::string& line) {
  return "\"" + (line.size() <= kQuoteMax ? line : line.substr(0, kQuoteMax) + "...") + "\"";
}

std::string Hex(uint32_t value) {
  char text[12];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

std::string Times(size_t n) { return n == 1 ? "once" : std::to_string(n) + " times"; }

// One kind of line as it occurred in the log.
struct Seen {
  const LogLineKind* kind;
  size_t count;
  size_t firstLine, lastLine;
  std::string first, last;
  LogLineMatch match;  // of the first
};

struct Reading {
  std::vector<Seen> seen;  // in the order of first appearance
  std::vector<const LogLineKind*> states;
  size_t loads = 0, failedLoads = 0;
  bool loadPending = false;
  size_t lines = 0;
  std::string lastLine;
  // The first sign that more than one writer wrote the log: its line and
  // what it is; then the lines cut by the other writer, and those that
  // cannot be read at all.
  size_t signLine = 0;
  std::string sign;
  size_t cutLines = 0, unread = 0, firstUnread = 0;

  void Sign(size_t n, const std::string& what) {
    if (signLine == 0 || n < signLine) {
      signLine = n;
      sign = what;
    }
  }
  void Note(const LogLineMatch& m, size_t n, const std::string& line) {
    Seen* s = Find(m.kind->id);
    if (s != nullptr && s->kind == &LogLineKinds().front()) {
      Sign(n, "a second start line");
    }
    if (s == nullptr) {
      seen.push_back({m.kind, 0, n, n, line, line, m});
      s = &seen.back();
    }
    ++s->count;
    s->lastLine = n;
    s->last = line;
    const std::string id = m.kind->id;
    if (m.kind->topic == Topic::kVisibility && id.rfind("state_", 0) == 0) {
      states.push_back(m.kind);
    } else if (id == "load") {
      ++loads;
      loadPending = true;
    } else if ((id == "health_invalid" || id == "armour_invalid") && loadPending) {
      ++failedLoads;
      loadPending = false;
    }
  }
  Seen* Find(const char* id) {
    for (Seen& s : seen) {
      if (std::string(s.kind->id) == id) {
        return &s;
      }
    }
    return nullptr;
  }
};

// The first line of every log: the one that names the build.
std::string BootLine() { return LogLineKinds().front().pattern; }
constexpr char kStopLine[] = "[STOP] DLL detach";

// Recognises every line; false with the reason at the first that is not one
// of this build's.
bool Recognise(const std::vector<std::string>& lines, size_t nulLine, Reading* r,
               std::string* error) {
  const std::string boot = BootLine();
  if (lines[0] != boot) {
    *error = lines[0].rfind("[BOOT]", 0) == 0
                 ? "written by another build of the plug-in: its first line is " + Quote(lines[0]) +
                       ", this quorvel-check explains the logs of " + Quote(boot)
                 : "not a Quorvel Icons log: its first line is " + Quote(lines[0]) +
                       ", not the plug-in's start line " + Quote(boot);
    return false;
  }
  if (nulLine != 0) {
    r->Sign(std::min(nulLine, lines.size()), "NUL bytes before it");
  }
  // Two threads writing at the same moment can put one line's text before
  // the other's line end: "AB", then an empty line.
  size_t seams = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty() && seams > 0) {
      --seams;
      continue;
    }
    LogLineMatch m = MatchLogLine(line);
    if (m.kind != nullptr) {
      r->Note(m, i + 1, line);
      continue;
    }
    LinePieces pieces;
    if (!ReadLinePieces(line, &pieces)) {
      if (r->unread++ == 0) {
        r->firstUnread = i + 1;
        *error = "line " + std::to_string(i + 1) +
                 " is not a line this build of the plug-in writes: " + Quote(line) +
                 " (a line of an older or newer build, or an edited file)";
      }
      continue;
    }
    for (const std::string& piece : pieces.whole) {
      r->Note(MatchLogLine(piece), i + 1, piece);
    }
    if (pieces.cut == 0) {
      seams += pieces.whole.size() - 1;
    } else if (r->cutLines++ == 0) {
      r->Sign(i + 1, "a line cut by another line written over it");
    }
  }
  r->lines = lines.size();
  r->lastLine = lines.back();
  // A lone CR (a line cut right before its LF) is not printed.
  r->lastLine.erase(std::remove(r->lastLine.begin(), r->lastLine.end(), '\r'), r->lastLine.end());
  if (Seen* stop = r->Find("stop"); stop != nullptr && stop->firstLine < r->lines) {
    r->Sign(stop->firstLine, "a stop line before the end");
  }
  return true;
}

struct Writer {
  std::vector<std::string> out;
  std::vector<std::string> problems;

  void Say(const std::string& text) { out.push_back("  " + text); }
  void Problem(const std::string& where, const std::string& what) {
    problems.push_back(where + ": " + what);
  }
  // A kind's lines, counted, with what they mean and, for a problem, what
  // to do.
  void Lines(const Seen& s, bool problem) {
    std::string where = s.count == 1 ? "line " + std::to_string(s.firstLine)
                                     : "lines " + std::to_string(s.firstLine) + " to " +
                                           std::to_string(s.lastLine) + ", " + Times(s.count);
    Say(where + ": " + s.first);
    if (s.count > 1 && s.last != s.first) {
      Say("  the last: " + s.last);
    }
    Say("  " + PlainText(s.kind->meaning));
    if (problem) {
      Say("  What to do: " + PlainText(s.kind->advice));
      Problem(where, s.first);
    }
  }
};

// A log that more than one writer wrote: what that means, before what could
// be read of it.
void Writers(const Reading& r, Writer& w) {
  if (r.signLine == 0) {
    return;
  }
  w.out.push_back("More than one writer");
  w.Say(
      "More than one copy of the plug-in, or more than one game, wrote this log, so lines may be "
      "cut or lost. The first sign, line " +
      std::to_string(r.signLine) + ": " + r.sign + ".");
  if (r.cutLines > 0) {
    w.Say("Lines cut by the other writer: " + std::to_string(r.cutLines) +
          "; what is whole in them is explained below.");
  }
  if (r.unread > 0) {
    w.Say("Lines that cannot be read at all: " + std::to_string(r.unread) + ", the first line " +
          std::to_string(r.firstUnread) + ".");
  }
  w.Say(
      "  What to do: keep one copy of the plug-in: remove every other copy from the game's folder "
      "and its subfolders, also those under other names, and start one game at a time; the next "
      "game then writes a whole log.");
}

void End(Reading& r, Writer& w, bool longer) {
  if (longer) {
    w.Say("The rest of the log was not read: how the game ended is not known.");
    return;
  }
  if (r.lastLine == kStopLine) {
    w.Say("The log ends with the stop line (line " + std::to_string(r.lines) +
          "): the game closed normally.");
    return;
  }
  w.Say("The log ends without the stop line \"" + std::string(kStopLine) +
        "\": the game crashed or was killed from outside (or it is still running). The last "
        "line the plug-in wrote, line " +
        std::to_string(r.lines) + ": " + r.lastLine);
  w.Say(
      "  What to do: if the game crashed, start it again without Quorvel_Icons.asi; if it "
      "still crashes, the plug-in is not the cause; if not, report the crash with this log.");
  w.Problem("line " + std::to_string(r.lines), "the log ends without the stop line");
}

void Topics(Reading& r, Writer& w, bool longer) {
  Seen* hook = r.Find("hook");
  static const char* const kTitles[] = {"Start",          "VHud",  "Weapon wheel patches",
                                        "HUD hook",       "Icons", "Visibility of the icons",
                                        "End of the game"};
  for (uint8_t t = 0; t <= static_cast<uint8_t>(Topic::kEnd); ++t) {
    const Topic topic = static_cast<Topic>(t);
    w.out.push_back(kTitles[t]);
    if (topic == Topic::kStart) {
      const std::string boot = BootLine();
      w.Say("The plug-in started (line 1), built as " + Quote(boot.substr(7, boot.size() - 7 - 8)) +
            " (its first line tells): the build this quorvel-check explains.");
      // Of two writers' lines some are lost.
      if (r.Find("thread") == nullptr && r.signLine == 0) {
        w.Say("The worker thread never started: Windows refused to start it; restart the game.");
        w.Problem("line 4", "no \"[THREAD] worker started\" line");
      }
    } else if (topic == Topic::kVhud) {
      if (Seen* found = r.Find("vhud_found")) {
        w.Say("The worker found VHud at line " + std::to_string(found->firstLine) + ": base " +
              Hex(found->match.hex[0]) + ", size " + Hex(found->match.hex[1]) + ".");
        if (found->match.hex[1] == 0) {
          w.Say(
              "Its size is 0: VHud.asi is no valid program image and nothing was patched; "
              "reinstall VHud.");
          w.Problem("line " + std::to_string(found->firstLine), "VHud's size is 0");
        }
      } else if (r.Find("vhud_missing") == nullptr) {
        w.Say("The log ends before the worker found VHud or gave up looking for it.");
      }
    } else if (topic == Topic::kWheel) {
      static const char* const kPatches[][2] = {{"static_", "static-slot patch"},
                                                {"spacing_", "slot-spacing patch"},
                                                {"centre_", "centre-text patch"}};
      for (const auto& patch : kPatches) {
        std::string outcome = r.Find("vhud_other_build") != nullptr
                                  ? "not tried (another build of VHud)"
                                  : "not tried (VHud was not found, or not usable)";
        for (const Seen& s : r.seen) {
          if (std::string(s.kind->id).rfind(patch[0], 0) == 0 &&
              std::string(s.kind->id).find("_info") == std::string::npos) {
            outcome = (s.kind->weight == Weight::kFine ? "installed" : "skipped") +
                      std::string(" (line ") + std::to_string(s.firstLine) + ")";
          }
        }
        w.Say(std::string(patch[1]) + ": " + outcome);
      }
      w.Say(
          "A wheel patch that another party puts back is installed again without a new line: "
          "the log does not count those.");
    } else if (topic == Topic::kHook && hook != nullptr) {
      w.Say("The HUD hook went in at line " + std::to_string(hook->firstLine) + ".");
      if (hook->count > 1) {
        w.Say("Something put VHud's HUD jump back, and the plug-in took it over again, " +
              Times(hook->count - 1) + ".");
      }
      Seen* early = r.Find("hook_outside");
      if (early != nullptr && early->lastLine < hook->lastLine) {
        w.Say("The warning at line " + std::to_string(early->lastLine) +
              " came from a look before VHud had finished starting; the hook went in after it.");
      }
      if (hook->count - 1 > kManyRehooks) {
        w.Problem(
            "lines " + std::to_string(hook->firstLine) + " to " + std::to_string(hook->lastLine),
            "another mod keeps resetting the HUD jump: remove one of the two");
      }
    } else if (topic == Topic::kHook) {
      w.Say("The HUD hook never went in: no icons were drawn.");
    } else if (topic == Topic::kIcons && r.loads == 0) {
      w.Say("The icons were never loaded: no HUD frame with a player ran through the plug-in.");
    } else if (topic == Topic::kIcons) {
      Seen* draw = r.Find("first_draw");
      w.Say(
          "Icon loads: " + std::to_string(r.loads) + ", of which " + std::to_string(r.failedLoads) +
          " left an icon unusable (each retried about 31 frames later); " +
          (draw ? "first drawn at line " + std::to_string(draw->firstLine) + "." : "never drawn."));
    } else if (topic == Topic::kVisibility && r.states.empty()) {
      w.Say("No visibility state was logged: no HUD frame ran through the plug-in.");
    } else if (topic == Topic::kVisibility) {
      std::string list;
      for (const Seen& s : r.seen) {
        if (std::string(s.kind->id).rfind("state_", 0) == 0) {
          list += (list.empty() ? "" : ", ") + s.first.substr(8) + " (" + Times(s.count) + ")";
        }
      }
      w.Say("States seen: " + list + ".");
      w.Say("The last: " + std::string(r.states.back()->pattern).substr(8) + ".");
    } else if (topic == Topic::kEnd) {
      End(r, w, longer);
      continue;
    }
    for (const Seen& s : r.seen) {
      if (s.kind->topic != topic) {
        continue;
      }
      // The early look's warning is no problem once the hook went in after it.
      const bool benign = std::string(s.kind->id) == "hook_outside" && hook != nullptr &&
                          hook->lastLine > s.lastLine;
      w.Lines(s, s.kind->weight == Weight::kProblem && !benign);
    }
  }
}

}  // namespace

Explanation ExplainLog(const LogText& log) {
  Explanation e;
  LogLines split;
  if (!SplitLogLines(log, &split, &e.error)) {
    return e;
  }
  const std::vector<std::string>& lines = split.lines;
  if (lines.empty()) {
    e.error = "no whole line in its first " + std::to_string(log.bytes.size()) + " bytes";
    return e;
  }
  Reading r;
  std::string error;
  const bool read = Recognise(lines, split.nulLine, &r, &error);
  // What is no line of the plug-in is another build's or an edited file's,
  // unless another writer cut it.
  if (r.signLine == 0 && !split.badEnd.empty()) {
    error = split.badEnd;
  }
  if (!read || (r.signLine == 0 && !error.empty())) {
    e.error = error;
    return e;
  }
  Writer w;
  w.out.push_back(std::to_string(r.lines) + " lines" +
                  (log.longer
                       ? ": only the first " + std::to_string(log.bytes.size()) + " bytes of " +
                             std::to_string(log.fileSize) + " were read; the rest is not explained"
                       : ""));
  Writers(r, w);
  Topics(r, w, log.longer);
  if (r.signLine != 0) {
    w.Problem("line " + std::to_string(r.signLine),
              "more than one copy of the plug-in, or more than one game, wrote this log: keep one "
              "copy");
  }
  if (w.problems.empty()) {
    w.out.push_back("result: all went well");
    e.exitCode = kLogAllWell;
  } else {
    w.out.push_back("result: " + std::to_string(w.problems.size()) +
                    (w.problems.size() == 1 ? " problem" : " problems") + " to act on:");
    for (const std::string& p : w.problems) {
      w.out.push_back("  " + p);
    }
    e.exitCode = kLogProblem;
  }
  e.lines = std::move(w.out);
  return e;
}

}  // namespace check
