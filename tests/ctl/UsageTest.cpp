// explorerctl's command line: every mistake is a usage error (exit 2) with a
// message and nothing sent; a missing upgrade library gives the explorer's
// text and where it was looked for; the help and the manual page carry the
// exit codes.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <filesystem>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"

namespace {

using ctltest::RunCtl;

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Run in the private network all the same: a mistake that slipped past the
// checks would start a scan.
TEST(UsageTest, MistakesAreUsageErrorsBeforeAnythingIsSent) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "A subcommand is required"},
      // A word nobody understood is named, at every level.
      {{"--bogus"}, "explorerctl: unknown option --bogus\n"},
      {{"-V"}, "explorerctl: unknown option -V\n"},
      {{"frobnicate"}, "explorerctl: unknown command frobnicate (the commands are scan, set-ip,"},
      {{"config", "frobnicate"}, "explorerctl: unknown command config frobnicate (the commands are get, put)"},
      {{"config", "--bogus"}, "explorerctl: unknown option --bogus\n"},
      {{"scan", "--bogus"}, "--bogus"},
      {{"scan", "--format", "xml"}, "--format"},
      {{"scan", "--passes", "0"}, "--passes"},
      {{"upgrade"}, "IMAGE is required"},
      {{"upgrade", "127.0.0.1"}, "IMAGE is required"},
      {{"test"}, "give DEVICE, or --all, --kind or --from"},
      {{"upgrade", "127.0.0.1", "image.pak", "--all"}, "not both"},
      {{"test", "--all", "--kind", "1"}, "excludes"},
      {{"test", "--all", "--jobs", "0"}, "--jobs"},
      {{"test", "1.2.3"}, "DEVICE must be an IPv4 address or an Ethernet address"},
      {{"set-ip", "00:50:C2:00:00:01", "300.1.1.1"}, "not an IPv4 address: 300.1.1.1"},
      {{"set-ip", "00:50:C2:00:00:01", "10.0.0.1", "--mask", "255.0"}, "not an IPv4 address: 255.0"},
      // Masks no device takes, refused before the scan.
      {{"set-ip", "00:50:C2:00:00:01", "10.0.0.1", "--mask", "255.0.255.0"},
       "explorerctl: --mask: 255.0.255.0 is not a valid network mask"},
      {{"set-ip", "00:50:C2:00:00:01", "10.0.0.1", "--mask", "255.255.255.1"},
       "--mask: 255.255.255.1 is not a valid network mask"},
      {{"set-ip", "00:50:C2:00:00:01", "10.0.0.1", "--mask", "0.0.0.0"},
       "--mask: 0.0.0.0 is not a valid network mask"},
      {{"config", "get", "127.0.0.1", "f.txt", "--password-file", "/nonexistent/pw"},
       "cannot read the password file /nonexistent/pw"},
      {{"config", "get", "--all", "/nonexistent/folder"}, "/nonexistent/folder is not a folder"},
      // The image can be read (any regular file will do): the CSV is what is wrong.
      {{"upgrade", "--from", "/nonexistent/plant.csv", ctltest::CtlPath()}, "cannot read /nonexistent/plant.csv"},
      {{"serve-image", "image.pak", "--timeout", "101"}, "--timeout"},
      {{"upgrade", "127.0.0.1", "image.pak", "--timeout", "0"}, "--timeout"},
      {{"upgrade", "--all", "image.pak", "--timeout", "soon"}, "--timeout"},
      {{"config", "get", "127.0.0.1", "f.txt", "--timeout", "86401"}, "--timeout"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const auto r = RunCtl(c.args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_LT(r.seconds, 2.0);  // no scan ran
  }
}

