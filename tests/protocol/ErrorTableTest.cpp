#include <gtest/gtest.h>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"

TEST(ErrorText, KnownCodes) {
  EXPECT_EQ(ErrorText(0), "No Error");
  EXPECT_EQ(ErrorText(404), "Configuration file not found");
  EXPECT_EQ(ErrorText(5344), "Cannot update the configuration when a test release is active");
  EXPECT_EQ(ErrorText(1), "Out of memory");
  EXPECT_EQ(ErrorText(2), "Out of buffer space");
  EXPECT_EQ(ErrorText(3), "Unable to send UDP request");
  EXPECT_EQ(ErrorText(ERR_INVALID_BUFFER_SIZE), "Invalid buffer size");
  EXPECT_EQ(ErrorText(ERR_RECEIVE_TIMEOUT), "Receive timeout");
  EXPECT_EQ(ErrorText(4993), "Invalid message version");
  EXPECT_EQ(ErrorText(4994), "Invalid buffer length");
  EXPECT_EQ(ErrorText(4995), "Invalid operation");
  EXPECT_EQ(ErrorText(4996), "Quillbox has no network adapters");
  EXPECT_EQ(ErrorText(4997), "Invalid interface");
  EXPECT_EQ(ErrorText(ERR_INVALID_PHYSICAL_ADDRESS), "Invalid physical address");
  EXPECT_EQ(ErrorText(ERR_INVALID_PASSWORD), "Invalid password");
  EXPECT_EQ(ErrorText(ERR_CANNOT_SET_IP), "Cannot set specified IP Address");
  EXPECT_EQ(ErrorText(ERR_CANNOT_SET_MASK), "Cannot set specified Network Mask");
  EXPECT_EQ(ErrorText(ERR_UPGRADE_FUNCTION_NOT_FOUND), "Upgrade function not found in QUILLBOX.DLL");
  EXPECT_EQ(ErrorText(ERR_LIBRARY_NOT_FOUND), "QUILLBOX.DLL not found");
  EXPECT_EQ(ErrorText(ERR_FTP_UPGRADE_NOT_SUPPORTED), "FTP Upgrade not supported by firmware");
}

TEST(ErrorText, UnknownCodesGetTheDefaultWithTwoBlanks) {
  EXPECT_EQ(ErrorText(999), "Unknown Error:  0x3E7");
  EXPECT_EQ(ErrorText(-2), "Unknown Error:  0xFFFFFFFE");
  EXPECT_EQ(ErrorText(INT32_MIN), "Unknown Error:  0x80000000");
  EXPECT_EQ(ErrorText(5001), "Unknown Error:  0x1389");
  EXPECT_EQ(ErrorText(200), "Unknown Error:  0xC8");
  EXPECT_EQ(ErrorText(-1), "Unknown error");
}

TEST(ErrorText, RepeatedLookupsKeepTheComposedTexts) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ErrorText(0x2001), "QUILLBOX.DLL not found");
    EXPECT_EQ(ErrorText(0x2000), "Upgrade function not found in QUILLBOX.DLL");
  }
}
