#pragma once
// HTTP Digest authentication (RFC 7616 with MD5) for the simulated web
// server, so clients that negotiate the scheme can be tried against it.
#include <string>

std::string Md5Hex(const std::string& data);
// The challenge's header value ("Digest realm=..., nonce=..., qop=...").
std::string DigestChallenge(const std::string& realm, const std::string& nonce);
// True when `authorization` (the header's value) answers the challenge for
// this user, password and method.
bool DigestValid(const std::string& authorization, const std::string& method,
                 const std::string& user, const std::string& password, const std::string& realm,
                 const std::string& nonce);
