#include "explorer/ctl/Csv.h"

namespace ctl {

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    const std::string& f = fields[i];
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
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // The LF that follows ends the record.
    } else if (c == '\n') {
      endRecord();
    } else {
      field += c;
    }
  }
  if (quoted) {
    error = "a quoted field is not closed";
    return false;
  }
  endRecord();
  return true;
}

}  // namespace ctl
