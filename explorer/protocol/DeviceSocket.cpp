#include "explorer/protocol/DeviceSocket.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>
#include <unordered_set>

namespace {

int MillisecondsUntil(CTimeoutSocket::Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - CTimeoutSocket::Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

uint64_t MacKey(const uint8_t* mac) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

}  // namespace

// ---------------------------------------------------------------- CTimeoutSocket

void CTimeoutSocket::StartDeadline(uint32_t ms) {
  timedOut_ = false;
  if (ms != 0) {
    armed_ = true;
    deadline_ = Clock::now() + std::chrono::milliseconds(ms);
  }
}

void CTimeoutSocket::StopDeadline() { armed_ = false; }

void CTimeoutSocket::CancelRequest() {
  cancelled_ = true;
  timedOut_ = true;
}

int CTimeoutSocket::OpenUdp() {
  cancelled_ = false;
  return socket_.OpenUdp();
}

int CTimeoutSocket::OpenTcp() {
  cancelled_ = false;
  return socket_.OpenTcp();
}

bool CTimeoutSocket::CheckExpired() {
  if (cancelled_.load() || (armed_ && Clock::now() >= deadline_)) timedOut_ = true;
  return timedOut_.load();
}

void CTimeoutSocket::PumpIfDue(bool force) {
  if (!pump_) return;
  const auto now = Clock::now();
  if (!force && now - lastPump_ < std::chrono::milliseconds(SLICE_MS)) return;
  lastPump_ = now;
  pump_();
}

bool CTimeoutSocket::Wait(bool forWrite, int* error) {
  *error = 0;
  for (;;) {
    if (CheckExpired()) return false;
    int slice = SLICE_MS;
    if (armed_) slice = std::clamp(MillisecondsUntil(deadline_), 1, SLICE_MS);
    bool ready = false;
    const int rc = forWrite ? socket_.WaitWritable(slice, &ready) : socket_.WaitReadable(slice, &ready);
    if (rc != 0) {
      *error = rc;
      return false;
    }
    if (ready) return true;
    // The hook may run a Cancel click; the check at the top of the loop
    // then ends the wait before another slice starts.
    PumpIfDue(true);
  }
}

void CTimeoutSocket::Pause() {
  int slice = SLICE_MS;
  if (armed_) slice = std::clamp(MillisecondsUntil(deadline_), 0, SLICE_MS);
  if (slice > 0 && !CheckExpired()) std::this_thread::sleep_for(std::chrono::milliseconds(slice));
  PumpIfDue(true);
  CheckExpired();
}

long CTimeoutSocket::Receive(void* buf, size_t cap) {
  for (;;) {
    // Checked before taking a queued datagram, too: a flood of answers must
    // not carry a wait past its deadline or past a Cancel.
    if (CheckExpired()) return -ETIMEDOUT;
    net::Datagram datagram;
    const int rc = socket_.ReceiveFrom(buf, cap, &datagram);
    if (rc != EAGAIN && rc != EWOULDBLOCK) {
      PumpIfDue(false);
      return rc == 0 ? static_cast<long>(datagram.size) : -rc;
    }
    int error = 0;
    if (!Wait(false, &error)) return error != 0 ? -error : -ETIMEDOUT;
  }
}

int CTimeoutSocket::Connect(uint32_t addrNetOrder, uint16_t port) {
  if (CheckExpired()) return ETIMEDOUT;
  const int rc = socket_.StartConnect({addrNetOrder, port});
  if (rc == 0) return 0;
  if (rc != EINPROGRESS) return rc;
  int error = 0;
  if (!Wait(true, &error)) return error != 0 ? error : ETIMEDOUT;
  return socket_.FinishConnect();
}

// ---------------------------------------------------------------- CDeviceSocket

int32_t CDeviceSocket::SendRequest(uint32_t addrNetOrder, const uint8_t* buf, size_t len) {
  sendFailed_ = true;
  if (socket_.OpenUdp() != 0) return -1;
  net::Socket& raw = socket_.Raw();
  if (raw.Bind({htonl(INADDR_ANY), 0}) != 0) {
    socket_.Close();
    return -1;
  }
  if (addrNetOrder == BROADCAST_ADDRESS) {
    const int rc = raw.SetBroadcast(true);
    if (rc != 0) {
      socket_.Close();
      return rc;
    }
  }
  // Asked before the request leaves, so the first answers already find the
  // room; a smaller grant only risks drops in very large plants.
  int granted = 0;
  const int sized = raw.SetReceiveBuffer(DISCOVERY_RECEIVE_BUFFER, &granted);
  lastReceiveBuffer_ = sized == 0 ? granted : -sized;
  if (raw.SendTo(buf, len, {addrNetOrder, DEVICE_PORT}) != 0) {
    socket_.Close();
    return -1;
  }
  sendFailed_ = false;
  return 0;
}

CDeviceSocket::Received CDeviceSocket::ReceiveOnce(uint32_t timeoutMs, uint8_t* buf,
                                                   uint32_t expectedLength) {
  socket_.StartDeadline(timeoutMs);
  const long n = socket_.Receive(buf, MAX_DATAGRAM);
  Received r;
  r.datagram = n >= 0 || n == -EMSGSIZE;
  // A receive that fails at once must not turn the wait into a busy loop,
  // and the deadline must still be noticed when it passes meanwhile.
  if (!r.datagram && !socket_.timedOut()) socket_.Pause();
  if (timeoutMs != 0) socket_.StopDeadline();
  const bool ended = socket_.timedOut();
  const int recvError = (n < 0 && !ended) ? static_cast<int>(-n) : 0;
  r.result = ValidateReply(ended, recvError, buf, n < 0 ? 0 : n, expectedLength);
  return r;
}

int32_t CDeviceSocket::ReceiveReply(uint32_t timeoutMs, uint8_t* buf, uint32_t expectedLength) {
  return ReceiveOnce(timeoutMs, buf, expectedLength).result;
}

int32_t CDeviceSocket::Discover(DeviceRecordArray& records, int& count) {
  const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
  const int32_t sent = SendRequest(BROADCAST_ADDRESS, request.data(), request.size());
  if (sent != 0) return sent;

  count = 0;
  int32_t result = 0;
  std::unordered_set<uint64_t> held;  // MACs of this pass, for the duplicate test
  held.reserve(MAX_DEVICES * 2);
  uint8_t buf[MAX_DATAGRAM];
  socket_.StartDeadline(DISCOVERY_PASS_MS);
  while (!socket_.timedOut()) {
    if (count >= MAX_DEVICES) break;
    const int32_t r = ReceiveOnce(0, buf, DEVICE_RECORD_SIZE).result;
    if (result == 0) result = r;
    if (r != 0) continue;
    DeviceRecord record;
    std::memcpy(record.bytes.data(), buf + DEVICE_HEADER_SIZE, DEVICE_RECORD_SIZE);
    if (!IsAcceptedKind(record.kind())) continue;
    const uint64_t key = MacKey(record.mac());
    if (held.count(key) != 0) continue;
    try {
      records[count] = std::make_unique<DeviceRecord>(record);
      held.insert(key);
    } catch (const std::bad_alloc&) {
      continue;  // dropped; the pass goes on with what fits
    }
    ++count;
  }
  if (count > 0) result = 0;
  socket_.StopDeadline();
  socket_.Close();
  return result;
}

int32_t CDeviceSocket::SetNetworkParameters(const SetNetworkRequest& request) {
  const auto payload = request.Encode();
  const std::vector<uint8_t> message = BuildRequest(OP_SET_NETWORK, payload.data(), payload.size());
  const int32_t sent = SendRequest(BROADCAST_ADDRESS, message.data(), message.size());
  if (sent != 0) return sent;

  int32_t result = 0;
  int32_t remembered = 0;
  uint8_t buf[MAX_DATAGRAM];
  // Each answer that arrives opens a new 4-second window; a receive that
  // fails without an answer does not, so the exchange always ends.
  auto window = CTimeoutSocket::Clock::now() + std::chrono::milliseconds(SET_NETWORK_WAIT_MS);
  for (;;) {
    if (result != 0 && result != ERR_INVALID_PHYSICAL_ADDRESS) remembered = result;
    const uint32_t left = static_cast<uint32_t>(std::max(1, MillisecondsUntil(window)));
    const Received r = ReceiveOnce(left, buf, 0);
    result = r.result;
    if (r.datagram)
      window = CTimeoutSocket::Clock::now() + std::chrono::milliseconds(SET_NETWORK_WAIT_MS);
    if (result == 0 || socket_.timedOut()) break;
  }
  if (socket_.timedOut() && remembered != 0) result = remembered;
  socket_.Close();
  return result;
}

bool CDeviceSocket::ProbeConnect(uint32_t addrNetOrder, uint16_t port) {
  // Linux takes 0.0.0.0 for this very host: a device without an address
  // would seem reachable whenever something here listens on the port.
  if (addrNetOrder == 0 || addrNetOrder == BROADCAST_ADDRESS) return false;
  if (socket_.OpenTcp() != 0) return false;
  socket_.StartDeadline(PROBE_MS);
  const int rc = socket_.Connect(addrNetOrder, port);
  socket_.StopDeadline();
  const bool ok = rc == 0 && !socket_.timedOut();
  socket_.Close();
  return ok;
}
