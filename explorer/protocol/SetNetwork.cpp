#include "explorer/protocol/SetNetwork.h"

#include <arpa/inet.h>

#include <cstring>

std::string SetNetworkStatusText(const std::string& deviceName) {
  return "Updating the " + deviceName + "'s network parameters";
}

bool IsValidNetworkMask(uint32_t maskNetOrder) {
  const uint32_t m = ntohl(maskNetOrder);
  // Ones from the top: the complement is a run of ones from the bottom,
  // which adding one clears entirely.
  const uint32_t zeros = ~m;
  return m != 0 && (zeros & (zeros + 1)) == 0;
}

std::string InvalidMaskText(uint32_t maskNetOrder) {
  return FormatIp(maskNetOrder) +
         " is not a valid network mask: a mask is ones from the left, then zeros, as in "
         "255.255.255.0";
}

std::string MaskFieldErrorText(uint32_t maskNetOrder) {
  return std::string(NETWORK_MASK_LABEL) + " " + InvalidMaskText(maskNetOrder);
}

SetNetworkRequest FillSetNetworkRequest(const DeviceRecord& record, const NetworkDialogData& data) {
  SetNetworkRequest req;
  std::memcpy(req.mac.data(), record.mac(), req.mac.size());
  req.kind = record.kind();
  req.ip = data.ip;
  req.mask = data.mask;
  req.password = data.password.substr(0, MAX_NETWORK_PASSWORD);
  return req;
}

int OctetNumber(const std::string& text) {
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 99999) break;  // far above 255 already; no overflow on pasted runs
  }
  return n;
}

OctetEdit ApplyOctetEdit(const std::string& typed) {
  OctetEdit e;
  e.text = typed;
  if (OctetNumber(typed) > OCTET_MAX) {
    e.invalid = true;
    e.boxText = typed + " is an invalid entry. Please specify a number between 0 and " +
                std::to_string(OCTET_MAX) + ".";
    // Dropping the first character keeps what was typed last.
    e.text = typed.substr(1);
    // A pasted run may still be too large after one character is gone.
    while (OctetNumber(e.text) > OCTET_MAX) e.text = e.text.substr(1);
  } else if (static_cast<int>(typed.size()) == OCTET_TEXT_LIMIT) {
    e.moveNext = true;
  }
  e.value = static_cast<uint8_t>(OctetNumber(e.text));
  return e;
}

bool IsOctetCharacter(char32_t c) { return (c >= U'0' && c <= U'9') || c == U'\b' || c == U'\t'; }

uint8_t OctetOf(uint32_t ipNetOrder, int index) {
  uint8_t bytes[4];
  std::memcpy(bytes, &ipNetOrder, 4);
  return bytes[index & 3];
}

uint32_t WithOctet(uint32_t ipNetOrder, int index, uint8_t value) {
  uint8_t bytes[4];
  std::memcpy(bytes, &ipNetOrder, 4);
  bytes[index & 3] = value;
  uint32_t out;
  std::memcpy(&out, bytes, 4);
  return out;
}
