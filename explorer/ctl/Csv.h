#pragma once
// RFC 4180 text: lines end with CRLF; a field with a comma, a quote or a
// line break is quoted, its quotes doubled.
#include <cstddef>
#include <string>
#include <vector>

namespace ctl {

// A field that a spreadsheet would take for a formula (it starts with =, +,
// -, @, a tab or a CR) is written with a single quote in front.
std::string CsvLine(const std::vector<std::string>& fields);

// What a CSV file given to explorerctl may hold: a list of devices is
// small, and anything past these is refused rather than read on.
constexpr size_t CSV_MAX_FILE_BYTES = 4 * 1024 * 1024;
constexpr size_t CSV_MAX_RECORD_BYTES = 64 * 1024;
constexpr size_t CSV_MAX_FIELD_BYTES = 4 * 1024;
constexpr size_t CSV_MAX_FIELDS = 256;  // per record

// Every record of a CSV text (quoted fields may hold commas, quotes and line
// breaks; CRLF or LF end a record; blank lines are skipped). False with
// `error` set for a quote left open or a record past the limits above.
bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>& records,
              std::string& error);

enum class CsvRead { Ok, Failed, Interrupted };
// The whole of `path` (a pipe or a device as well as a file), at most
// CSV_MAX_FILE_BYTES of it; `error` says why not.
CsvRead ReadCsvFile(const std::string& path, std::string& text, std::string& error);

}  // namespace ctl
