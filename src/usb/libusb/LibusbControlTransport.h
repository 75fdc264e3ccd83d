// The control endpoint of one opened device, over libusb.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "usb/USBDevice.h"

struct libusb_device_handle;

namespace quorvel {

// An open libusb device handle that can be closed under the feet of its
// users: transfers hold it shared, close() waits for them and makes later
// ones fail with LIBUSB_ERROR_NO_DEVICE.
class LibusbDeviceHandle {
public:
    explicit LibusbDeviceHandle(libusb_device_handle* handle) : handle_(handle) {}
    ~LibusbDeviceHandle() { close(); }
    LibusbDeviceHandle(const LibusbDeviceHandle&) = delete;
    LibusbDeviceHandle& operator=(const LibusbDeviceHandle&) = delete;

    template <class F>
    int run(F&& operation) {
        std::shared_lock lock(mutex_);
        if (!handle_) return kClosed;
        return operation(handle_);
    }
    void close();

    static const int kClosed;  // LIBUSB_ERROR_NO_DEVICE

private:
    std::shared_mutex mutex_;
    libusb_device_handle* handle_;
};

class LibusbControlTransport : public ControlTransport {
public:
    // Long enough for the slowest request (a flash erase); a dead device
    // fails instead of hanging the caller.
    static constexpr std::chrono::milliseconds kDefaultTimeout{15000};

    explicit LibusbControlTransport(std::shared_ptr<LibusbDeviceHandle> handle,
                                    std::chrono::milliseconds timeout = kDefaultTimeout);

    // libusb_control_transfer with the five setup values and `data` as the
    // data stage; 0 on success, else the negative libusb code
    // (LIBUSB_ERROR_INVALID_PARAM when `data` is shorter than wLength).
    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override;

    void setTimeout(std::chrono::milliseconds timeout) { timeoutMs_ = clamp(timeout); }
    std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeoutMs_.load()); }

private:
    static unsigned clamp(std::chrono::milliseconds timeout);

    std::shared_ptr<LibusbDeviceHandle> handle_;
    std::atomic<unsigned> timeoutMs_;
};

}  // namespace quorvel
