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

namespace {

// One pass over the text, a character at a time; every limit is checked
// after each one, so no field or record outgrows it.
class CsvParser {
 public:
  CsvParser(const std::string& text, std::vector<std::vector<std::string>>& records, std::string& error)
      : text_(text), records_(records), error_(error) {}

  bool Parse() {
    records_.clear();
    for (size_t i = 0; i < text_.size(); ++i) {
      if (!Take(i)) return false;
      if (field_.size() > CSV_MAX_FIELD_BYTES)
        return Fail("a field longer than " + std::to_string(CSV_MAX_FIELD_BYTES) + " bytes");
      if (i + 1 - recordStart_ > CSV_MAX_RECORD_BYTES)
        return Fail("a record longer than " + std::to_string(CSV_MAX_RECORD_BYTES) + " bytes");
    }
    if (quoted_) return Fail("a quoted field is not closed");
    EndRecord();
    return true;
  }

 private:
  // Takes the character at i, and with a doubled quote the one after it
  // (i moves past it); false on a record with too many fields.
  bool Take(size_t& i) {
    const char c = text_[i];
    if (c == '\n') ++lineNow_;
    if (quoted_) {
      if (c != '"') {
        field_ += c;
      } else if (i + 1 < text_.size() && text_[i + 1] == '"') {
        field_ += '"';
        ++i;
      } else {
        quoted_ = false;
      }
    } else if (c == '"') {
      quoted_ = true;
      fieldStarted_ = true;
    } else if (c == ',') {
      record_.push_back(field_);
      field_.clear();
      fieldStarted_ = true;
      if (record_.size() >= CSV_MAX_FIELDS)
        return Fail("more than " + std::to_string(CSV_MAX_FIELDS) + " fields");
    } else if (c == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n') {
      // The LF that follows ends the record.
    } else if (c == '\n') {
      EndRecord();
      line_ = lineNow_;
      recordStart_ = i + 1;
    } else {
      field_ += c;
    }
    return true;
  }

  void EndRecord() {
    if (fieldStarted_ || !field_.empty() || !record_.empty()) {
      record_.push_back(field_);
      records_.push_back(record_);
    }
    record_.clear();
    field_.clear();
    fieldStarted_ = false;
  }

  bool Fail(const std::string& what) {
    error_ = "line " + std::to_string(line_) + ": " + what;
    records_.clear();
    return false;
  }

  const std::string& text_;
  std::vector<std::vector<std::string>>& records_;
  std::string& error_;
  std::vector<std::string> record_;
  std::string field_;
  bool quoted_ = false;
  bool fieldStarted_ = false;  // a record with one empty quoted field is not blank
  size_t line_ = 1;            // where the current record started
  size_t lineNow_ = 1;
  size_t recordStart_ = 0;
};

}  // namespace

bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>& records,
              std::string& error) {
  return CsvParser(text, records, error).Parse();
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
