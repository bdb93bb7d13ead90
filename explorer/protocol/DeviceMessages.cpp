#include "explorer/protocol/DeviceMessages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/Ipv4.h"

namespace {

void PutLe32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLe32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Network-order values are kept as the s_addr of an in_addr would hold
// them: the first octet on the wire is the lowest-addressed byte in memory.
void PutNet32(uint8_t* out, uint32_t netOrder) { std::memcpy(out, &netOrder, 4); }

uint32_t GetNet32(const uint8_t* in) {
  uint32_t v;
  std::memcpy(&v, in, 4);
  return v;
}

void PutLe16(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t GetLe16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

// A record and a set-network request share their first 16 bytes.
static_assert(SetNetworkRequest::MASK_OFFSET + 4 == SetNetworkRequest::PASSWORD_OFFSET);
static_assert(DeviceRecord::MASK_OFFSET + 4 == DEVICE_RECORD_SIZE);
static_assert(DeviceMessageHeader::LENGTH_OFFSET + 4 == DEVICE_HEADER_SIZE);

}  // namespace

void DeviceMessageHeader::Encode(uint8_t* out) const {
  PutLe32(out + VERSION_OFFSET, version);
  PutLe32(out + STATUS_OFFSET, status);
  PutLe32(out + OPERATION_OFFSET, operation);
  PutLe32(out + LENGTH_OFFSET, length);
}

DeviceMessageHeader DeviceMessageHeader::Decode(const uint8_t* in) {
  DeviceMessageHeader h;
  h.version = GetLe32(in + VERSION_OFFSET);
  h.status = GetLe32(in + STATUS_OFFSET);
  h.operation = GetLe32(in + OPERATION_OFFSET);
  h.length = GetLe32(in + LENGTH_OFFSET);
  return h;
}

uint16_t DeviceRecord::kind() const { return GetLe16(bytes.data() + KIND_OFFSET); }
uint32_t DeviceRecord::ip() const { return GetNet32(bytes.data() + IP_OFFSET); }
uint32_t DeviceRecord::mask() const { return GetNet32(bytes.data() + MASK_OFFSET); }
void DeviceRecord::setMac(const uint8_t* mac6) { std::memcpy(bytes.data() + MAC_OFFSET, mac6, MAC_SIZE); }
void DeviceRecord::setKind(uint16_t kind) { PutLe16(bytes.data() + KIND_OFFSET, kind); }
void DeviceRecord::setIp(uint32_t netOrder) { PutNet32(bytes.data() + IP_OFFSET, netOrder); }
void DeviceRecord::setMask(uint32_t netOrder) { PutNet32(bytes.data() + MASK_OFFSET, netOrder); }
bool DeviceRecord::sameMac(const DeviceRecord& other) const {
  return std::memcmp(bytes.data() + MAC_OFFSET, other.bytes.data() + MAC_OFFSET, MAC_SIZE) == 0;
}

std::array<uint8_t, SET_NETWORK_REQUEST_SIZE> SetNetworkRequest::Encode() const {
  std::array<uint8_t, SET_NETWORK_REQUEST_SIZE> out{};
  std::memcpy(out.data() + MAC_OFFSET, mac.data(), mac.size());
  PutLe16(out.data() + KIND_OFFSET, kind);
  PutNet32(out.data() + IP_OFFSET, ip);
  PutNet32(out.data() + MASK_OFFSET, mask);
  // The field's last byte stays 0 whatever was typed.
  const size_t n = std::min(password.size(), MAX_PASSWORD);
  std::memcpy(out.data() + PASSWORD_OFFSET, password.data(), n);
  return out;
}

SetNetworkRequest SetNetworkRequest::Decode(const uint8_t* in) {
  SetNetworkRequest r;
  std::memcpy(r.mac.data(), in + MAC_OFFSET, r.mac.size());
  r.kind = GetLe16(in + KIND_OFFSET);
  r.ip = GetNet32(in + IP_OFFSET);
  r.mask = GetNet32(in + MASK_OFFSET);
  // A sender that filled the whole field still yields at most 31 characters.
  const char* pw = reinterpret_cast<const char*>(in + PASSWORD_OFFSET);
  r.password.assign(pw, strnlen(pw, MAX_PASSWORD));
  return r;
}

std::vector<uint8_t> BuildRequest(uint32_t operation, const uint8_t* payload, size_t length) {
  std::vector<uint8_t> out(DEVICE_HEADER_SIZE + length);
  DeviceMessageHeader h;
  h.version = PROTOCOL_VERSION;
  h.status = 0;
  h.operation = operation;
  h.length = static_cast<uint32_t>(length);
  h.Encode(out.data());
  if (length > 0) std::memcpy(out.data() + DEVICE_HEADER_SIZE, payload, length);
  return out;
}

int32_t ValidateReply(bool timedOut, int recvError, const uint8_t* buf, long count,
                      uint32_t expectedLength) {
  if (timedOut) return ERR_RECEIVE_TIMEOUT;
  if (recvError != 0) return recvError;
  if (count < static_cast<long>(DEVICE_HEADER_SIZE)) return ERR_INVALID_BUFFER_SIZE;
  const DeviceMessageHeader h = DeviceMessageHeader::Decode(buf);
  if (h.status != 0) return static_cast<int32_t>(h.status);
  // Compared in 64 bits: a hostile length near 2^32 must not wrap around.
  if (static_cast<uint64_t>(count) != DEVICE_HEADER_SIZE + static_cast<uint64_t>(h.length) ||
      h.length != expectedLength)
    return ERR_INVALID_BUFFER_SIZE;
  return ERR_SUCCESS;
}

std::string FormatIp(uint32_t ipNetOrder) { return net::FormatIpv4(ipNetOrder); }

std::string FormatMac(const uint8_t* mac6) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac6[0], mac6[1], mac6[2],
                mac6[3], mac6[4], mac6[5]);
  return text;
}
