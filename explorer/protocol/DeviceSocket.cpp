#include "explorer/protocol/DeviceSocket.h"

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>
#include <map>
#include <unordered_set>

#include "explorer/protocol/ErrorTable.h"
#include "net/Interfaces.h"

namespace {

int MillisecondsUntil(CTimeoutSocket::Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - CTimeoutSocket::Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
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
  group_.clear();
  return socket_.OpenUdp();
}

int CTimeoutSocket::OpenTcp() {
  cancelled_ = false;
  return socket_.OpenTcp();
}

void CTimeoutSocket::Close() {
  // The thread uses the descriptors until it is joined.
  receiver_.Stop();
  group_.clear();
  socket_.Close();
}

int CTimeoutSocket::StartReceiver() {
  std::vector<const net::Socket*> sockets{&socket_};
  for (const net::Socket& s : group_) sockets.push_back(&s);
  return receiver_.Start(sockets);
}

int CTimeoutSocket::ShareReceivePort(size_t members, int bufferRequest, long* granted) {
  int own = 0;
  if (const int err = socket_.ReceiveBufferSize(&own)) return err;
  *granted = own;
  if (members <= 1) return 0;
  net::Endpoint local;
  // Bound without the option, the socket was given a port nobody else
  // holds; opened to joiners only now, it cannot have landed in another
  // group of this user's.
  if (const int err = socket_.LocalAddress(&local)) return err;
  if (const int err = socket_.SetReusePort(true)) return err;
  int err = 0;
  long total = own;
  try {
    group_.reserve(members - 1);
    while (err == 0 && group_.size() + 1 < members) {
      net::Socket s;
      int room = 0;
      err = s.OpenUdp();
      if (err == 0) err = s.SetReusePort(true);
      if (err == 0) err = s.IgnoreBroadcasts();
      if (err == 0) err = s.SetReceiveBuffer(bufferRequest, &room);
      if (err == 0) err = s.EnablePacketInfo();
      if (err == 0) err = s.Bind(local);
      if (err == 0) {
        total += room;
        group_.push_back(std::move(s));
      }
    }
  } catch (const std::bad_alloc&) {
    err = ENOMEM;
  }
  // Without it the group would choose by the sender, and one device's
  // answers, or a whole link's from one simulator, would all meet in one
  // socket.
  if (err == 0) err = group_.back().SpreadGroupAtRandom(static_cast<unsigned>(members));
  if (err != 0) {
    group_.clear();
    socket_.SetReusePort(false);
    return err;
  }
  *granted = total;
  return 0;
}

int CTimeoutSocket::SliceLeft() const {
  if (!armed_) return SLICE_MS;
  return std::clamp(MillisecondsUntil(deadline_), 1, SLICE_MS);
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
    const int slice = SliceLeft();
    bool ready = false;
    const int rc = forWrite ? socket_.WaitWritable(slice, &ready) : socket_.WaitReadable(slice, &ready);
    if (rc != 0) {
      *error = rc;
      return false;
    }
    if (ready) return true;
    // The hook, or another thread, may have cancelled meanwhile; the check
    // at the top of the loop then ends the wait before another slice starts.
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
    if (receiver_.Running()) {
      // A descriptor closed under the exchange fails its receives at once,
      // whatever the thread's own copy still sees.
      if (!socket_.IsOpen()) return -EBADF;
      if (!receiver_.Take(&reply_, SliceLeft())) {
        // The hook, or another thread, may have cancelled meanwhile; the
        // check at the top of the loop then ends the wait.
        PumpIfDue(true);
        continue;
      }
      PumpIfDue(false);
      lastLink_ = reply_.link;
      lastFrom_ = reply_.from;
      if (reply_.size < 0 && reply_.size != -EMSGSIZE) return reply_.size;
      const size_t n = std::min(cap, reply_.size < 0 ? reply_.bytes.size() : static_cast<size_t>(reply_.size));
      std::memcpy(buf, reply_.bytes.data(), n);
      return reply_.size;
    }
    net::Datagram datagram;
    const int rc = socket_.ReceiveFrom(buf, cap, &datagram);
    if (rc != EAGAIN && rc != EWOULDBLOCK) {
      PumpIfDue(false);
      lastLink_ = datagram.to.interfaceIndex;
      lastFrom_ = datagram.from.ip;
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

std::vector<CDeviceSocket::Link> CDeviceSocket::BroadcastLinks() const {
  std::vector<Link> links;
  if (!linkFilter_.empty()) {
    for (const std::string& name : linkFilter_) {
      const unsigned index = net::InterfaceIndex(name);
      const bool listed = std::any_of(links.begin(), links.end(), [&](const Link& l) { return l.index == index; });
      if (index != 0 && !listed) links.push_back({index, name});
    }
    return links;
  }
  std::vector<net::Interface> interfaces;
  if (net::ListIpv4Interfaces(&interfaces) != 0) return links;
  for (const net::Interface& i : interfaces)
    if (i.CarriesBroadcast()) links.push_back({i.index, i.name});
  return links;
}

bool CDeviceSocket::SendOnEveryLink(const uint8_t* buf, size_t len) {
  net::Socket& raw = socket_.Raw();
  const net::Endpoint to{BROADCAST_ADDRESS, DEVICE_PORT};
  const std::vector<Link> links = BroadcastLinks();
  // Only a loopback, or an unreadable list: the routing's choice, as a host
  // with a single network has always had.
  if (links.empty() && linkFilter_.empty()) return raw.SendTo(buf, len, to) == 0;
  for (const Link& link : links) {
    // A link that went away since the list was read is passed over; the
    // others still get the request.
    if (raw.SendTo(buf, len, to, {0, link.index}) == 0) sentLinks_.push_back(link);
  }
  return !sentLinks_.empty();
}

int32_t CDeviceSocket::OpenExchange(bool broadcast) {
  if (socket_.OpenUdp() != 0) return -1;
  net::Socket& raw = socket_.Raw();
  if (raw.Bind({htonl(INADDR_ANY), 0}) != 0) {
    socket_.Close();
    return -1;
  }
  if (broadcast) {
    const int rc = raw.SetBroadcast(true);
    if (rc != 0) {
      socket_.Close();
      return rc;
    }
  }
  // Asked before the request leaves, so the first answers already find the
  // room; without the privilege to force it, the receiving thread keeps the
  // default buffer from overflowing.
  int granted = 0;
  const int sized = receiveBufferRequest_ > 0 ? raw.SetReceiveBuffer(receiveBufferRequest_, &granted)
                                              : raw.ReceiveBufferSize(&granted);
  lastReceiveBuffer_ = sized == 0 ? granted : -sized;
  // Held below the room asked for: more sockets on the port make it up (a
  // failure leaves the one socket, as on a system without the option).
  if (sized == 0 && granted > 0 && granted < receiveBufferRequest_) {
    const size_t members = std::min<size_t>(
        MAX_RECEIVE_SOCKETS, (static_cast<size_t>(receiveBufferRequest_) + granted - 1) / granted);
    long together = 0;
    if (socket_.ShareReceivePort(members, receiveBufferRequest_, &together) == 0) lastReceiveBuffer_ = together;
  }
  lastReceiveSockets_ = socket_.ReceiveSockets();
  // Which link each answer came in on; an answer without it is still kept.
  raw.EnablePacketInfo();
  if (socket_.StartReceiver() != 0) {
    socket_.Close();
    return -1;
  }
  return 0;
}

int32_t CDeviceSocket::SendRequest(uint32_t addrNetOrder, const uint8_t* buf, size_t len) {
  sendFailed_ = true;
  sentLinks_.clear();
  const int32_t opened = OpenExchange(addrNetOrder == BROADCAST_ADDRESS);
  if (opened != 0) return opened;
  const bool sent = addrNetOrder == BROADCAST_ADDRESS
                        ? SendOnEveryLink(buf, len)
                        : socket_.Raw().SendTo(buf, len, {addrNetOrder, DEVICE_PORT}) == 0;
  if (!sent) {
    socket_.Close();
    return -1;
  }
  sendFailed_ = false;
  return 0;
}

bool CDeviceSocket::SendToTargets(const uint8_t* buf, size_t len) {
  targetSends_.assign(targets_.size(), TargetSend{});
  bool any = broadcast_ && SendOnEveryLink(buf, len);
  for (size_t i = 0; i < targets_.size(); ++i) {
    const DiscoveryTarget& t = targets_[i];
    if (t.kind == DiscoveryTarget::Kind::Sweep) continue;
    const int rc = socket_.Raw().SendTo(buf, len, {t.Destination(), DEVICE_PORT});
    targetSends_[i].error = rc;
    targetSends_[i].sent = rc == 0 ? 1 : 0;
    any = any || rc == 0;
  }
  return any;
}

// Sends a pass's sweeps at the chosen rate while the pass takes answers:
// thousands of requests would otherwise leave in one burst (a router or a
// device's neighbour table drops most of them), and a /16 must neither be
// one system call per address nor wait for its own answers to be read.
class CDeviceSocket::SweepSender {
 public:
  SweepSender(CDeviceSocket& owner, const uint8_t* buf, size_t len) : owner_(owner), buf_(buf), len_(len) {
    for (size_t i = 0; i < owner.targets_.size(); ++i)
      if (owner.targets_[i].kind == DiscoveryTarget::Kind::Sweep) {
        sweeps_.push_back(i);
        total_ += owner.targets_[i].Count();
      }
    start_ = CTimeoutSocket::Clock::now();
  }
  bool Pending() const { return done_ < total_; }
  bool AnySent() const { return sent_ > 0; }

  // Sends what is due by now (never more than a batch's worth per call,
  // so answers are taken in between); the milliseconds until more is due.
  uint32_t SendDue() {
    const auto elapsed = CTimeoutSocket::Clock::now() - start_;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const uint64_t due = std::min<uint64_t>(total_, static_cast<uint64_t>(seconds * owner_.sweepRate_) + 1);
    uint64_t budget = std::min<uint64_t>(due > done_ ? due - done_ : 0, MAX_PER_CALL);
    while (budget > 0 && Pending()) {
      const size_t n = Fill(static_cast<size_t>(std::min<uint64_t>(budget, batch_.size())));
      size_t sent = 0;
      const int rc = owner_.socket_.Raw().SendToMany(buf_, len_, batch_.data(), n, &sent);
      Account(sent, rc);
      if (rc == EAGAIN || rc == EWOULDBLOCK || rc == ENOBUFS) break;  // try again when due
      const size_t skipped = rc != 0 ? 1 : 0;                           // this address failed
      Advance(sent + skipped);
      budget -= std::min<uint64_t>(budget, sent + skipped);
    }
    if (!Pending()) return 0;
    const double next = static_cast<double>(done_ + 1) / owner_.sweepRate_;
    const double wait = next - std::chrono::duration<double>(CTimeoutSocket::Clock::now() - start_).count();
    return static_cast<uint32_t>(std::clamp(wait * 1000.0, 1.0, 1000.0));
  }

 private:
  static constexpr uint64_t MAX_PER_CALL = 1024;

  // The next n addresses, from the current position on.
  size_t Fill(size_t n) {
    size_t k = 0;
    size_t sweep = current_;
    uint32_t offset = offset_;
    while (k < n && sweep < sweeps_.size()) {
      const DiscoveryTarget& t = owner_.targets_[sweeps_[sweep]];
      batch_[k++] = {htonl(t.first + offset), DEVICE_PORT};
      if (++offset >= t.Count()) {
        ++sweep;
        offset = 0;
      }
    }
    return k;
  }
  void Advance(size_t n) {
    for (; n > 0 && current_ < sweeps_.size(); --n) {
      ++done_;
      if (++offset_ >= owner_.targets_[sweeps_[current_]].Count()) {
        ++current_;
        offset_ = 0;
      }
    }
  }
  void Account(size_t sent, int rc) {
    // Attributed to the sweep the batch started in: a batch spans two only
    // at their border.
    if (current_ >= sweeps_.size()) return;
    TargetSend& s = owner_.targetSends_[sweeps_[current_]];
    s.sent += static_cast<uint32_t>(sent);
    if (rc != 0 && rc != EAGAIN && rc != EWOULDBLOCK && rc != ENOBUFS && s.error == 0) s.error = rc;
    sent_ += sent;
  }

  CDeviceSocket& owner_;
  const uint8_t* buf_;
  size_t len_;
  std::vector<size_t> sweeps_;  // indexes of the sweeps in owner_.targets_
  uint64_t total_ = 0;
  uint64_t done_ = 0;  // addresses sent or given up
  uint64_t sent_ = 0;
  size_t current_ = 0;   // sweep of the next address
  uint32_t offset_ = 0;  // its offset in that sweep
  std::array<net::Endpoint, 64> batch_{};
  CTimeoutSocket::Clock::time_point start_;
};

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
  std::vector<DeviceRecord> found;
  const int32_t result = Discover(found, MAX_DEVICES);
  if (sendFailed_) return result;
  count = 0;
  for (const DeviceRecord& record : found) {
    try {
      records[count] = std::make_unique<DeviceRecord>(record);
    } catch (const std::bad_alloc&) {
      break;  // the list holds what fits
    }
    ++count;
  }
  return result;
}

int32_t CDeviceSocket::Discover(std::vector<DeviceRecord>& records, size_t cap) {
  lastPassFull_ = false;
  const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
  sendFailed_ = true;
  sentLinks_.clear();
  const int32_t opened = OpenExchange(true);
  if (opened != 0) return opened;
  const bool sentAny = SendToTargets(request.data(), request.size());
  SweepSender sweep(*this, request.data(), request.size());

  records.clear();
  recordLinks_.clear();
  recordOrigins_.clear();
  std::vector<unsigned> linkOf;  // interface index of record i's answer
  std::vector<uint64_t> macOf;   // and its MAC
  std::vector<uint32_t> fromOf;  // and its sender
  std::unordered_set<uint64_t> held;  // MACs of this pass, for the duplicate test
  int32_t result = 0;
  try {
    const size_t expected = std::min<size_t>(cap, MAX_DEVICES);
    records.reserve(expected);
    linkOf.reserve(expected);
    macOf.reserve(expected);
    fromOf.reserve(expected);
    held.reserve(expected * 2);
  } catch (const std::bad_alloc&) {
    // Grown as the answers come, as far as memory goes.
  }
  uint8_t buf[MAX_DATAGRAM];
  const auto take = [&](int32_t r) {
    if (result == 0) result = r;
    if (r != 0) return;
    DeviceRecord record;
    std::memcpy(record.bytes.data(), buf + DEVICE_HEADER_SIZE, DEVICE_RECORD_SIZE);
    if (!IsAcceptedKind(record.kind())) return;
    const uint64_t key = MacKey(record.mac());
    if (held.count(key) != 0) return;
    const size_t kept = records.size();
    try {
      records.push_back(record);
      linkOf.push_back(socket_.LastLink());
      macOf.push_back(key);
      fromOf.push_back(socket_.LastSender());
      held.insert(key);
    } catch (const std::bad_alloc&) {
      // Dropped; the pass goes on with what fits.
      records.resize(kept);
      linkOf.resize(kept);
      macOf.resize(kept);
      fromOf.resize(kept);
      held.erase(key);
    }
  };
  // While a sweep still sends, the answers that already came are taken
  // between its batches; a wait that ends there is only the next batch
  // falling due.
  while (sweep.Pending() && !socket_.Cancelled() && records.size() < cap) {
    const uint32_t next = sweep.SendDue();
    if (!sweep.Pending()) break;
    const Received r = ReceiveOnce(next, buf, DEVICE_RECORD_SIZE);
    if (r.datagram || !socket_.timedOut()) take(r.result);
  }
  if (!sentAny && !sweep.AnySent()) {
    socket_.Close();
    return -1;
  }
  sendFailed_ = false;
  socket_.StartDeadline(DISCOVERY_PASS_MS);
  while (!socket_.timedOut()) {
    if (records.size() >= cap) {
      lastPassFull_ = true;
      break;
    }
    take(ReceiveOnce(0, buf, DEVICE_RECORD_SIZE).result);
  }
  if (!records.empty()) result = 0;
  socket_.StopDeadline();
  socket_.Close();
  NameLinks(linkOf, macOf, fromOf);
  return result;
}

int32_t CDeviceSocket::AskAddress(uint32_t addrNetOrder, DeviceRecord* out, uint32_t timeoutMs) {
  if (addrNetOrder == 0 || addrNetOrder == BROADCAST_ADDRESS) return ERR_RECEIVE_TIMEOUT;
  const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
  const int32_t sent = SendRequest(addrNetOrder, request.data(), request.size());
  if (sent != 0) return sent;
  uint8_t buf[MAX_DATAGRAM];
  int32_t result = ERR_RECEIVE_TIMEOUT;
  socket_.StartDeadline(timeoutMs);
  while (!socket_.timedOut()) {
    const int32_t r = ReceiveOnce(0, buf, DEVICE_RECORD_SIZE).result;
    if (r != 0) {
      if (!socket_.timedOut()) result = r;
      continue;
    }
    DeviceRecord record;
    std::memcpy(record.bytes.data(), buf + DEVICE_HEADER_SIZE, DEVICE_RECORD_SIZE);
    // Only the device at that address: another that happens to answer (a
    // gateway relaying, a stale duplicate) is not the one asked for.
    if (!IsAcceptedKind(record.kind()) || socket_.LastSender() != addrNetOrder) continue;
    *out = record;
    result = 0;
    break;
  }
  socket_.StopDeadline();
  socket_.Close();
  if (result == 0) NameLinks({socket_.LastLink()}, {MacKey(out->mac())}, {addrNetOrder});
  return result;
}

void CDeviceSocket::NameLinks(const std::vector<unsigned>& indexes, const std::vector<uint64_t>& macs,
                              const std::vector<uint32_t>& senders) {
  // Named once per interface, after the pass: the names are looked up in
  // the system, which has no place inside the receive loop.
  std::map<unsigned, std::string> names;
  for (const Link& l : sentLinks_) names[l.index] = l.name;
  recordLinks_.clear();
  recordLinks_.reserve(indexes.size());
  recordOrigins_.clear();
  recordOrigins_.reserve(indexes.size());
  recordOfDevice_.clear();
  for (size_t i = 0; i < indexes.size(); ++i) {
    const unsigned index = indexes[i];
    if (index != 0 && names.count(index) == 0) names[index] = net::InterfaceName(index);
    recordLinks_.push_back({index, index != 0 ? names[index] : std::string()});
    Origin origin;
    origin.link = recordLinks_.back();
    origin.from = i < senders.size() ? senders[i] : 0;
    origin.target = origin.from != 0 ? TargetCovering(targets_, origin.from) : -1;
    recordOrigins_.push_back(origin);
    if (i < macs.size()) recordOfDevice_.emplace(macs[i], i);
  }
}

CDeviceSocket::Origin CDeviceSocket::OriginOfDevice(const uint8_t* mac6) const {
  const auto it = recordOfDevice_.find(MacKey(mac6));
  return it == recordOfDevice_.end() ? Origin{} : recordOrigins_[it->second];
}

CDeviceSocket::Link CDeviceSocket::LinkOfDevice(const uint8_t* mac6) const {
  const auto it = recordOfDevice_.find(MacKey(mac6));
  return it == recordOfDevice_.end() ? Link{} : recordLinks_[it->second];
}

int32_t CDeviceSocket::SetNetworkParameters(const SetNetworkRequest& request, const std::vector<uint32_t>& alsoTo) {
  const auto payload = request.Encode();
  const std::vector<uint8_t> message = BuildRequest(OP_SET_NETWORK, payload.data(), payload.size());
  const int32_t sent = SendRequest(BROADCAST_ADDRESS, message.data(), message.size());
  if (sent != 0) return sent;
  // The device may sit behind a router, where no limited broadcast reaches
  // it; a copy that cannot leave is no failure while the broadcast did.
  for (uint32_t to : alsoTo) socket_.Raw().SendTo(message.data(), message.size(), {to, DEVICE_PORT});

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
