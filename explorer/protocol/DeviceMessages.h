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
constexpr int32_t ERR_INVALID_BUFFER_SIZE = 4;
constexpr int32_t ERR_RECEIVE_TIMEOUT = 5;
constexpr int32_t ERR_INVALID_PHYSICAL_ADDRESS = 4998;
constexpr int32_t ERR_INVALID_PASSWORD = 5000;
constexpr int32_t ERR_CANNOT_SET_IP = 5002;
constexpr int32_t ERR_CANNOT_SET_MASK = 5003;
constexpr int32_t ERR_UPGRADE_FUNCTION_NOT_FOUND = 0x2000;
constexpr int32_t ERR_LIBRARY_NOT_FOUND = 0x2001;
constexpr int32_t ERR_FTP_UPGRADE_NOT_SUPPORTED = 0x2002;

struct DeviceMessageHeader {
  uint32_t version = PROTOCOL_VERSION;
  uint32_t status = 0;
  uint32_t operation = 0;
  uint32_t length = 0;

  void Encode(uint8_t* out) const;                       // writes 16 bytes
  static DeviceMessageHeader Decode(const uint8_t* in);  // reads 16 bytes
};

// The 16 bytes of a discovery reply, kept as they came.
struct DeviceRecord {
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

struct SetNetworkRequest {
  std::array<uint8_t, 6> mac{};
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
