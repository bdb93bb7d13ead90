// explorerctl serve-image: a TFTP peer (curl) fetches the image through the
// library's wait; nobody fetching ends at the timeout; without the privilege
// for port 69 the error says so.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"

namespace {

using namespace std::chrono_literals;
using ctltest::RunCtl;

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    char tmpl[] = "/tmp/ctl-serve-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    image_ = std::string(70000, 'i') + std::string("\0\1\2", 3);
    testsupport::WriteAll(dir_ + "/release.pak", image_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_, image_;
};

TEST_F(ServeTest, ADeviceFetchesTheImage) {
  if (::access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl (the TFTP peer) is missing";
  ctltest::CtlProcess serve({"serve-image", dir_ + "/release.pak", "--timeout", "30"});
  ASSERT_TRUE(serve.Started());
  // The server needs a moment to bind; curl gives up at once while it has not.
  ctltest::CtlResult fetch;
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::this_thread::sleep_for(200ms);
    ctltest::CtlProcess curl({"-s", "--max-time", "10", "tftp://127.0.0.1/release.pak", "-o",
                              dir_ + "/fetched.pak"},
                             {}, "/usr/bin/curl");
    fetch = curl.Wait(20s);
    if (fetch.exitCode == 0) break;
  }
  EXPECT_EQ(fetch.exitCode, 0) << fetch.err;
  const auto r = serve.Wait(40s);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("A device fetched " + dir_ + "/release.pak", 0), 0u) << r.out;
  EXPECT_EQ(testsupport::ReadAll(dir_ + "/fetched.pak"), image_);
}

TEST_F(ServeTest, NobodyFetchingEndsAtTheTimeout) {
  const auto r = RunCtl({"serve-image", dir_ + "/release.pak", "--timeout", "1"}, {}, 20s);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "No device fetched " + dir_ + "/release.pak within 1 s\n");
  EXPECT_LT(r.seconds, 3.0);
}

TEST_F(ServeTest, WithoutThePrivilegeForPort69TheErrorSaysSo) {
  // Drops the capability that lets root bind ports below 1024.
  ctltest::CtlProcess p({"--bounding-set", "-net_bind_service", "--inh-caps", "-net_bind_service",
                         ctltest::CtlPath(), "serve-image", dir_ + "/release.pak", "--timeout", "1"},
                        {}, "/usr/bin/setpriv");
  const auto r = p.Wait(20s);
  if (r.exitCode != 1 || r.err.find("setpriv") != std::string::npos)
    GTEST_SKIP() << "cannot drop the capability here: " << r.err;
  EXPECT_EQ(r.err,
            "Cannot serve on TFTP port 69: binding a port below 1024 needs a privilege (run as "
            "root or give explorerctl the CAP_NET_BIND_SERVICE capability)\n");
}

}  // namespace
