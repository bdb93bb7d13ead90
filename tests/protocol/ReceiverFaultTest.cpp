// The transport's receiving thread when it cannot have memory for its
// buffers: the exchange waiting on it hears of it as of a failed receive,
// and the process goes on.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <thread>

#include "explorer/protocol/ReplyReceiver.h"
#include "net/Socket.h"

namespace {

// Set: the next allocation made by any thread but the test's fails.
std::atomic<bool> g_failOnOtherThread{false};
std::thread::id g_testThread;

}  // namespace

void* operator new(std::size_t size) {
  if (g_failOnOtherThread.load() && std::this_thread::get_id() != g_testThread &&
      g_failOnOtherThread.exchange(false))
    throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// GCC takes the malloc above for a mismatch of the free below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

TEST(ReceiverFaultTest, NoMemoryForTheBuffersIsAFailedReceiveNotAnAbort) {
  g_testThread = std::this_thread::get_id();
  net::Socket socket;
  ASSERT_EQ(socket.OpenUdp(), 0);
  ASSERT_EQ(socket.Bind(net::Endpoint{htonl(INADDR_LOOPBACK), 0}), 0);
  ReplyReceiver receiver;
  g_failOnOtherThread = true;
  ASSERT_EQ(receiver.Start(socket), 0);
  ReplyReceiver::Reply reply;
  ASSERT_TRUE(receiver.Take(&reply, 5000));
  EXPECT_EQ(reply.size, -ENOMEM);
  EXPECT_FALSE(g_failOnOtherThread.load());
  receiver.Stop();
}

}  // namespace
