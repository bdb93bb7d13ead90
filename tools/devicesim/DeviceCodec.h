#pragma once
// What a device reads from the explorer's UDP requests and writes into its
// answers. Deliberately not shared with the explorer's own encoder: a wrong
// constant or offset on one side then breaks the exchange instead of being
// mirrored on both sides and passing unnoticed.
//
// Every datagram, request or answer, starts with this header; its four
// fields are 32-bit little-endian (least significant byte first):
//
//    0               4               8               12              16
//   +---------------+---------------+---------------+---------------+
//   |    version    |    status     |   operation   |    length     |
//   +---------------+---------------+---------------+---------------+
//   length counts the payload bytes after the header.
//
// Discovery answer payload (operation 1, length 16, datagram 32 bytes):
//
//    0                       6       8               12              16
//   +-----------------------+-------+---------------+---------------+
//   |          mac          | kind  |      ip       |     mask      |
//   +-----------------------+-------+---------------+---------------+
//   kind is 16-bit little-endian; ip and mask travel in network byte order.
//
// Set-network request payload (operation 2, length 48, datagram 64 bytes);
// its answer is the bare header (length 0):
//
//    0                       6       8               12              16
//   +-----------------------+-------+---------------+---------------+
//   |          mac          | kind  |    new ip     |   new mask    |
//   +-----------------------+-------+---------------+---------------+
//   16                                                              48
//   +---------------------------------------------------------------+
//   |   password: at most 31 characters, zero bytes to the end      |
//   +---------------------------------------------------------------+
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devicewire {

constexpr uint16_t DEVICE_PORT = 8375;
constexpr uint32_t OP_DISCOVER = 1;
constexpr uint32_t OP_SET_NETWORK = 2;

// Header offsets.
constexpr size_t HEADER_SIZE = 16;
constexpr size_t VERSION_AT = 0;
constexpr size_t STATUS_AT = 4;
constexpr size_t OPERATION_AT = 8;
constexpr size_t LENGTH_AT = 12;

// Offsets inside the discovery record and the set-network payload, which
// share their first 16 bytes.
constexpr size_t MAC_AT = 0;
constexpr size_t MAC_SIZE = 6;
constexpr size_t KIND_AT = 6;
constexpr size_t IP_AT = 8;
constexpr size_t MASK_AT = 12;
constexpr size_t RECORD_SIZE = 16;
constexpr size_t PASSWORD_AT = 16;
constexpr size_t PASSWORD_SIZE = 32;
constexpr size_t SET_NETWORK_SIZE = PASSWORD_AT + PASSWORD_SIZE;

// The status codes a device answers with.
constexpr uint32_t STATUS_OK = 0;
constexpr uint32_t STATUS_INVALID_LENGTH = 4994;
constexpr uint32_t STATUS_INVALID_OPERATION = 4995;
constexpr uint32_t STATUS_NOT_ADDRESSED = 4998;
constexpr uint32_t STATUS_INVALID_PASSWORD = 5000;
constexpr uint32_t STATUS_CANNOT_SET_IP = 5002;
constexpr uint32_t STATUS_CANNOT_SET_MASK = 5003;

using Mac = std::array<uint8_t, MAC_SIZE>;

struct Header {
  uint32_t version = 0;
  uint32_t status = 0;
  uint32_t operation = 0;
  uint32_t length = 0;
};

// A device's identity and address as it reports them.
struct Record {
  Mac mac{};
  uint16_t kind = 0;
  uint32_t ip = 0;    // network byte order
  uint32_t mask = 0;  // network byte order
};

struct SetNetwork {
  Record target;  // mac and kind of the device meant; ip and mask it is to take
  std::string password;
};

// The header of a received datagram; nothing when it is shorter than one.
std::optional<Header> ReadHeader(const uint8_t* data, size_t size);

// The payload of a set-network request; nothing unless the datagram is
// exactly a header with length 48 followed by those 48 bytes.
std::optional<SetNetwork> ReadSetNetwork(const uint8_t* data, size_t size);

// An answer: the header, then the record for a discovery answer. The
// answer echoes the request's version and operation.
std::vector<uint8_t> DiscoveryAnswer(const Header& request, uint32_t status, const Record& record);
std::vector<uint8_t> StatusAnswer(const Header& request, uint32_t status);

}  // namespace devicewire
