#include "usb/libusb/LibusbControlTransport.h"

#include <libusb.h>

#include <algorithm>

namespace quorvel {

const int LibusbDeviceHandle::kClosed = LIBUSB_ERROR_NO_DEVICE;

void LibusbDeviceHandle::close() {
    std::unique_lock lock(mutex_);
    if (handle_) libusb_close(handle_);
    handle_ = nullptr;
}

LibusbControlTransport::LibusbControlTransport(std::shared_ptr<LibusbDeviceHandle> handle,
                                               std::chrono::milliseconds timeout)
    : handle_(std::move(handle)), timeoutMs_(clamp(timeout)) {}

unsigned LibusbControlTransport::clamp(std::chrono::milliseconds timeout) {
    // libusb reads 0 as "no time-out": never let a request wait forever.
    const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, 3600 * 1000);
    return static_cast<unsigned>(ms);
}

int32_t LibusbControlTransport::controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) {
    if (data.size() < setup.wLength) return LIBUSB_ERROR_INVALID_PARAM;
    const unsigned timeout = timeoutMs_.load();
    return handle_->run([&](libusb_device_handle* handle) {
        const int r = libusb_control_transfer(handle, setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                              data.data(), setup.wLength, timeout);
        if (r < 0) return r;
        const bool out = (setup.bmRequestType & 0x80) == 0;
        return out && r < setup.wLength ? kShortOutTransfer : 0;
    });
}

}  // namespace quorvel
