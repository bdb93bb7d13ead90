// What explorerctl shows of texts it does not write itself (device replies,
// file and interface names): no byte a terminal would act on, nothing a
// spreadsheet would run, JSON that stays ASCII whatever the names hold.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "explorer/ctl/Console.h"
#include "explorer/ctl/ScanOutput.h"

namespace {

using ctl::LineBreaks;
using ctl::TerminalSafe;

TEST(TextSafetyTest, ControlBytesAreReplacedAndTextIsKept) {
  const struct {
    std::string text;
    std::string keep;     // LineBreaks::Keep
    std::string replace;  // LineBreaks::Replace
  } cases[] = {
      // Retitling the window, clearing the screen, ringing the bell.
      {"530 \x1b]0;owned\x07Login \x1b[2Jincorrect", "530 ?]0;owned?Login ?[2Jincorrect",
       "530 ?]0;owned?Login ?[2Jincorrect"},
      // C1 controls: the CSI byte alone and in its UTF-8 form, NEL, DEL.
      {"a\x9b" "2Jb\xc2\x9b" "2Jc\xc2\x85\x7f", "a?2Jb?2Jc??", "a?2Jb?2Jc??"},
      // A CR alone returns to the start of the line and overwrites it.
      {"ok\rFAILED\r\nnext\nend\t.", "ok?FAILED\r\nnext\nend\t.", "ok?FAILED??next?end\t."},
      // Text in other languages stays, bytes that are no UTF-8 but no
      // control either stay, a stray continuation byte in C1's range goes.
      {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80 caf\xe9", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80 caf\xe9",
       "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80 caf\xe9"},
      {"cut \xe2\x82 over \xc0\x9b end \xc2", "cut \xe2? over \xc0? end \xc2", "cut \xe2? over \xc0? end \xc2"},
      {std::string("nul\0byte", 8), "nul?byte", "nul?byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keep);
    EXPECT_EQ(TerminalSafe(c.text, LineBreaks::Keep), c.keep);
    EXPECT_EQ(TerminalSafe(c.text, LineBreaks::Replace), c.replace);
  }
}

ctl::DeviceRow Row(const std::string& link) {
  ctl::DeviceRow row;
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x10, 0x00, 0x01};
  row.record.setMac(mac);
  row.record.setKind(3);
  row.record.setIp(0x0100007F);
  row.record.setMask(0x000000FF);
  row.link = link;
  row.via.text = link;  // a link's name is what reached the device
  return row;
}

TEST(TextSafetyTest, CsvOfAScanNeverStartsAFormula) {
  const std::string csv = ctl::RenderScan({Row("=cmd|' /C calc'!A0"), Row("-x"), Row("eth0")},
                                          ctl::ScanFormat::Csv);
  EXPECT_NE(csv.find(",'=cmd|' /C calc'!A0,'=cmd|' /C calc'!A0,false,false\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find(",'-x,'-x,false,false\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find(",eth0,eth0,false,false\r\n"), std::string::npos) << csv;
}

TEST(TextSafetyTest, JsonOfAScanIsAsciiWhateverTheInterfaceIsCalled) {
  const std::string name = "\x1b[2J\x7f\xc2\x9b" "caf\xc3\xa9\xff";
  std::string json;
  ASSERT_NO_THROW(json = ctl::RenderScan({Row(name)}, ctl::ScanFormat::Json));
  for (unsigned char c : json) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  ASSERT_TRUE(parsed.is_array()) << json;
  // Every character survives escaped; the byte that is no UTF-8 becomes U+FFFD.
  EXPECT_EQ(parsed[0]["link"], "\x1b[2J\x7f\xc2\x9b" "caf\xc3\xa9\xef\xbf\xbd");
}

}  // namespace
