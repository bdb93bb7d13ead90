// Whatever arrives on the explorer's request socket: reply validation,
// the discovery record and how a row shows it, the set-network request's
// round trip, and the text of any error code a device may report.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "net/Ipv4.h"

namespace {

void CheckValidation(const uint8_t* data, size_t size) {
  // The receive never hands over more than the largest datagram; a longer
  // one arrives as a failed receive.
  const long count = static_cast<long>(size < MAX_DATAGRAM ? size : MAX_DATAGRAM);
  for (const uint32_t expected : {static_cast<uint32_t>(DEVICE_RECORD_SIZE), 0u}) {
    const int32_t result = ValidateReply(false, 0, data, count, expected);
    // The earlier rules win whatever the bytes say.
    FUZZ_CHECK(ValidateReply(true, 0, data, count, expected) == ERR_RECEIVE_TIMEOUT);
    FUZZ_CHECK(ValidateReply(false, EMSGSIZE, data, 0, expected) == EMSGSIZE);
    if (count < static_cast<long>(DEVICE_HEADER_SIZE)) {
      FUZZ_CHECK(result == ERR_INVALID_BUFFER_SIZE);
      continue;
    }
    const DeviceMessageHeader h = DeviceMessageHeader::Decode(data);
    uint8_t again[DEVICE_HEADER_SIZE];
    h.Encode(again);
    FUZZ_CHECK(std::memcmp(again, data, DEVICE_HEADER_SIZE) == 0);
    if (h.status != 0) {
      FUZZ_CHECK(result == static_cast<int32_t>(h.status));
      continue;
    }
    const bool whole = static_cast<uint64_t>(count) == DEVICE_HEADER_SIZE + uint64_t{h.length};
    FUZZ_CHECK((result == ERR_SUCCESS) == (whole && h.length == expected));
    FUZZ_CHECK(result == ERR_SUCCESS || result == ERR_INVALID_BUFFER_SIZE);
  }
}

void CheckRecord(const DeviceRecord& record, bool duplicate) {
  const std::string mac = FormatMac(record.mac());
  FUZZ_CHECK(mac.size() == 17);
  for (size_t i = 0; i < DeviceRecord::MAC_SIZE; ++i) {
    unsigned octet = 0;
    FUZZ_CHECK(std::sscanf(mac.c_str() + 3 * i, "%2X", &octet) == 1);
    FUZZ_CHECK(octet == record.mac()[i]);
  }
  uint32_t parsed = 0;
  FUZZ_CHECK(net::ParseIpv4(FormatIp(record.ip()), &parsed) && parsed == record.ip());
  const RowContent row = BuildRowContent(record, duplicate);
  FUZZ_CHECK(row.macText == mac);
  FUZZ_CHECK(row.ipText.rfind(FormatIp(record.ip()), 0) == 0);
  FUZZ_CHECK(row.image == (record.ip() != 0 && !duplicate ? IMAGE_TICK : IMAGE_CROSS));
}

void CheckSetNetwork(const uint8_t* field, const std::string& typed) {
  const SetNetworkRequest request = SetNetworkRequest::Decode(field);
  FUZZ_CHECK(request.password.size() <= SetNetworkRequest::MAX_PASSWORD);
  FUZZ_CHECK(request.password.find('\0') == std::string::npos);
  const auto encoded = request.Encode();
  FUZZ_CHECK(std::memcmp(encoded.data(), field, SetNetworkRequest::PASSWORD_OFFSET) == 0);
  const uint8_t* password = encoded.data() + SetNetworkRequest::PASSWORD_OFFSET;
  FUZZ_CHECK(std::memcmp(password, request.password.data(), request.password.size()) == 0);
  for (size_t i = request.password.size(); i < SetNetworkRequest::PASSWORD_FIELD_SIZE; ++i)
    FUZZ_CHECK(password[i] == 0);
  const SetNetworkRequest back = SetNetworkRequest::Decode(encoded.data());
  FUZZ_CHECK(back.mac == request.mac && back.kind == request.kind && back.ip == request.ip &&
             back.mask == request.mask && back.password == request.password);

  // What the dialog sends for a typed password of any length.
  DeviceRecord target;
  std::memcpy(target.bytes.data(), field, DEVICE_RECORD_SIZE);
  const SetNetworkRequest filled = FillSetNetworkRequest(target, {request.ip, request.mask, typed});
  const auto wire = filled.Encode();
  FUZZ_CHECK(wire.back() == 0);
  FUZZ_CHECK(filled.password == typed.substr(0, MAX_NETWORK_PASSWORD));
  const std::vector<uint8_t> datagram = BuildRequest(OP_SET_NETWORK, wire.data(), wire.size());
  FUZZ_CHECK(datagram.size() == DEVICE_HEADER_SIZE + SET_NETWORK_REQUEST_SIZE);
  const DeviceMessageHeader h = DeviceMessageHeader::Decode(datagram.data());
  FUZZ_CHECK(h.version == PROTOCOL_VERSION && h.status == 0 && h.operation == OP_SET_NETWORK &&
             h.length == SET_NETWORK_REQUEST_SIZE);
  FUZZ_CHECK(std::memcmp(datagram.data() + DEVICE_HEADER_SIZE, wire.data(), wire.size()) == 0);
}

void CheckErrorText(int32_t code) {
  const std::string text = ErrorText(code);
  FUZZ_CHECK(!text.empty());
  FUZZ_CHECK(text.find("placeholder") == std::string::npos);
  if (code == -1) FUZZ_CHECK(text == "Unknown error");
  if (text.rfind("Unknown Error:", 0) == 0) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "Unknown Error:  0x%X", static_cast<uint32_t>(code));
    FUZZ_CHECK(text == expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckValidation(data, size);

  fuzz::Bytes in(data, size);
  CheckErrorText(static_cast<int32_t>(in.U32()));
  CheckErrorText(static_cast<int32_t>(in.U32()));  // the status field

  // A discovery reply the transport accepted becomes a record as it came.
  if (size >= DEVICE_HEADER_SIZE + DEVICE_RECORD_SIZE) {
    DeviceRecord record;
    std::memcpy(record.bytes.data(), data + DEVICE_HEADER_SIZE, DEVICE_RECORD_SIZE);
    CheckRecord(record, (data[0] & 1) != 0);
  }

  // The 48 bytes after the header, as a device reads a set-network request
  // (zeros where the input ends).
  uint8_t field[SET_NETWORK_REQUEST_SIZE] = {};
  if (size > DEVICE_HEADER_SIZE)
    std::memcpy(field, data + DEVICE_HEADER_SIZE,
                std::min(size - DEVICE_HEADER_SIZE, SET_NETWORK_REQUEST_SIZE));
  const std::string typed(reinterpret_cast<const char*>(data), size);
  CheckSetNetwork(field, typed);
  return 0;
}
