#include "TftpPacket.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>

namespace quillbox::tftp {
namespace {

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// Reads the zero-terminated field at *pos; a last field without its zero runs
// to the end of the datagram.
std::string NextField(const uint8_t* data, size_t size, size_t* pos) {
  size_t start = *pos;
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + start, 0, size - start));
  size_t stop = end ? static_cast<size_t>(end - data) : size;
  *pos = end ? stop + 1 : size;
  return std::string(reinterpret_cast<const char*>(data + start), stop - start);
}

// A signed decimal integer that fits 32 bits, nothing else.
bool ParseDecimal(const std::string& text, int* value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last) return false;
  auto [ptr, ec] = std::from_chars(first, last, *value);
  return ec == std::errc() && ptr == last;
}

}  // namespace

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutU16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value & 0xFF);
}

std::vector<uint8_t> BuildError(uint16_t code, const std::string& message) {
  std::vector<uint8_t> packet(4 + message.size() + 1, 0);
  PutU16(packet.data(), ERROR);
  PutU16(packet.data() + 2, code);
  std::memcpy(packet.data() + 4, message.data(), message.size());
  return packet;
}

std::vector<uint8_t> BuildOack(int blockSize) {
  static const char kName[] = "blksize";
  std::string digits = std::to_string(blockSize);
  std::vector<uint8_t> packet;
  packet.reserve(2 + sizeof kName + digits.size() + 2);
  packet.push_back(0);
  packet.push_back(OACK);
  packet.insert(packet.end(), kName, kName + sizeof kName);  // with its zero
  packet.insert(packet.end(), digits.begin(), digits.end());
  packet.push_back(0);
  packet.push_back(0);
  return packet;
}

ErrorPacket UnexpectedOperation(const net::Endpoint& from) {
  return {ERR_ILLEGAL_OPERATION,
          "Unexpected operation from " + net::FormatIpv4(from.ip) + ":" + std::to_string(from.port)};
}

bool ParseRequest(const uint8_t* data, size_t size, const net::Endpoint& from, Request* request,
                  ErrorPacket* error) {
  if (size < 2) {
    *error = {ERR_NOT_DEFINED, "Stream read error"};
    return false;
  }
  request->opcode = GetU16(data);
  if (request->opcode != RRQ && request->opcode != WRQ) {
    *error = UnexpectedOperation(from);
    return false;
  }
  size_t pos = 2;
  request->fileName = NextField(data, size, &pos);
  request->mode = NextField(data, size, &pos);
  if (!EqualsIgnoringCase(request->mode, "octet") && !EqualsIgnoringCase(request->mode, "binary") &&
      !EqualsIgnoringCase(request->mode, "netascii")) {
    *error = {ERR_ILLEGAL_OPERATION, "Unsupported transfer mode: \"" + request->mode + "\""};
    return false;
  }
  // Only the first option counts, and only under its exact lower-case name.
  request->requestedBlockSize = 0;
  static const char kBlksize[] = "blksize";
  if (size - pos >= sizeof kBlksize && std::memcmp(data + pos, kBlksize, sizeof kBlksize) == 0) {
    pos += sizeof kBlksize;
    std::string value = NextField(data, size, &pos);
    int blockSize = 0;
    if (!ParseDecimal(value, &blockSize)) {
      *error = {ERR_NOT_DEFINED, "'" + value + "' is not a valid integer value"};
      return false;
    }
    request->requestedBlockSize = blockSize > 0 ? blockSize : 0;
  }
  return true;
}

int NegotiatedPacketSize(int requestedBlockSize) {
  if (requestedBlockSize <= 0) return DEFAULT_PACKET_SIZE;
  int blockSize = std::min(requestedBlockSize, MAX_BLOCK_SIZE);
  return std::max(blockSize + 4, DEFAULT_PACKET_SIZE);
}

}  // namespace quillbox::tftp
