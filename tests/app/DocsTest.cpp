// What the documentation shows of the window must be the window as it is
// now: the pictures in docs/ at the window's current size, the manual page
// naming the buttons by the texts the window gives them, and the README
// pointing at scripts and pictures that exist.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QPushButton>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "support/FileBytes.h"
#include "support/ScriptedUi.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

const fs::path kSource = QUILL_SOURCE_DIR;

// Every text the window's buttons show: idle, with a telnet kind picked, and busy.
std::set<std::string> WindowButtonTexts() {
  ScriptedUi ui;
  CExplorerDlg dlg(ui);
  dlg.show();
  QCoreApplication::processEvents();
  std::set<std::string> texts;
  auto collect = [&] {
    for (const QPushButton* b : dlg.findChildren<QPushButton*>())
      texts.insert(b->text().remove(QLatin1Char('&')).toStdString());
  };
  collect();
  ListDevices(dlg, {{1, 0x30, "127.0.0.2"}});
  ClickRow(dlg, RowOf(dlg, "127.0.0.2"));
  collect();
  dlg.BeginBusy(1000, "busy");
  collect();
  dlg.EndBusy();
  return texts;
}

// The words a roff request or inline font change sets in bold, with the
// escapes a reader does not see taken out.
std::string Unescape(std::string s) {
  s = std::regex_replace(s, std::regex(R"(\\f[BIRP])"), "");
  s = std::regex_replace(s, std::regex(R"(\\-)"), "-");
  s = std::regex_replace(s, std::regex(R"(\\&)"), "");
  return s;
}

std::vector<std::string> Arguments(const std::string& rest) {
  std::vector<std::string> args;
  std::string current;
  bool quoted = false, any = false;
  for (char c : rest) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) args.push_back(current);
  return args;
}

std::vector<std::string> BoldOnLine(const std::string& line) {
  std::vector<std::string> bold;
  if (line.rfind(".B ", 0) == 0) {
    std::string all;
    for (const std::string& a : Arguments(line.substr(3))) all += (all.empty() ? "" : " ") + a;
    bold.push_back(Unescape(all));
  } else if (line.size() > 4 && line[0] == '.' && line[3] == ' ' && line.find('B') < 3 &&
             std::string("BIR").find(line[1]) != std::string::npos &&
             std::string("BIR").find(line[2]) != std::string::npos) {
    // .BR, .RB, .BI, .IB: the fonts alternate from argument to argument.
    const std::vector<std::string> args = Arguments(line.substr(4));
    for (size_t i = 0; i < args.size(); ++i)
      if (line[1 + i % 2] == 'B') bold.push_back(Unescape(args[i]));
  }
  static const std::regex inlineBold(R"(\\fB(.*?)\\f[RPI])");
  for (std::sregex_iterator m(line.begin(), line.end(), inlineBold), end; m != end; ++m)
    bold.push_back(Unescape((*m)[1]));
  return bold;
}

TEST(DocsManualPage, NamesTheButtonsAsTheWindowShowsThem) {
  const std::set<std::string> buttons = WindowButtonTexts();
  ASSERT_GE(buttons.size(), 11u) << "nine buttons, Cancel and Configuration";
  std::istringstream page(testsupport::ReadAll((kSource / "packaging/osprey-explorer.1.in").string()));
  ASSERT_TRUE(page.good());

  std::set<std::string> boldInDescription;
  std::string line;
  bool inDescription = false, tag = false;
  while (std::getline(page, line)) {
    if (line.rfind(".SH", 0) == 0) {
      inDescription = line.find("DESCRIPTION") != std::string::npos;
      continue;
    }
    if (!inDescription) continue;
    if (line == ".TP") {
      tag = true;
      continue;
    }
    for (const std::string& b : BoldOnLine(line)) {
      boldInDescription.insert(b);
      // A list item's tag names the button it describes.
      if (tag) {
        EXPECT_TRUE(buttons.count(b)) << "the manual page describes a button \"" << b
                                      << "\" that the window does not have";
      }
    }
    tag = false;
  }
  for (const std::string& b : buttons)
    EXPECT_TRUE(boldInDescription.count(b)) << "the manual page does not name the button \"" << b << "\"";
}