TEST(UsageTest, MissingLibraryGivesTheExplorersText) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // The program alone in a folder: its RUNPATH ($ORIGIN) finds no library.
  char tmpl[] = "/tmp/ctl-nolib-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::string program = dir + "/explorerctl";
  std::filesystem::copy_file(ctltest::CtlPath(), program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  testsupport::WriteAll(dir + "/image.pak", "image");
  // Every command binds it first, as the explorer does at its start, and
  // stops before it sends anything.
  const std::vector<std::string> commands[] = {
      {"scan"},
      {"upgrade", "--record", "0050c2000001" "0000" "7f00001f" "ff000000", dir + "/image.pak"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    ctltest::CtlProcess p(args, {"LD_LIBRARY_PATH="}, program);
    const auto r = p.Wait();
    EXPECT_EQ(r.exitCode, 1);
    // The explorer's text first, then where the loader looked: the
    // program's own folder first, as LD_LIBRARY_PATH is empty.
    EXPECT_EQ(r.err.rfind("explorerctl: QUILLBOX.DLL not found (looked in " + dir + ", ", 0), 0u)
        << r.err;
    EXPECT_TRUE(Contains(r.err, "/usr/lib")) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 2), ")\n") << r.err;
    EXPECT_LT(r.seconds, 2.0);
  }
  // The library path comes first, as the loader takes it.
  ctltest::CtlProcess p({"scan"}, {"LD_LIBRARY_PATH=" + dir + "/none"}, program);
  const auto r = p.Wait();
  EXPECT_EQ(r.err.rfind("explorerctl: QUILLBOX.DLL not found (looked in " + dir + "/none, " + dir + ", ", 0),
            0u)
      << r.err;
  {
    // A library left in the folder the program is run from is never loaded:
    // the program's RUNPATH holds its own folder and nothing else.
    const std::string cwd = dir + "/cwd";
    std::filesystem::create_directory(cwd);
    std::filesystem::copy_file(std::string(QUILL_BIN_DIR) + "/QUILLBOX.DLL", cwd + "/QUILLBOX.DLL");
    ctltest::CtlProcess p({"-c", "cd " + cwd + " && exec " + program + " scan"}, {"LD_LIBRARY_PATH="},
                          "/bin/sh");
    const auto r = p.Wait();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err.rfind("explorerctl: QUILLBOX.DLL not found (looked in " + dir + ", ", 0), 0u)
        << r.err;
    EXPECT_FALSE(Contains(r.err, ", .,") || Contains(r.err, ", .)")) << r.err;
  }
  std::filesystem::remove_all(dir);
}

// An image the library could not open is refused before the scan and the
// login, with the library's own text; a batch checks it once, before it
// starts any job. The FIFO lives on a tmpfs of a mount namespace of this
// test's own.
TEST(UsageTest, UnreadableImageIsRefusedBeforeAnythingIsSent) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  char tmpl[] = "/tmp/ctl-image-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
    ::rmdir(dir.c_str());
    GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
  }
  ASSERT_EQ(::mkfifo((dir + "/fifo.pak").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((dir + "/folder.pak").c_str(), 0700), 0);
  for (const std::string& image : {dir + "/missing.pak", dir + "/fifo.pak", dir + "/folder.pak"}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"upgrade", "00:50:C2:00:00:01", image},
          std::vector<std::string>{"upgrade", "--all", image, "--jobs", "4"}}) {
      SCOPED_TRACE(args[1] + " " + image);
      const auto r = RunCtl(args);
      EXPECT_EQ(r.exitCode, 2) << r.err;
      EXPECT_EQ(r.err, "Cannot open file " + image + "\n");
      EXPECT_EQ(r.out, "");
      EXPECT_LT(r.seconds, 2.0);  // no scan ran, and the FIFO held nothing
    }
  }
  ::umount2(dir.c_str(), MNT_DETACH);
  ::rmdir(dir.c_str());
}

TEST(UsageTest, HelpAndManualPageListTheExitCodes) {
  const auto r = RunCtl({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  const std::string man = testsupport::ReadAll(std::string(QUILL_BIN_DIR) + "/../man/explorerctl.1");
  for (const char* code :
       {"130  interrupted", "129  hung up", "131  quit", "5    no device found",
        "4    wrong password", "3    device not found", "2    usage error",
        "1    the operation failed"})
    EXPECT_TRUE(Contains(r.out, code)) << code;
  ASSERT_FALSE(man.empty()) << "build/man/explorerctl.1 was not generated";
  for (const char* text : {"wrong password", "no device found", "interrupted", "EXPLORERCTL_PASSWORD", ".SS scan",
                           ".SS set-ip", ".SS test", ".SS config get", ".SS config put",
                           ".SS upgrade", ".SS serve-image", ".SS doctor", "rp_filter", "firewall"})
    EXPECT_TRUE(Contains(man, text)) << text;
  EXPECT_EQ(RunCtl({"--version"}).out, "explorerctl (Osprey Panel Explorer) 1.0.0\n");
}

}  // namespace
