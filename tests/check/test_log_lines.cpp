// The table of log lines against the two other places that know them: every
// line the plug-in's sources can write has exactly one kind in the table and
// every kind is a line the plug-in writes (the string literals of src/ read
// as a compiler would), and the README's troubleshooting tables are the
// table's own text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "check/log_lines.h"
#include "wheel/sites.h"

namespace {

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The string literals of a C++ source, adjacent ones joined, comments and
// character literals skipped.
std::vector<std::string> Literals(const std::string& src) {
  std::vector<std::string> out;
  bool joinable = false;  // only blanks since the last literal
  for (size_t i = 0; i < src.size(); ++i) {
    const char c = src[i];
    if (src.compare(i, 2, "//") == 0) {
      i = src.find('\n', i);
      if (i == std::string::npos) break;
    } else if (src.compare(i, 2, "/*") == 0) {
      i = src.find("*/", i + 2) + 1;
    } else if (c == '\'') {
      i = src.find('\'', i + (src[i + 1] == '\\' ? 3 : 2));
      joinable = false;
    } else if (c == '"') {
      std::string text;
      for (++i; src[i] != '"'; ++i) {
        if (src[i] == '\\') {
          const char e = src[++i];
          text += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
          text += src[i];
        }
      }
      if (joinable) {
        out.back() += text;
      } else {
        out.push_back(text);
      }
      joinable = true;
    } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
      joinable = false;
    }
  }
  return out;
}

// The plug-in's log texts: literals that start with a tag such as "[OK]".
std::set<std::string> PluginLogTexts() {
  std::set<std::string> texts;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(QI_SOURCE_DIR "/src")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    for (const std::string& text : Literals(Slurp(entry.path()))) {
      const size_t close = text.find(']');
      if (text.size() > 2 && text[0] == '[' && close != std::string::npos && close > 1 &&
          text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 1) == close) {
        texts.insert(text);
      }
    }
  }
  return texts;
}

// A pattern's text before its first value.
std::string Head(const char* pattern) {
  const std::string p = pattern;
  return p.substr(0, p.find('%'));
}

TEST(LogLines, EveryLineThePluginWritesHasOneKindAndEveryKindIsWritten) {
  const std::set<std::string> texts = PluginLogTexts();
  ASSERT_GE(texts.size(), 30u) << "the scan of src/ found too few log texts";
  std::set<std::string> used;
  for (const std::string& text : texts) {
    int kinds = 0;
    for (const check::LogLineKind& kind : check::LogLineKinds()) {
      // A text that carries no value is the whole line; one that does is the
      // line's start (the pieces after it carry no tag).
      const std::string head = Head(kind.pattern);
      if (head == kind.pattern ? head == text : head.rfind(text, 0) == 0) {
        ++kinds;
        used.insert(kind.id);
      }
    }
    EXPECT_EQ(kinds, 1) << "the plug-in writes \"" << text << "\"";
  }
  for (const check::LogLineKind& kind : check::LogLineKinds()) {
    EXPECT_EQ(used.count(kind.id), 1u) << kind.id << ": no such line in src/: " << kind.pattern;
  }
}

TEST(LogLines, EachKindMatchesItsOwnLinesOnlyWithExactValues) {
  std::set<std::string> ids;
  for (const check::LogLineKind& kind : check::LogLineKinds()) {
    EXPECT_TRUE(ids.insert(kind.id).second) << kind.id;
    const std::string p = kind.pattern;
    std::vector<std::string> labels = {""};
    if (p.find("%s") != std::string::npos) {
      labels.clear();
      for (const CentreTextSite& site : kCentreTextSites) labels.push_back(site.label);
    } else if (p.find("%n") != std::string::npos) {
      labels = {"Quorvel_Icons_old.asi", "?uorvel [2] ??.asi", std::string(64, 'q')};
    }
    for (const std::string& label : labels) {
      std::string line;
      std::vector<uint32_t> values;
      for (size_t i = 0; i < p.size(); ++i) {
        if (p.compare(i, 2, "%x") == 0) {
          values.push_back(values.empty() ? 0x0ABCDEF9u : 0xF0000001u);
          line += values.size() == 1 ? "0x0ABCDEF9" : "0xF0000001";
          ++i;
        } else if (p.compare(i, 2, "%s") == 0 || p.compare(i, 2, "%n") == 0) {
          line += label;
          ++i;
        } else {
          line += p[i];
        }
      }
      const check::LogLineMatch m = check::MatchLogLine(line);
      ASSERT_EQ(m.kind, &kind) << line;
      EXPECT_EQ(m.hex, values) << line;
      EXPECT_EQ(m.label, label) << line;
      // One character more, one less, a lower-case digit: no line at all.
      EXPECT_EQ(check::MatchLogLine(line + " ").kind, nullptr) << line;
      EXPECT_EQ(check::MatchLogLine(line.substr(0, line.size() - 1)).kind, nullptr) << line;
      if (!values.empty()) {
        std::string lower = line;
        lower[lower.find("0x0ABCDEF9") + 3] = 'a';
        EXPECT_EQ(check::MatchLogLine(lower).kind, nullptr) << lower;
      }
    }
  }
  EXPECT_EQ(check::MatchLogLine("[WHEEL][ERR] centre-text signature mismatch at name-z").kind,
            nullptr);
  EXPECT_EQ(check::MatchLogLine("[OK] VHud.asi base=0x1234567 size=0x00000000").kind, nullptr);
  const std::string idle = "[WARN] another copy of the plug-in is loaded and stays idle: \"";
  for (const std::string& name : {std::string(), std::string(65, 'q'), std::string("a\x7F")}) {
    EXPECT_EQ(check::MatchLogLine(idle + name + "\"").kind, nullptr) << name;
  }
}

TEST(LogLines, TheReadmeTroubleshootingTablesAreTheTablesOwnText) {
  const std::string readme = Slurp(QI_SOURCE_DIR "/README.md");
  size_t begin = 0, end = 0;
  ASSERT_TRUE(check::FindReadmeTable(readme, &begin, &end));
  EXPECT_EQ(readme.substr(begin, end - begin), check::FormatReadmeTable())
      << "write the README's tables with: build/native/qi_log_table --update README.md";
}

}  // namespace