// The size of a PNG picture and its text chunks, read from the file's
// chunks (a text chunk may come after the pixels, where a header reader
// does not look).
struct PngFacts {
  bool valid = false;
  uint32_t width = 0, height = 0;
  std::map<std::string, std::string> text;
};

PngFacts ReadPng(const std::string& bytes) {
  PngFacts png;
  auto u32 = [&](size_t at) {
    return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
           uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
  };
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return png;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t length = u32(at);
    const std::string type = bytes.substr(at + 4, 4);
    if (length > bytes.size() - at - 12) return png;
    const std::string data = bytes.substr(at + 8, length);
    if (type == "IHDR" && length >= 8) {
      png.width = u32(at + 8);
      png.height = u32(at + 12);
      png.valid = true;
    } else if (type == "tEXt" && data.find('\0') != std::string::npos) {
      png.text[data.substr(0, data.find('\0'))] = data.substr(data.find('\0') + 1);
    }
    at += 12 + length;
  }
  return png;
}

// The script that takes them records the window manager's frame in each
// picture that has one ("left right top bottom", a PNG text chunk).
TEST(DocsPictures, EachShowsTheWindowAtItsCurrentSize) {
  ScriptedUi ui;
  CExplorerDlg dlg(ui);
  dlg.show();
  QCoreApplication::processEvents();
  const QSize window = dlg.size();
  int pictures = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(kSource / "docs")) {
    if (e.path().extension() != ".png") continue;
    ++pictures;
    SCOPED_TRACE(e.path().filename().string());
    const PngFacts png = ReadPng(testsupport::ReadAll(e.path().string()));
    ASSERT_TRUE(png.valid) << "no PNG picture";
    int left = 0, right = 0, top = 0, bottom = 0;
    if (png.text.count("Frame")) {
      std::istringstream in(png.text.at("Frame"));
      ASSERT_TRUE(in >> left >> right >> top >> bottom) << png.text.at("Frame");
      for (int side : {left, right, top, bottom}) ASSERT_TRUE(side >= 0 && side <= 64) << side;
    }
    EXPECT_EQ(png.width, uint32_t(window.width() + left + right))
        << "the picture is stale: scripts/docs-screenshots.sh takes them anew";
    EXPECT_EQ(png.height, uint32_t(window.height() + top + bottom))
        << "the picture is stale: scripts/docs-screenshots.sh takes them anew";
  }
  EXPECT_GE(pictures, 3);
}

// Renaming a script or a picture must not leave a newcomer with a command
// that does not exist.
TEST(DocsReadme, NamesScriptsAndPicturesThatExist) {
  for (const char* document : {"README.md", "docs/DEVELOPING.md"}) {
    SCOPED_TRACE(document);
    const std::string text = testsupport::ReadAll((kSource / document).string());
    ASSERT_FALSE(text.empty());
    static const std::regex script(R"(scripts/[A-Za-z0-9_.-]+\.(sh|py))");
    int scripts = 0;
    for (std::sregex_iterator m(text.begin(), text.end(), script), end; m != end; ++m, ++scripts) {
      const fs::path p = kSource / m->str();
      EXPECT_TRUE(fs::exists(p) && (fs::status(p).permissions() & fs::perms::owner_exec) != fs::perms::none)
          << m->str() << " is named but is no executable script";
    }
    EXPECT_GT(scripts, 0);
    static const std::regex picture(R"(\]\(((docs/)?[A-Za-z0-9_./-]+\.png)\))");
    for (std::sregex_iterator m(text.begin(), text.end(), picture), end; m != end; ++m) {
      const fs::path base = fs::path(document).parent_path();
      EXPECT_TRUE(fs::exists(kSource / base / (*m)[1].str())) << (*m)[1].str() << " is shown but missing";
    }
  }
  // The first lines: the two commands, the main job and all the tests.
  std::istringstream readme(testsupport::ReadAll((kSource / "README.md").string()));
  std::string head, line;
  for (int i = 0; i < 15 && std::getline(readme, line); ++i) head += line + "\n";
  EXPECT_NE(head.find("scripts/run-explorer.sh"), std::string::npos) << head;
  EXPECT_NE(head.find("scripts/test.sh"), std::string::npos) << head;
}

}  // namespace
