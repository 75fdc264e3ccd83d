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
#include <map>
#include <memory>
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
    return "P: " + devPath +
           "\n"
           "N: bus/usb/" +
           bus + "/" + address +
           "\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DEVNAME=/dev/bus/usb/" +
           bus + "/" + address +
           "\n"
           "E: BUSNUM=" +
           bus +
           "\n"
           "E: DEVNUM=" +
           address +
           "\n"
           "A: busnum=" +
           std::to_string(spec.bus) +
           "\\n\n"
           "A: devnum=" +
           std::to_string(spec.address) +
           "\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "A: speed=480\\n\n"
           "H: descriptors=" +
           usbDescriptorsHex(spec) + "\n";
}
}  // namespace

std::string usbDescriptorsHex(const UsbDeviceSpec& spec) {
    const uint8_t iProduct = spec.product.empty() ? 0 : kProductStringIndex;
    const std::vector<uint8_t> bytes = {// device: USB 2.0, vendor class, 64-byte endpoint 0, one configuration
                                        18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, static_cast<uint8_t>(spec.vendorId),
                                        static_cast<uint8_t>(spec.vendorId >> 8), static_cast<uint8_t>(spec.productId),
                                        static_cast<uint8_t>(spec.productId >> 8), 0x00, 0x01, 0, iProduct, 0, 1,
                                        // configuration: one interface, bus powered, 100 mA
                                        9, 2, 18, 0, 1, 1, 0, 0x80, 50,
                                        // interface 0: no endpoints besides endpoint 0, vendor class
                                        9, 4, 0, 0, 0, 0xFF, 0x00, 0x00, 0};
    return hexOf(bytes);
}

// libusb waits for a usbfs node to poll ready and then reaps it until it is
// empty. The emulated node is a socket, always ready, so a client's event
// loop never sleeps: it reaps every open node round after round. Once a
// loop has seen nothing move for a few milliseconds, its empty reaps are
// answered late (1 ms), which keeps an idle program's CPU low. The answer
// is held by a timer on the serving thread's main context, never by
// sleeping there: that thread serves every node of every program, and a
// sleep would hold up the chips that are busy.
//
// A loop is named by the address the reap passes: libusb reaps every open
// handle of a context from one thread, into the same variable on that
// thread's stack. A URB submitted to a node makes brisk every loop that
// reaps that node, for all the nodes it reaps: a program talking to one of
// its sixteen open chips is not slowed by a late answer from each of the
// fifteen others per round, while another program idling meanwhile stays
// paced.
class UmockdevUsbBed::ReapPacing {
public:
    using Loop = unsigned long;
    using Clock = std::chrono::steady_clock;
    static constexpr auto kIdleAfter = std::chrono::milliseconds(5);
    static constexpr guint kLateAnswerMs = 1;

    // A URB was submitted to a node these loops reap.
    void submitted(const std::vector<Loop>& reapers) {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (Loop loop : reapers) moved_[loop] = now;
    }

    // A reap by `loop`; `took` whether it took a URB. True when an empty
    // reap is to be answered late: neither the loop nor the node (`nodeMoved`)
    // has seen anything move lately.
    bool reaped(Loop loop, bool took, Clock::time_point nodeMoved) {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        auto& moved = moved_[loop];
        if (took) moved = now;
        const bool late = !took && now - std::max(moved, nodeMoved) > kIdleAfter;
        if (moved_.size() > kMaxLoops) forgetStale(now);  // may drop `moved`
        return late;
    }

    // Completes the reap of `client` with `error` after kLateAnswerMs, from
    // the serving thread's main context; at once where there is none.
    static void answerLate(UMockdevIoctlClient* client, int error) {
        GMainContext* context = g_main_context_get_thread_default();
        if (!context) {
            umockdev_ioctl_client_complete(client, -1, error);
            return;
        }
        GSource* timer = g_timeout_source_new(kLateAnswerMs);
        g_source_set_callback(timer, &LateAnswer::fire, new LateAnswer{g_object_ref(client), error},
                              &LateAnswer::destroy);
        g_source_attach(timer, context);
        g_source_unref(timer);
    }

private:
    static constexpr size_t kMaxLoops = 64;

    struct LateAnswer {
        UMockdevIoctlClient* client;
        int error;
        static gboolean fire(gpointer data) {
            auto* self = static_cast<LateAnswer*>(data);
            // A client that closed its node meanwhile waits for nothing.
            if (umockdev_ioctl_client_get_connected(self->client))
                umockdev_ioctl_client_complete(self->client, -1, self->error);
            return G_SOURCE_REMOVE;
        }
        static void destroy(gpointer data) {
            auto* self = static_cast<LateAnswer*>(data);
            g_object_unref(self->client);
            delete self;
        }
    };

    void forgetStale(Clock::time_point now) {
        std::erase_if(moved_, [&](const auto& entry) { return now - entry.second > std::chrono::seconds(1); });
    }

    std::mutex mutex_;
    std::map<Loop, Clock::time_point> moved_;
};

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

    static constexpr size_t kRemembered = 4;

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
    std::shared_ptr<ReapPacing> pacing;
    std::vector<ReapPacing::Loop> reapers;  // the loops that reaped this node lately, newest last

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
        case USBDEVFS_GETDRIVER: return fail(client, alive ? ENODATA : ENODEV);
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
        case USBDEVFS_SUBMITURB: return submit(client, arg, state, alive, lock);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return reap(client, arg, state, alive, lock);
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
        default: return fail(client, alive ? ENOTTY : ENODEV);
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
        pacing->submitted(reapers);
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
        const ReapPacing::Loop loop =
            arg->data_len >= static_cast<gint>(sizeof(void*)) ? *reinterpret_cast<const unsigned long*>(arg->data) : 0;
        if (std::find(reapers.begin(), reapers.end(), loop) == reapers.end()) {
            if (reapers.size() == kRemembered) reapers.erase(reapers.begin());
            reapers.push_back(loop);
        }
        const bool late = pacing->reaped(loop, !state.done.empty(), lastActivity);
        if (state.done.empty()) {
            lock.unlock();
            if (late) ReapPacing::answerLate(client, alive ? EAGAIN : ENODEV);
            else fail(client, alive ? EAGAIN : ENODEV);
            return TRUE;
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

UmockdevUsbBed::UmockdevUsbBed() : testbed_(umockdev::newTestbed()), pacing_(std::make_shared<ReapPacing>()) {}

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
        slot->pacing = pacing_;
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
