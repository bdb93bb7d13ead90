#pragma once
// Plain rules of setting a device's network parameters: the request that
// goes out and the octet field rules of the address entry control.
#include <cstdint>
#include <string>

#include "explorer/protocol/DeviceMessages.h"

constexpr int SET_NETWORK_BUSY_MS = 4000;
constexpr size_t MAX_NETWORK_PASSWORD = SetNetworkRequest::MAX_PASSWORD;  // 31
constexpr const char* SET_NETWORK_FAILED_CAPTION = "Unable to update network parameters:";
constexpr const char* NETWORK_DIALOG_TITLE = "IP Address and Netmask needed";

// Values of the network parameters dialog (addresses in network byte order).
struct NetworkDialogData {
  uint32_t ip = 0;
  uint32_t mask = 0;
  std::string password;  // at most 31 characters
};

// The dialog's label of the mask field, also the field a mask error names.
constexpr const char* NETWORK_MASK_LABEL = "Network Mask:";

// A mask a device can take: ones from the top, then zeros, with at least
// one (255.255.252.0, not 255.0.255.0). 0.0.0.0 is refused too: it puts
// the device in no network, and the devices refuse it anyway.
bool IsValidNetworkMask(uint32_t maskNetOrder);
// "255.0.255.0 is not a valid network mask: ..." with the rule and an
// example, for the field or option that holds it.
std::string InvalidMaskText(uint32_t maskNetOrder);
// The window's box for such a mask: NETWORK_MASK_LABEL, then the text above.
std::string MaskFieldErrorText(uint32_t maskNetOrder);

// "Updating the " + device name + "'s network parameters"
std::string SetNetworkStatusText(const std::string& deviceName);

// The device is picked by its Ethernet address and kind; address, mask and
// password come from the dialog (the password cut to 31 characters).
SetNetworkRequest FillSetNetworkRequest(const DeviceRecord& record, const NetworkDialogData& data);

// Octet field rules.
constexpr int OCTET_TEXT_LIMIT = 3;
constexpr int OCTET_MAX = 255;

// Value of an octet text: its leading digits, empty text is 0; saturates
// instead of overflowing on long digit runs.
int OctetNumber(const std::string& text);

struct OctetEdit {
  bool invalid = false;     // show the invalid-entry box with `boxText`
  std::string boxText;      // "300 is an invalid entry. Please specify a number between 0 and 255."
  std::string text;         // the text the field keeps
  bool moveNext = false;    // jump to the next field with its text selected
  uint8_t value = 0;        // the field's value afterwards
};
// What happens after the user changed a field's text to `typed`.
OctetEdit ApplyOctetEdit(const std::string& typed);

// Only digits, backspace and tab are accepted as typed characters.
bool IsOctetCharacter(char32_t c);

// Byte i of the network-order value is the value of octet field i.
uint8_t OctetOf(uint32_t ipNetOrder, int index);
uint32_t WithOctet(uint32_t ipNetOrder, int index, uint8_t value);
