#include "explorer/ctl/Csv.h"

#include <cerrno>
#include <cstring>

#include "explorer/ctl/InputFile.h"

namespace ctl {
namespace {

bool LooksLikeFormula(const std::string& field) {
  if (field.empty()) return false;
  switch (field.front()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r': return true;
    default: return false;
  }
}

}  // namespace

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    const std::string f = LooksLikeFormula(fields[i]) ? "'" + fields[i] : fields[i];
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      line += f;
      continue;
    }
    line += '"';
    for (char c : f) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line + "\r\n";
}

bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>& records,
              std::string& error) {
  records.clear();
  std::vector<std::string> record;
  std::string field;
  bool quoted = false;
  bool fieldStarted = false;  // a record with one empty quoted field is not blank
  size_t line = 1;            // where the current record started
  size_t lineNow = 1;
  size_t recordStart = 0;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(line) + ": " + what;
    records.clear();
    return false;
  };
  auto endRecord = [&] {
    if (fieldStarted || !field.empty() || !record.empty()) {
      record.push_back(field);
      records.push_back(record);
    }
    record.clear();
    field.clear();
    fieldStarted = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') ++lineNow;
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
      fieldStarted = true;
    } else if (c == ',') {
      record.push_back(field);
      field.clear();
      fieldStarted = true;
      if (record.size() >= CSV_MAX_FIELDS)
        return fail("more than " + std::to_string(CSV_MAX_FIELDS) + " fields");
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // The LF that follows ends the record.
    } else if (c == '\n') {
      endRecord();
      line = lineNow;
      recordStart = i + 1;
      continue;
    } else {
      field += c;
    }
    if (field.size() > CSV_MAX_FIELD_BYTES)
      return fail("a field longer than " + std::to_string(CSV_MAX_FIELD_BYTES) + " bytes");
    if (i + 1 - recordStart > CSV_MAX_RECORD_BYTES)
      return fail("a record longer than " + std::to_string(CSV_MAX_RECORD_BYTES) + " bytes");
  }
  if (quoted) return fail("a quoted field is not closed");
  endRecord();
  return true;
}

CsvRead ReadCsvFile(const std::string& path, std::string& text, std::string& error) {
  int err = 0;
  switch (ReadInputFile(path, CSV_MAX_FILE_BYTES, text, err)) {
    case InputResult::Ok:
      return CsvRead::Ok;
    case InputResult::Interrupted:
      return CsvRead::Interrupted;
    case InputResult::TooLarge:
      text.clear();
      error = path + " holds more than " + std::to_string(CSV_MAX_FILE_BYTES) +
              " bytes, too many for a list of devices";
      return CsvRead::Failed;
    case InputResult::Failed:
      break;
  }
  error = "cannot read " + path + ": " + std::strerror(err);
  return CsvRead::Failed;
}

}  // namespace ctl
