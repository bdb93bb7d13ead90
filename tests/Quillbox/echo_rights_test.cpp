// The echo probe as an ordinary user: it works where ping_group_range
// admits the user, and where neither echo socket may be opened its failure
// says what is missing. Runs in a child process that gives up root, inside
// the private network, whose ping_group_range the test sets for itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "EchoProbe.h"
#include "support/AsNobody.h"
#include "support/NetGuard.h"

using namespace quillbox;

namespace {

bool SetPingGroupRange(const std::string& range) {
  std::ofstream out("/proc/sys/net/ipv4/ping_group_range");
  out << range << "\n";
  out.flush();
  return static_cast<bool>(out);
}

struct Outcome {
  bool ran = false;
  std::string text;  // the failure's message, empty on success
  int status = -1;   // reply status on success
};

// One probe of 127.0.0.1 as uid/gid 65534 without groups or capabilities.
Outcome PingAsNobody() {
  const std::string report = testsupport::RunAsNobody([] {
    EchoProbe probe;
    probe.Host = "127.0.0.1";
    probe.ReceiveTimeout = 1000;
    const Failure f = probe.Ping();
    return f ? "F" + f.message : "S" + std::to_string(static_cast<int>(probe.ReplyStatus().ReplyStatus));
  });
  Outcome o;
  if (report.empty()) return o;
  o.ran = true;
  if (report[0] == 'F')
    o.text = report.substr(1);
  else
    o.status = std::stoi(report.substr(1));
  return o;
}

class EchoRights : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give it up";
  }
  // The namespace is the test's own; it keeps the range that admits all.
  void TearDown() override { SetPingGroupRange("0 2147483647"); }
};

}  // namespace

TEST_F(EchoRights, AnOrdinaryUserPingsWhereTheRangeAdmitsIt) {
  ASSERT_TRUE(SetPingGroupRange("0 2147483647"));
  const Outcome o = PingAsNobody();
  ASSERT_TRUE(o.ran);
  EXPECT_EQ(o.text, "");
  EXPECT_EQ(o.status, 0) << "an echo of this host";
}

TEST_F(EchoRights, WithNeitherSocketTheFailureNamesWhatIsMissing) {
  ASSERT_TRUE(SetPingGroupRange("1 0"));  // nobody admitted
  const Outcome o = PingAsNobody();
  ASSERT_TRUE(o.ran);
  EXPECT_EQ(o.text.rfind("Socket Error # 1\r\nOperation not permitted\r\n", 0), 0u)
      << "the raw socket's refusal comes first: " << o.text;
  EXPECT_NE(o.text.find("CAP_NET_RAW"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("net.ipv4.ping_group_range, now \"1 0\""), std::string::npos) << o.text;
}
