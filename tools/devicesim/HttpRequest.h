#pragma once
// How the simulated web server reads what a client sends: the request line,
// the header lines and the body, and the checks of the credentials and of an
// uploaded configuration. Kept apart from the answering side so the parsing
// can be driven by any stream, a scripted peer included.
#include <cstddef>
#include <map>
#include <string>

#include "tools/devicesim/HttpSocket.h"

constexpr size_t kMaxHttpBody = 256u * 1024 * 1024;

struct SimHttpRequest {
  std::string method;
  std::string target;  // as the request line has it
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// Reads one request, waiting at most idleMs for each piece. true when it is
// whole; false when the peer ended, went silent or stop was set (nothing to
// answer), or when the request is refused, with *refusal the text of the
// 400 answer then.
bool ReadSimHttpRequest(SimConnection& c, SimHttpRequest& r, int idleMs, std::string* refusal);

// Characters outside the alphabet are skipped, as lenient servers do.
std::string Base64Decode(const std::string& in);
// True when `authorization` is "Basic " (any letter case) with user:password.
bool BasicCredentialsMatch(const std::string& authorization, const std::string& user,
                           const std::string& password);
// A configuration is text of name=value lines (comments with '#' or ';');
// empty when it is one, else why not.
std::string CheckConfiguration(const std::string& body);
