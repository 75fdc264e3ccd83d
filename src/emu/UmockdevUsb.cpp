#include "emu/UmockdevUsb.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <vector>

#include "emu/UmockdevSupport.h"
#include "model/Hex.h"

namespace quorvel::emu {

namespace {

constexpr uint8_t kProductStringIndex = 1;

std::string hexOf(const std::vector<uint8_t>& bytes) { return hexBytes(bytes, {}, HexCase::lower); }

std::string threeDigits(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%03u", value);
    return buffer;
}

// The standard GET_DESCRIPTOR(STRING) requests, answered from the device's
// description; -1 when the request is not one of them.
int32_t answerStringDescriptor(const UsbDeviceSpec& spec, const ControlSetup& setup, std::span<uint8_t> data) {
    if (setup.bmRequestType != 0x80 || setup.bRequest != 0x06 || (setup.wValue >> 8) != 0x03) return -1;
    std::vector<uint8_t> descriptor;
    const unsigned index = setup.wValue & 0xFF;
    if (index == 0) {
        descriptor = {4, 3, 0x09, 0x04};  // English (US)
    } else if (index == kProductStringIndex && !spec.product.empty()) {
        descriptor = {0, 3};
        for (char c : spec.product) {
            descriptor.push_back(static_cast<uint8_t>(c));
            descriptor.push_back(0);
        }
        descriptor[0] = static_cast<uint8_t>(std::min<size_t>(descriptor.size(), 254));
        descriptor.resize(descriptor[0]);
    } else {
        return -EPIPE;  // no such string: the device stalls
    }
    const size_t n = std::min(descriptor.size(), data.size());
    std::copy_n(descriptor.begin(), n, data.begin());
    return static_cast<int32_t>(n);
}

}  // namespace

std::string usbDescriptorsHex(const UsbDeviceSpec& spec);

namespace {
std::string usbDeviceRecord(const std::string& devPath, const UsbDeviceSpec& spec) {
    const std::string bus = threeDigits(spec.bus);
    const std::string address = threeDigits(spec.address);
    return "P: " + devPath + "\n"
           "N: bus/usb/" + bus + "/" + address + "\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DEVNAME=/dev/bus/usb/" + bus + "/" + address + "\n"
           "E: BUSNUM=" + bus + "\n"
           "E: DEVNUM=" + address + "\n"
           "A: busnum=" + std::to_string(spec.bus) + "\\n\n"
           "A: devnum=" + std::to_string(spec.address) + "\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "A: speed=480\\n\n"
           "H: descriptors=" + usbDescriptorsHex(spec) + "\n";
}
}  // namespace

std::string usbDescriptorsHex(const UsbDeviceSpec& spec) {
    const uint8_t iProduct = spec.product.empty() ? 0 : kProductStringIndex;
    const std::vector<uint8_t> bytes = {
        // device: USB 2.0, vendor class, 64-byte endpoint 0, one configuration
        18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64,
        static_cast<uint8_t>(spec.vendorId), static_cast<uint8_t>(spec.vendorId >> 8),
        static_cast<uint8_t>(spec.productId), static_cast<uint8_t>(spec.productId >> 8),
        0x00, 0x01, 0, iProduct, 0, 1,
        // configuration: one interface, bus powered, 100 mA
        9, 2, 18, 0, 1, 1, 0, 0x80, 50,
        // interface 0: no endpoints besides endpoint 0, vendor class
        9, 4, 0, 0, 0, 0xFF, 0x00, 0x00, 0};
    return hexOf(bytes);
}

struct UmockdevUsbBed::Node {
    struct Urb {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        int status = 0;
        int actual = 0;
    };
    struct Client {
        int generation = -1;  // attachment it opened; -1: opened while unplugged
        std::deque<Urb> done;
        std::vector<Urb> flying;
    };

    std::string devNode;  // /dev/bus/usb/BBB/DDD
    std::string devPath;  // /devices/usbB-D
    UMockdevIoctlBase* ioctl = nullptr;

    std::mutex mutex;
    int generation = 0;
    bool present = false;  // plugged and answering
    UsbDeviceSpec spec;
    UsbControlHandler handler;
    std::map<UMockdevIoctlClient*, Client> clients;  // each holds a reference
    UsbNodeCounters counters;
    std::chrono::steady_clock::time_point lastActivity;

    ~Node() {
        if (ioctl) g_signal_handlers_disconnect_by_data(ioctl, this);
        std::lock_guard lock(mutex);  // the last ioctl ran on umockdev's thread
        for (auto& [client, state] : clients) {
            for (auto& urb : state.done) release(urb);
            for (auto& urb : state.flying) release(urb);
            g_object_unref(client);
        }
        if (ioctl) g_object_unref(ioctl);
    }

