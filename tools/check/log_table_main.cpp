// qi_log_table: prints the README's troubleshooting tables from the table of
// log lines (tools/check/log_lines.cpp); `qi_log_table --update README.md`
// writes them into the README in place of the old ones. The native tree's
// check.readme_log_table test fails while the README differs.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "check/log_lines.h"

int main(int argc, char** argv) {
  const std::string table = check::FormatReadmeTable();
  if (argc == 1) {
    fputs(table.c_str(), stdout);
    return 0;
  }
  if (argc != 3 || strcmp(argv[1], "--update") != 0) {
    fputs("usage: qi_log_table [--update README.md]\n", stderr);
    return 64;
  }
  std::stringstream text;
  text << std::ifstream(argv[2], std::ios::binary).rdbuf();
  std::string readme = text.str();
  size_t begin = 0, end = 0;
  if (!check::FindReadmeTable(readme, &begin, &end)) {
    fprintf(stderr, "qi_log_table: %s has no troubleshooting tables\n", argv[2]);
    return 2;
  }
  readme.replace(begin, end - begin, table);
  std::ofstream(argv[2], std::ios::binary) << readme;
  return 0;
}
