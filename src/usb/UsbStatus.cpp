#include "usb/UsbStatus.h"

#include "usb/USBDevice.h"

namespace quorvel {

namespace {

// libusb's error codes by value; this library does not link libusb.
const char* statusName(int32_t status) {
    switch (status) {
    case -1: return "LIBUSB_ERROR_IO";
    case -2: return "LIBUSB_ERROR_INVALID_PARAM";
    case -3: return "LIBUSB_ERROR_ACCESS";
    case -4: return "LIBUSB_ERROR_NO_DEVICE";
    case -5: return "LIBUSB_ERROR_NOT_FOUND";
    case -6: return "LIBUSB_ERROR_BUSY";
    case -7: return "LIBUSB_ERROR_TIMEOUT";
    case -8: return "LIBUSB_ERROR_OVERFLOW";
    case -9: return "LIBUSB_ERROR_PIPE";
    case -10: return "LIBUSB_ERROR_INTERRUPTED";
    case -11: return "LIBUSB_ERROR_NO_MEM";
    case -12: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case -99: return "LIBUSB_ERROR_OTHER";
    case kShortOutTransfer: return "SHORT_OUT_TRANSFER";
    default: return nullptr;
    }
}

}  // namespace

std::string usbStatusText(int32_t status) {
    const char* name = statusName(status);
    if (name == nullptr) return "status " + std::to_string(status);
    return std::string(name) + " (" + std::to_string(status) + ")";
}

}  // namespace quorvel
