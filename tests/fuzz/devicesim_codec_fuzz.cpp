// A datagram on the simulated devices' port, read by the simulator's own
// codec, which shares no code with the explorer's: each side checks the
// other. Invariants:
//   - a header is read from 16 bytes or more, a set-network request only
//     from exactly 64 bytes announcing 48, with a password of at most 31
//     characters; the explorer's decoder reads the same fields;
//   - what the explorer sends for those fields the simulator reads back;
//   - every answer the simulator builds passes the explorer's validation
//     with the status it carries, and a discovery answer's record reads
//     back as the device's.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "explorer/protocol/DeviceMessages.h"
#include "tools/devicesim/DeviceCodec.h"

namespace wire = devicewire;

namespace {

void CheckSameRequest(const wire::SetNetwork& device, const SetNetworkRequest& explorer) {
  FUZZ_CHECK(std::memcmp(device.target.mac.data(), explorer.mac.data(), wire::MAC_SIZE) == 0);
  FUZZ_CHECK(device.target.kind == explorer.kind);
  FUZZ_CHECK(device.target.ip == explorer.ip && device.target.mask == explorer.mask);
  FUZZ_CHECK(device.password == explorer.password);
}

void CheckAnswers(const wire::Header& request, uint32_t status, const wire::Record& record) {
  const std::vector<uint8_t> discovery = wire::DiscoveryAnswer(request, status, record);
  const long dn = static_cast<long>(discovery.size());
  const int32_t expected = status == 0 ? ERR_SUCCESS : static_cast<int32_t>(status);
  FUZZ_CHECK(ValidateReply(false, 0, discovery.data(), dn, DEVICE_RECORD_SIZE) == expected);
  const DeviceMessageHeader h = DeviceMessageHeader::Decode(discovery.data());
  FUZZ_CHECK(h.version == request.version && h.operation == request.operation);
  DeviceRecord read;
  std::memcpy(read.bytes.data(), discovery.data() + DEVICE_HEADER_SIZE, DEVICE_RECORD_SIZE);
  FUZZ_CHECK(std::memcmp(read.mac(), record.mac.data(), wire::MAC_SIZE) == 0);
  FUZZ_CHECK(read.kind() == record.kind && read.ip() == record.ip && read.mask() == record.mask);

  const std::vector<uint8_t> plain = wire::StatusAnswer(request, status);
  const long pn = static_cast<long>(plain.size());
  FUZZ_CHECK(ValidateReply(false, 0, plain.data(), pn, 0) == expected);
  // Neither passes for the other exchange unless the device refused.
  if (status == 0) {
    FUZZ_CHECK(ValidateReply(false, 0, plain.data(), pn, DEVICE_RECORD_SIZE) == ERR_INVALID_BUFFER_SIZE);
    FUZZ_CHECK(ValidateReply(false, 0, discovery.data(), dn, 0) == ERR_INVALID_BUFFER_SIZE);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<wire::Header> header = wire::ReadHeader(data, size);
  FUZZ_CHECK(header.has_value() == (size >= wire::HEADER_SIZE));
  if (!header) return 0;
  const DeviceMessageHeader same = DeviceMessageHeader::Decode(data);
  FUZZ_CHECK(header->version == same.version && header->status == same.status &&
             header->operation == same.operation && header->length == same.length);

  const std::optional<wire::SetNetwork> set = wire::ReadSetNetwork(data, size);
  FUZZ_CHECK(set.has_value() == (size == wire::HEADER_SIZE + wire::SET_NETWORK_SIZE &&
                                 header->length == wire::SET_NETWORK_SIZE));
  wire::Record record;  // the device's own, from the bytes where a record would lie
  uint8_t payload[SET_NETWORK_REQUEST_SIZE] = {};
  std::memcpy(payload, data + DEVICE_HEADER_SIZE,
              std::min(size - DEVICE_HEADER_SIZE, SET_NETWORK_REQUEST_SIZE));
  const SetNetworkRequest explorer = SetNetworkRequest::Decode(payload);
  if (set) {
    FUZZ_CHECK(set->password.size() <= 31);
    CheckSameRequest(*set, explorer);
  }
  // The explorer's request for these fields, as the device reads it.
  const auto encoded = explorer.Encode();
  const std::vector<uint8_t> sent = BuildRequest(OP_SET_NETWORK, encoded.data(), encoded.size());
  const std::optional<wire::SetNetwork> received = wire::ReadSetNetwork(sent.data(), sent.size());
  FUZZ_CHECK(received.has_value());
  CheckSameRequest(*received, explorer);
  const std::vector<uint8_t> discover = BuildRequest(OP_DISCOVER, nullptr, 0);
  const std::optional<wire::Header> asked = wire::ReadHeader(discover.data(), discover.size());
  FUZZ_CHECK(asked && asked->operation == wire::OP_DISCOVER && asked->length == 0);
  FUZZ_CHECK(!wire::ReadSetNetwork(discover.data(), discover.size()));

  std::memcpy(record.mac.data(), explorer.mac.data(), wire::MAC_SIZE);
  record.kind = explorer.kind;
  record.ip = explorer.ip;
  record.mask = explorer.mask;
  CheckAnswers(*header, header->status, record);
  CheckAnswers(*header, 0, record);
  return 0;
}