    static void release(Urb& urb) {
        if (urb.buffer) umockdev_ioctl_data_unref(urb.buffer);
        if (urb.urb) umockdev_ioctl_data_unref(urb.urb);
        urb.buffer = urb.urb = nullptr;
    }

    // Makes umockdev write the block back to the client when the current
    // ioctl completes, although it was loaded by an earlier one.
    static void markDirty(UMockdevIoctlData* data) {
        std::vector<uint8_t> copy(data->data, data->data + data->data_len);
        umockdev_ioctl_data_update(data, 0, copy.data(), static_cast<gint>(copy.size()));
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<Node*>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock lock(mutex);
        auto [it, inserted] = clients.try_emplace(client);
        if (inserted) {
            g_object_ref(client);
            it->second.generation = present ? generation : -1;
        }
        Client& state = it->second;
        const bool alive = present && state.generation == generation;

        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            if (!alive) return fail(client, ENODEV);
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            if (!caps) return fail(client, EFAULT);
            const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            std::copy_n(reinterpret_cast<const uint8_t*>(&value), sizeof value, caps->data);
            umockdev_ioctl_data_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER:
            return fail(client, alive ? ENODATA : ENODEV);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
            if (!alive) return fail(client, ENODEV);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg, state, alive, lock);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg, state, alive, lock);
        case USBDEVFS_DISCARDURB: {
            const unsigned long address = arg->data_len >= static_cast<gint>(sizeof(void*))
                                              ? *reinterpret_cast<const unsigned long*>(arg->data)
                                              : 0;
            auto urb = std::find_if(state.flying.begin(), state.flying.end(),
                                    [&](const Urb& u) { return u.urb->client_addr == address; });
            if (urb == state.flying.end()) return fail(client, EINVAL);
            urb->status = -ENOENT;
            urb->actual = 0;
            state.done.push_back(*urb);
            state.flying.erase(urb);
            ++counters.discarded;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        default:
            return fail(client, alive ? ENOTTY : ENODEV);
        }
    }

    static gboolean fail(UMockdevIoctlClient* client, int error) {
        umockdev_ioctl_client_complete(client, -1, error);
        return TRUE;
    }

    gboolean submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Client& state, bool alive,
                    std::unique_lock<std::mutex>& lock) {
        if (!alive) return fail(client, ENODEV);
        Urb urb;
        urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!urb.urb) return fail(client, EFAULT);
        auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
        if (raw->type != USBDEVFS_URB_TYPE_CONTROL || raw->buffer_length < 8) {
            release(urb);
            return fail(client, EINVAL);
        }
        const size_t length = static_cast<size_t>(raw->buffer_length);
        urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer), length, nullptr);
        if (!urb.buffer) {
            release(urb);
            return fail(client, EFAULT);
        }
        const uint8_t* s = urb.buffer->data;
        ControlSetup setup;
        setup.bmRequestType = s[0];
        setup.bRequest = s[1];
        setup.wValue = static_cast<uint16_t>(s[2] | (s[3] << 8));
        setup.wIndex = static_cast<uint16_t>(s[4] | (s[5] << 8));
        setup.wLength = static_cast<uint16_t>(s[6] | (s[7] << 8));
        std::span<uint8_t> data(urb.buffer->data + 8, std::min<size_t>(setup.wLength, length - 8));

        ++counters.submitted;
        lastActivity = std::chrono::steady_clock::now();
        const UsbDeviceSpec deviceSpec = spec;
        const UsbControlHandler control = handler;
        lock.unlock();  // the handler may call back into the bed
        int32_t r = answerStringDescriptor(deviceSpec, setup, data);
        if (r == -1) r = control ? control(setup, data) : -EPIPE;
        lock.lock();

        if (r == -ENODEV) {
            release(urb);
            return fail(client, ENODEV);
        }
        if (r == kUrbNoReply) {
            state.flying.push_back(urb);
        } else {
            urb.status = r < 0 ? r : 0;
            urb.actual = r < 0 ? 0 : std::min(r, static_cast<int32_t>(data.size()));
            state.done.push_back(urb);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    gboolean reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Client& state, bool alive,
                  std::unique_lock<std::mutex>& lock) {
        if (state.done.empty()) {
            // libusb reaps whenever the node (a socket, always writable)
            // polls ready: once nothing has moved for a few milliseconds,
            // slow the empty answers down to keep the CPU quiet.
            const auto idle = std::chrono::steady_clock::now() - lastActivity;
            lock.unlock();
            if (idle > std::chrono::milliseconds(5)) g_usleep(1000);
            return fail(client, alive ? EAGAIN : ENODEV);
        }
        Urb urb = state.done.front();
        state.done.pop_front();
        lastActivity = std::chrono::steady_clock::now();
        auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
        raw->status = urb.status;
        raw->actual_length = urb.actual;
        markDirty(urb.buffer);
        markDirty(urb.urb);
        UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (!pointer) {
            release(urb);
            return fail(client, EFAULT);
        }
        umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
        umockdev_ioctl_data_unref(pointer);
        release(urb);  // the reap's argument holds the URB until it completes
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
};

