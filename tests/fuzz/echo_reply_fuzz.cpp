// What a raw ICMP socket hands the echo probe: an IPv4 datagram of any
// header length and any ICMP message behind it. Invariants beyond no crash:
//   - the decoder refuses exactly what is shorter than its header length
//     plus 8 bytes, or of a type it does not take, and otherwise reports
//     the fields where they lie;
//   - our own request, looped back behind any IPv4 header, decodes to what
//     was sent (sequence, type, time to live, source, travel time);
//   - the checksum of a request is valid, and adding a message's checksum
//     to it makes the sum check to zero.
#include <cstring>
#include <string>
#include <vector>

#include "EchoProbe.h"
#include "FuzzSupport.h"

using namespace quillbox;

namespace {

void CheckDecode(const uint8_t* data, size_t size, uint32_t now) {
  TReplyStatus rec;
  rec.BytesReceived = -1;
  const Failure f = EchoProbe::DecodeDatagram(data, size, now, &rec);
  const size_t header = size > 0 ? size_t(data[0] & 0x0f) * 4 : 0;
  if (size == 0 || size < header + 8) {
    FUZZ_CHECK(f.message == "Not enough bytes received");
    FUZZ_CHECK(rec.BytesReceived == -1);  // untouched
    return;
  }
  const uint8_t type = data[header];
  if (type != 0 && type != 3 && type != 8 && type != 11) {
    FUZZ_CHECK(f.message == "Non-echo type response received");
    return;
  }
  FUZZ_CHECK(!f);
  FUZZ_CHECK(rec.BytesReceived == static_cast<int>(size));
  FUZZ_CHECK(rec.MsgType == type);
  FUZZ_CHECK(rec.ReplyStatus == (type == 3 ? rsErrorUnreachable : type == 11 ? rsErrorTTLExceeded : rsEcho));
  FUZZ_CHECK(rec.SequenceId == (data[header + 6] | data[header + 7] << 8));
  FUZZ_CHECK(rec.TimeToLive == (size > 8 ? data[8] : 0));
  uint32_t source = 0;
  if (size >= 16) std::memcpy(&source, data + 12, 4);
  FUZZ_CHECK(rec.FromIpAddress == net::FormatIpv4(source));
}

void CheckChecksum(const std::string& bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint16_t sum = EchoProbe::Checksum(p, bytes.size());
  if (bytes.size() % 2 == 0) {
    std::vector<uint8_t> with(p, p + bytes.size());
    with.push_back(static_cast<uint8_t>(sum >> 8));
    with.push_back(static_cast<uint8_t>(sum));
    FUZZ_CHECK(EchoProbe::Checksum(with.data(), with.size()) == 0);
  } else {
    // An odd length counts as padded with one zero byte.
    std::vector<uint8_t> padded(p, p + bytes.size());
    padded.push_back(0);
    FUZZ_CHECK(EchoProbe::Checksum(padded.data(), padded.size()) == sum);
  }
}

void CheckLoopedRequest(fuzz::Bytes& in) {
  const uint16_t identifier = in.U16();
  const uint16_t sequence = in.U16();
  const uint32_t sent = in.U32();
  const uint32_t now = in.U32();
  const uint8_t ttl = in.U8();
  const uint32_t source = in.U32();
  const size_t header = 20 + 4 * (in.U8() % 11);  // 20 to 60 bytes
  const auto request = EchoProbe::BuildRequest(identifier, sequence, sent);
  FUZZ_CHECK(request[0] == 8 && request[1] == 0);
  FUZZ_CHECK(EchoProbe::Checksum(request.data(), request.size()) == 0);

  std::vector<uint8_t> datagram(header, 0);
  datagram[0] = static_cast<uint8_t>(0x40 | header / 4);
  datagram[8] = ttl;
  datagram[9] = 1;
  std::memcpy(&datagram[12], &source, 4);
  const std::string options = in.Take(header - 20);
  std::memcpy(datagram.data() + 20, options.data(), options.size());
  datagram.insert(datagram.end(), request.begin(), request.end());

  TReplyStatus rec;
  FUZZ_CHECK(!EchoProbe::DecodeDatagram(datagram.data(), datagram.size(), now, &rec));
  FUZZ_CHECK(rec.ReplyStatus == rsEcho && rec.MsgType == 8);
  FUZZ_CHECK(rec.SequenceId == sequence);
  FUZZ_CHECK(rec.TimeToLive == ttl);
  FUZZ_CHECK(rec.FromIpAddress == net::FormatIpv4(source));
  FUZZ_CHECK(rec.BytesReceived == static_cast<int>(datagram.size()));
  FUZZ_CHECK(rec.MsRoundTripTime == static_cast<int>(now - sent));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The probe reads at most its buffer's worth of a datagram.
  const size_t taken = size < EchoProbe::kReceiveBufferSize ? size : EchoProbe::kReceiveBufferSize;
  fuzz::Bytes in(data, size);
  const uint32_t now = in.U32();
  CheckDecode(data, taken, now);
  CheckChecksum(std::string(reinterpret_cast<const char*>(data), taken));
  fuzz::Bytes again(data, size);
  CheckLoopedRequest(again);
  return 0;
}
