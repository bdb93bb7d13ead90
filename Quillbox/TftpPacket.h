#pragma once
// TFTP wire format (RFC 1350 with the option extension of RFC 2347 and the
// block-size option of RFC 2348): building the packets the server sends and
// parsing the requests it receives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/Ipv4.h"

namespace quillbox::tftp {

enum Opcode : uint16_t { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };

// Error codes the server sends.
enum ErrorCode : uint16_t {
  ERR_NOT_DEFINED = 0,
  ERR_ACCESS_VIOLATION = 2,
  ERR_ILLEGAL_OPERATION = 4,
  ERR_UNKNOWN_TRANSFER_ID = 5,
};

// The largest request the server takes; a longer one is refused whole.
constexpr size_t REQUEST_BUFFER_SIZE = 8192;
// Datagrams are read whole, so that none passes for a shorter one.
constexpr size_t MAX_DATAGRAM_SIZE = 65535;
constexpr int DEFAULT_PACKET_SIZE = 516;
// Largest block size RFC 2348 allows; larger requests are answered with it so
// a peer cannot make a transfer allocate without bound.
constexpr int MAX_BLOCK_SIZE = 65464;

// The ERROR packet that ends a refused request or a failed transfer: the
// failures of the TFTP protocol layer are exactly what the peer is told.
struct ErrorPacket {
  uint16_t code = ERR_NOT_DEFINED;
  std::string message;
};

struct Request {
  uint16_t opcode = 0;
  std::string fileName;
  std::string mode;
  // 0 when the request asked for no block size.
  int requestedBlockSize = 0;
};

uint16_t GetU16(const uint8_t* p);
void PutU16(uint8_t* p, uint16_t value);

std::vector<uint8_t> BuildError(uint16_t code, const std::string& message);
// "blksize", 0, digits, 0, and one more 0 that closes the option list.
std::vector<uint8_t> BuildOack(int blockSize);

// Parses a datagram that arrived on the server port. false with *error set
// when it is not a read or write request the server accepts.
bool ParseRequest(const uint8_t* data, size_t size, const net::Endpoint& from, Request* request,
                  ErrorPacket* error);

// Size of DATA packets (block size + 4) for a requested block size (0 = none):
// at least 516, at most MAX_BLOCK_SIZE + 4.
int NegotiatedPacketSize(int requestedBlockSize);

// "Unexpected operation from <address>:<port>".
ErrorPacket UnexpectedOperation(const net::Endpoint& from);

}  // namespace quillbox::tftp
