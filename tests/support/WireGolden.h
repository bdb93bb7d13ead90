#pragma once
// Datagrams of the UDP device protocol written out byte by byte, the same
// for the explorer's tests and the simulator's. They are typed in here by
// hand and never produced by either encoder, so both sides are held to the
// documented wire and not to each other.
#include <array>
#include <cstdint>

namespace golden {

constexpr uint16_t DEVICE_PORT = 8375;

// The discovery request: version 2, status 0, operation 1, length 0.
constexpr std::array<uint8_t, 16> DISCOVERY_REQUEST = {
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// A discovery answer: header (version 2, status 0, operation 1, length 16),
// then the record of device 00:50:C2:1A:2B:3C, kind 0x31,
// 192.168.1.20 / 255.255.240.0.
constexpr std::array<uint8_t, 32> DISCOVERY_REPLY = {
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // version, status
    0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // operation, length
    0x00, 0x50, 0xC2, 0x1A, 0x2B, 0x3C, 0x31, 0x00,  // mac, kind
    0xC0, 0xA8, 0x01, 0x14, 0xFF, 0xFF, 0xF0, 0x00,  // ip, mask
};
constexpr std::array<uint8_t, 6> REPLY_MAC = {0x00, 0x50, 0xC2, 0x1A, 0x2B, 0x3C};
constexpr uint16_t REPLY_KIND = 0x31;
constexpr const char* REPLY_IP = "192.168.1.20";
constexpr const char* REPLY_MASK = "255.255.240.0";

// A set-network request: header (version 2, status 0, operation 2,
// length 48), then device 00:50:C2:1A:2B:3C of kind 0x10 is to take
// 10.0.0.5 / 255.255.0.0, password "admin" padded with zeros.
constexpr std::array<uint8_t, 64> SET_NETWORK_REQUEST = {
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // version, status
    0x02, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00,  // operation, length
    0x00, 0x50, 0xC2, 0x1A, 0x2B, 0x3C, 0x10, 0x00,  // mac, kind
    0x0A, 0x00, 0x00, 0x05, 0xFF, 0xFF, 0x00, 0x00,  // ip, mask
    'a',  'd',  'm',  'i',  'n',  0x00, 0x00, 0x00,  // password
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
constexpr std::array<uint8_t, 6> SET_MAC = {0x00, 0x50, 0xC2, 0x1A, 0x2B, 0x3C};
constexpr uint16_t SET_KIND = 0x10;
constexpr const char* SET_IP = "10.0.0.5";
constexpr const char* SET_MASK = "255.255.0.0";
constexpr const char* SET_PASSWORD = "admin";

// The only kinds a discovery answer may carry to be listed.
constexpr std::array<uint16_t, 11> ACCEPTED_KINDS = {0, 1, 2, 3, 4, 0x10, 0x11, 0x12, 0x13, 0x30, 0x31};
constexpr uint16_t REJECTED_KIND = 5;

}  // namespace golden
