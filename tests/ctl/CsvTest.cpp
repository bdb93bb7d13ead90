// The CSV explorerctl writes (scan) and reads (--from): RFC 4180 quoting
// both ways, including what spreadsheets produce; nothing a spreadsheet
// would run as a formula; bounds on what it reads.
#include <gtest/gtest.h>

#include "explorer/ctl/Csv.h"

namespace {

using Records = std::vector<std::vector<std::string>>;

TEST(CsvTest, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(ctl::CsvLine({"a", "", "b c"}), "a,,b c\r\n");
  EXPECT_EQ(ctl::CsvLine({"x,y", "say \"hi\"", "two\nlines"}),
            "\"x,y\",\"say \"\"hi\"\"\",\"two\nlines\"\r\n");
}

TEST(CsvTest, ParsesWhatItWritesAndWhatSpreadsheetsWrite) {
  const struct {
    std::string text;
    Records records;
  } cases[] = {
      {ctl::CsvLine({"x,y", "say \"hi\"", "two\r\nlines"}) + ctl::CsvLine({"1", "", "3"}),
       {{"x,y", "say \"hi\"", "two\r\nlines"}, {"1", "", "3"}}},
      {"mac\n00:50:C2:00:00:01\n\n00:50:C2:00:00:02", {{"mac"}, {"00:50:C2:00:00:01"}, {"00:50:C2:00:00:02"}}},
      {"\"\"\r\n,\r\n", {{""}, {"", ""}}},
  };
  for (const auto& c : cases) {
    Records records;
    std::string error;
    EXPECT_TRUE(ctl::ParseCsv(c.text, records, error)) << error;
    EXPECT_EQ(records, c.records) << c.text;
  }
  Records records;
  std::string error;
  EXPECT_FALSE(ctl::ParseCsv("a,\"open\nb", records, error));
  EXPECT_FALSE(error.empty());
}

// An interface may be called anything; a field that starts like a formula
// is written as text.
TEST(CsvTest, FieldsThatLookLikeFormulasAreWrittenAsText) {
  EXPECT_EQ(ctl::CsvLine({"=HYPERLINK(\"http://x\")", "+1", "-2", "@SUM(A1)", "\tx", "a=b", "1"}),
            "\"'=HYPERLINK(\"\"http://x\"\")\",'+1,'-2,'@SUM(A1),'\tx,a=b,1\r\n");
  EXPECT_EQ(ctl::CsvLine({"=a,b"}), "\"'=a,b\"\r\n");
}

TEST(CsvTest, RecordsPastTheLimitsAreRefusedWithTheirLine) {
  const std::string longField(ctl::CSV_MAX_FIELD_BYTES + 1, 'f');
  std::string wide;
  for (size_t i = 0; i <= ctl::CSV_MAX_FIELDS; ++i) wide += "x,";
  std::string longRecord;
  while (longRecord.size() <= ctl::CSV_MAX_RECORD_BYTES) longRecord += std::string(1000, 'r') + ",";
  const struct {
    std::string text;
    const char* says;
  } cases[] = {
      {"mac\n" + longField + "\n", "line 2: a field longer than 4096 bytes"},
      {"mac\n\"a\nb\"," + std::string(1, '"') + longField + "\"\n", "line 2: a field longer"},
      {"a\r\nb\r\n" + wide + "\r\n", "line 3: more than 256 fields"},
      {"a\n\n" + longRecord, "line 3: a record longer than 65536 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    Records records;
    std::string error;
    EXPECT_FALSE(ctl::ParseCsv(c.text, records, error));
    EXPECT_EQ(error.rfind(c.says, 0), 0u) << error;
    EXPECT_TRUE(records.empty());
  }
  // Up to the limits, all is read.
  Records records;
  std::string error;
  const std::string field(ctl::CSV_MAX_FIELD_BYTES, 'f');
  EXPECT_TRUE(ctl::ParseCsv(field + "," + field + "\n", records, error)) << error;
  EXPECT_EQ(records, (Records{{field, field}}));
}

}  // namespace
