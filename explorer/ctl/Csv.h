#pragma once
// RFC 4180 text: lines end with CRLF; a field with a comma, a quote or a
// line break is quoted, its quotes doubled.
#include <string>
#include <vector>

namespace ctl {

std::string CsvLine(const std::vector<std::string>& fields);

// Every record of a CSV text (quoted fields may hold commas, quotes and line
// breaks; CRLF or LF end a record; blank lines are skipped). False with
// `error` set for a quote left open.
bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>& records,
              std::string& error);

}  // namespace ctl
