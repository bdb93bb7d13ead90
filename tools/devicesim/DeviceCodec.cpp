#include "tools/devicesim/DeviceCodec.h"

#include <cstring>

namespace devicewire {

namespace {

uint32_t LittleEndian32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void PutLittleEndian32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Addresses are kept in network byte order, which is also their order on
// the wire: copied as bytes, never swapped.
uint32_t Address(const uint8_t* at) {
  uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void PutAddress(uint8_t* at, uint32_t netOrder) { std::memcpy(at, &netOrder, sizeof netOrder); }

void PutHeader(uint8_t* at, const Header& h) {
  PutLittleEndian32(at + VERSION_AT, h.version);
  PutLittleEndian32(at + STATUS_AT, h.status);
  PutLittleEndian32(at + OPERATION_AT, h.operation);
  PutLittleEndian32(at + LENGTH_AT, h.length);
}

// The first 16 bytes of a record or a set-network payload.
Record ReadRecord(const uint8_t* at) {
  Record r;
  std::memcpy(r.mac.data(), at + MAC_AT, MAC_SIZE);
  r.kind = static_cast<uint16_t>(at[KIND_AT] | at[KIND_AT + 1] << 8);
  r.ip = Address(at + IP_AT);
  r.mask = Address(at + MASK_AT);
  return r;
}

void PutRecord(uint8_t* at, const Record& r) {
  std::memcpy(at + MAC_AT, r.mac.data(), MAC_SIZE);
  at[KIND_AT] = static_cast<uint8_t>(r.kind);
  at[KIND_AT + 1] = static_cast<uint8_t>(r.kind >> 8);
  PutAddress(at + IP_AT, r.ip);
  PutAddress(at + MASK_AT, r.mask);
}

std::vector<uint8_t> Answer(const Header& request, uint32_t status, size_t payload) {
  std::vector<uint8_t> out(HEADER_SIZE + payload, 0);
  PutHeader(out.data(), {request.version, status, request.operation, static_cast<uint32_t>(payload)});
  return out;
}

}  // namespace

std::optional<Header> ReadHeader(const uint8_t* data, size_t size) {
  if (size < HEADER_SIZE) return std::nullopt;
  return Header{LittleEndian32(data + VERSION_AT), LittleEndian32(data + STATUS_AT),
                LittleEndian32(data + OPERATION_AT), LittleEndian32(data + LENGTH_AT)};
}

std::optional<SetNetwork> ReadSetNetwork(const uint8_t* data, size_t size) {
  const std::optional<Header> h = ReadHeader(data, size);
  if (!h || h->length != SET_NETWORK_SIZE || size != HEADER_SIZE + SET_NETWORK_SIZE)
    return std::nullopt;
  const uint8_t* payload = data + HEADER_SIZE;
  SetNetwork request;
  request.target = ReadRecord(payload);
  // The last byte is the terminator even when a sender filled all 32.
  const char* password = reinterpret_cast<const char*>(payload + PASSWORD_AT);
  request.password.assign(password, strnlen(password, PASSWORD_SIZE - 1));
  return request;
}

std::vector<uint8_t> DiscoveryAnswer(const Header& request, uint32_t status, const Record& record) {
  std::vector<uint8_t> out = Answer(request, status, RECORD_SIZE);
  PutRecord(out.data() + HEADER_SIZE, record);
  return out;
}

std::vector<uint8_t> StatusAnswer(const Header& request, uint32_t status) {
  return Answer(request, status, 0);
}

}  // namespace devicewire
