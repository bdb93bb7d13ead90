// The CSV explorerctl writes (scan) and reads (--from): RFC 4180 quoting
// both ways, including what spreadsheets produce.
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

}  // namespace
