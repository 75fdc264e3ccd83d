// The name of a failed control transfer's status, for diagnostic lines: the
// platform's codes (libusb's values, which are fixed) and our own.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// "LIBUSB_ERROR_PIPE (-9)", "SHORT_OUT_TRANSFER (-1001)", "status -42".
std::string usbStatusText(int32_t status);

}  // namespace quorvel
