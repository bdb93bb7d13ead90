// Sample for the socket-call check: every line marked "found" must be
// reported, no other. Never compiled.
#include <sys/socket.h>

int Samples(int fd, sockaddr* sa, socklen_t len, Wrapper& w, Wrapper* p) {
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);  // found
  bind(s, sa, len);                          // found
  if (::connect(fd, sa, len) != 0) {}        // found
  listen (fd, 4);                            // found
  ::accept4(fd, nullptr, nullptr, 0);        // found
  w.bind(sa);
  p->connect(sa);
  w.Listen(4);
  auto f = std::bind(&Wrapper::Listen, &w, 4);
  const char* text = "::socket(AF_INET)";
  // ::recvmsg(fd, nullptr, 0) in a comment
  /* sendto(fd, ...) in a block
     comment */
  return ::recvfrom(fd, nullptr, 0, 0, sa, &len) + text[0];  // found
}