UmockdevUsbBed::UmockdevUsbBed() : testbed_(umockdev::newTestbed()) {}

UmockdevUsbBed::~UmockdevUsbBed() {
    for (auto& [key, node] : nodes_) umockdev_testbed_detach_ioctl(testbed_, node->devNode.c_str(), nullptr);
    nodes_.clear();
    g_object_unref(testbed_);
}

bool UmockdevUsbBed::inMockEnvironment() { return umockdev::inMockEnvironment(); }

std::string UmockdevUsbBed::rootDir() const { return umockdev::rootDir(testbed_); }

UmockdevUsbBed::Node& UmockdevUsbBed::node(uint8_t bus, uint8_t address) {
    std::lock_guard lock(mutex_);
    auto& slot = nodes_[{bus, address}];
    if (!slot) {
        slot = std::make_unique<Node>();
        slot->devNode = "/dev/bus/usb/" + threeDigits(bus) + "/" + threeDigits(address);
        slot->devPath = "/devices/usb" + std::to_string(bus) + "-" + std::to_string(address);
        slot->ioctl = umockdev_ioctl_base_new();
        g_signal_connect(slot->ioctl, "handle-ioctl", G_CALLBACK(&Node::onIoctl), slot.get());
        umockdev::attachHandler(testbed_, slot->devNode, slot->ioctl,
                                "cannot attach the ioctl handler of " + slot->devNode);
    }
    return *slot;
}

void UmockdevUsbBed::plug(const UsbDeviceSpec& spec, UsbControlHandler handler) {
    Node& n = node(spec.bus, spec.address);
    {
        std::lock_guard lock(n.mutex);
        if (n.present) throw std::logic_error("device " + n.devNode + " is already plugged");
        ++n.generation;
        n.present = true;
        n.spec = spec;
        n.handler = std::move(handler);
        n.lastActivity = std::chrono::steady_clock::now();
    }
    if (!spec.ports.empty()) {
        addHubs(spec.bus, spec.ports);
        std::string path = "/devices/usb" + std::to_string(spec.bus), name = std::to_string(spec.bus) + "-";
        for (size_t i = 0; i < spec.ports.size(); ++i) {
            name += (i ? "." : "") + std::to_string(spec.ports[i]);
            path += "/" + name;
        }
        std::lock_guard lock(n.mutex);
        n.devPath = path;
    }
    umockdev::addRecord(testbed_, usbDeviceRecord(n.devPath, spec), "cannot add " + n.devPath);
    // Adding from a record sends no uevent of its own; a running libusb
    // learns of the device from this one.
    umockdev_testbed_uevent(testbed_, ("/sys" + n.devPath).c_str(), "add");
}

// The root hub and every hub between it and the port, so that libusb can
// walk a device's parents to its port path.
void UmockdevUsbBed::addHubs(uint8_t bus, const std::vector<uint8_t>& ports) {
    std::string path = "/devices/usb" + std::to_string(bus), name = std::to_string(bus) + "-";
    for (size_t depth = 0; depth < ports.size(); ++depth) {
        UsbDeviceSpec hub;
        hub.bus = bus;
        hub.vendorId = 0x1D6B;  // Linux Foundation root hub
        hub.productId = 0x0002;
        bool added = false;
        {
            std::lock_guard lock(mutex_);
            added = hubs_.insert(path).second;
            hub.address = depth == 0 ? 1 : nextHubAddress_++;
        }
        if (added) {
            umockdev::addRecord(testbed_, usbDeviceRecord(path, hub), "cannot add " + path);
            umockdev_testbed_uevent(testbed_, ("/sys" + path).c_str(), "add");
        }
        name += (depth ? "." : "") + std::to_string(ports[depth]);
        path += "/" + name;
    }
}

void UmockdevUsbBed::unplug(uint8_t bus, uint8_t address) {
    Node& n = node(bus, address);
    const std::string sysPath = "/sys" + n.devPath;
    umockdev_testbed_uevent(testbed_, sysPath.c_str(), "remove");
    {
        std::lock_guard lock(n.mutex);
        n.present = false;
    }
    umockdev_testbed_remove_device(testbed_, sysPath.c_str());
}

void UmockdevUsbBed::vanish(uint8_t bus, uint8_t address) {
    Node& n = node(bus, address);
    std::lock_guard lock(n.mutex);
    n.present = false;
}

UsbNodeCounters UmockdevUsbBed::counters(uint8_t bus, uint8_t address) {
    Node& n = node(bus, address);
    std::lock_guard lock(n.mutex);
    return n.counters;
}

}  // namespace quorvel::emu
