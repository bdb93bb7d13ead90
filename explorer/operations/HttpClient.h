#pragma once
// HTTP layer on libcurl. One HttpClient per device (its user agent); one
// HttpRequest per transfer.
#include <string>

class HttpClient {
 public:
  explicit HttpClient(std::string agent) : agent_(std::move(agent)) {}
  const std::string& agent() const { return agent_; }

 private:
  std::string agent_;
};

class HttpRequest;
