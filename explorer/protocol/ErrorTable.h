#pragma once
#include <cstdint>
#include <string>

// The single way to turn an error code of the program (transport, device
// status, HTTP status, library binding) into its message text.
std::string ErrorText(int32_t code);
