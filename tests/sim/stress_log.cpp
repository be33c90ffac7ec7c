// Reads the stress run's log back text by text.
#include "stress_log.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace stress {
namespace {

// Length of the match of `pattern` at text[at], or 0.
size_t MatchAt(const std::string& text, size_t at, const char* pattern) {
  size_t i = at;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '#') {
      if (text.compare(i, 2, "0x") != 0) return 0;
      i += 2;
      for (int d = 0; d < 8; ++d, ++i) {
        char c = i < text.size() ? text[i] : '\0';
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return 0;
      }
    } else {
      if (i >= text.size() || text[i] != *p) return 0;
      ++i;
    }
  }
  return i - at;
}

}  // namespace

LogReport ReadLogTexts(const std::string& log) {
  LogReport r;
  uint32_t pending = 0;
  size_t at = 0;
  while (at < log.size()) {
    if (log.compare(at, 2, "\r\n") == 0) {
      if (pending == 0) {
        r.whole = false;
        r.badAt = at;
        return r;
      }
      --pending;
      at += 2;
      continue;
    }
    size_t best = 0;
    size_t which = 0;
    for (size_t v = 0; v < kVocabularySize; ++v) {
      size_t n = MatchAt(log, at, kVocabulary[v]);
      if (n > best) {
        best = n;
        which = v;
      }
    }
    if (best == 0) {
      r.whole = false;
      r.badAt = at;
      return r;
    }
    ++r.counts[which];
    ++r.texts;
    ++pending;
    if (pending > 1) ++r.interleaved;
    if (pending > r.maxPending) r.maxPending = pending;
    at += best;
  }
  r.pendingAtEnd = pending;
  return r;
}

size_t IndexOf(const char* prefix) {
  for (size_t v = 0; v < kVocabularySize; ++v) {
    if (strncmp(kVocabulary[v], prefix, strlen(prefix)) == 0) return v;
  }
  return kVocabularySize;
}

}  // namespace stress
