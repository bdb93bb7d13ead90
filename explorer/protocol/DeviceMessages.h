#pragma once
// Wire format of the UDP device protocol. Header integers are 32-bit
// little-endian; addresses and masks stay in network byte order exactly as
// they travel. Everything is encoded byte by byte: no struct is ever
// overlaid on a buffer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceKinds.h"

constexpr uint16_t DEVICE_PORT = 8375;
constexpr uint32_t PROTOCOL_VERSION = 2;
constexpr uint32_t OP_DISCOVER = 1;
constexpr uint32_t OP_SET_NETWORK = 2;

constexpr size_t DEVICE_HEADER_SIZE = 16;
constexpr size_t DEVICE_RECORD_SIZE = 16;
constexpr size_t SET_NETWORK_REQUEST_SIZE = 48;
constexpr size_t MAX_DATAGRAM = 528;
constexpr int MAX_DEVICES = 4096;
constexpr uint32_t BROADCAST_ADDRESS = 0xFFFFFFFFu;

// Error codes the program produces or passes on (texts: ErrorText).
constexpr int32_t ERR_SUCCESS = 0;
constexpr int32_t ERR_OUT_OF_MEMORY = 1;
constexpr int32_t ERR_OUT_OF_BUFFER_SPACE = 2;
constexpr int32_t ERR_UDP_SEND_FAILED = 3;
constexpr int32_t ERR_INVALID_BUFFER_SIZE = 4;
constexpr int32_t ERR_RECEIVE_TIMEOUT = 5;
constexpr int32_t ERR_CONFIG_FILE_NOT_FOUND = 404;
constexpr int32_t ERR_INVALID_MESSAGE_VERSION = 4993;
constexpr int32_t ERR_INVALID_BUFFER_LENGTH = 4994;
constexpr int32_t ERR_INVALID_OPERATION = 4995;
constexpr int32_t ERR_NO_NETWORK_ADAPTERS = 4996;
constexpr int32_t ERR_INVALID_INTERFACE = 4997;
constexpr int32_t ERR_INVALID_PHYSICAL_ADDRESS = 4998;
constexpr int32_t ERR_INVALID_PASSWORD = 5000;
constexpr int32_t ERR_CANNOT_SET_IP = 5002;
constexpr int32_t ERR_CANNOT_SET_MASK = 5003;
constexpr int32_t ERR_TEST_RELEASE_ACTIVE = 5344;
constexpr int32_t ERR_UPGRADE_FUNCTION_NOT_FOUND = 0x2000;
constexpr int32_t ERR_LIBRARY_NOT_FOUND = 0x2001;
constexpr int32_t ERR_FTP_UPGRADE_NOT_SUPPORTED = 0x2002;

// Every datagram starts with this header (16 bytes, little-endian):
//
//   0               4               8               12              16
//   +---------------+---------------+---------------+---------------+
//   |    version    |    status     |   operation   |    length     |
//   +---------------+---------------+---------------+---------------+
//
// length counts the payload that follows the header.
struct DeviceMessageHeader {
  static constexpr size_t VERSION_OFFSET = 0;
  static constexpr size_t STATUS_OFFSET = 4;
  static constexpr size_t OPERATION_OFFSET = 8;
  static constexpr size_t LENGTH_OFFSET = 12;

  uint32_t version = PROTOCOL_VERSION;
  uint32_t status = 0;
  uint32_t operation = 0;
  uint32_t length = 0;

  void Encode(uint8_t* out) const;                       // writes 16 bytes
  static DeviceMessageHeader Decode(const uint8_t* in);  // reads 16 bytes
};

// The 16 bytes of a discovery reply's payload, kept as they came:
//
//   0                       6       8               12              16
//   +-----------------------+-------+---------------+---------------+
//   |    mac (Ethernet)     | kind  |      ip       |     mask      |
//   +-----------------------+-------+---------------+---------------+
//
// kind is little-endian; ip and mask travel in network byte order.
struct DeviceRecord {
  static constexpr size_t MAC_OFFSET = 0;
  static constexpr size_t MAC_SIZE = 6;
  static constexpr size_t KIND_OFFSET = 6;
  static constexpr size_t IP_OFFSET = 8;
  static constexpr size_t MASK_OFFSET = 12;

  std::array<uint8_t, DEVICE_RECORD_SIZE> bytes{};

  const uint8_t* mac() const { return bytes.data(); }
  uint16_t kind() const;  // little-endian on the wire
  uint32_t ip() const;    // network byte order (as in in_addr.s_addr)
  uint32_t mask() const;  // network byte order
  void setMac(const uint8_t* mac6);
  void setKind(uint16_t kind);
  void setIp(uint32_t netOrder);
  void setMask(uint32_t netOrder);
  bool sameMac(const DeviceRecord& other) const;
};

// The caller's record array of a discovery pass.
#include <memory>
using DeviceRecordArray = std::array<std::unique_ptr<DeviceRecord>, MAX_DEVICES>;

// The 48-byte payload of OP_SET_NETWORK:
//
//   0                       6       8               12              16
//   +-----------------------+-------+---------------+---------------+
//   |    mac (Ethernet)     | kind  |    new ip     |   new mask    |
//   +-----------------------+-------+---------------+---------------+
//   16                                                              48
//   +---------------------------------------------------------------+
//   |             password (at most 31 characters, then 0)          |
//   +---------------------------------------------------------------+
//
// The first 16 bytes are laid out as a DeviceRecord: mac and kind pick the
// device, ip and mask (network byte order) are what it is to take.
struct SetNetworkRequest {
  static constexpr size_t MAC_OFFSET = DeviceRecord::MAC_OFFSET;
  static constexpr size_t KIND_OFFSET = DeviceRecord::KIND_OFFSET;
  static constexpr size_t IP_OFFSET = DeviceRecord::IP_OFFSET;
  static constexpr size_t MASK_OFFSET = DeviceRecord::MASK_OFFSET;
  static constexpr size_t PASSWORD_OFFSET = 16;
  static constexpr size_t PASSWORD_FIELD_SIZE = SET_NETWORK_REQUEST_SIZE - PASSWORD_OFFSET;
  static constexpr size_t MAX_PASSWORD = PASSWORD_FIELD_SIZE - 1;  // the last byte stays 0

  std::array<uint8_t, DeviceRecord::MAC_SIZE> mac{};
  uint16_t kind = 0;
  uint32_t ip = 0;    // network byte order
  uint32_t mask = 0;  // network byte order
  std::string password;  // travels as at most 31 characters and a zero

  std::array<uint8_t, SET_NETWORK_REQUEST_SIZE> Encode() const;
  static SetNetworkRequest Decode(const uint8_t* in);  // reads 48 bytes
};

// Header (version 2, status 0, op, len) followed by the payload.
std::vector<uint8_t> BuildRequest(uint32_t operation, const uint8_t* payload, size_t length);

// Reply validation, first matching rule decides:
// timed out/cancelled -> 5; receive failed -> recvError; < 16 bytes -> 4;
// status != 0 -> status; size/length mismatch -> 4; else 0.
int32_t ValidateReply(bool timedOut, int recvError, const uint8_t* buf, long count,
                      uint32_t expectedLength);

std::string FormatIp(uint32_t ipNetOrder);  // "%d.%d.%d.%d"
std::string FormatMac(const uint8_t* mac6);  // "%02X:%02X:%02X:%02X:%02X:%02X"
// The six bytes of an Ethernet address as one number: the key under which a
// device is found again, whatever address it has now.
constexpr uint64_t MacKey(const uint8_t* mac6) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac6[i];
  return key;
}
