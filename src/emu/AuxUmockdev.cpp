#include "emu/AuxUmockdev.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <stdexcept>

#include "emu/UmockdevSupport.h"
#include "model/Hex.h"

namespace quorvel::emu {

namespace {

// The first card where an integrated GPU sits, the second where a discrete
// one does; the SMBus controller of the chipset.
std::string cardPci(uint32_t card) {
    if (card == 0) return "/devices/pci0000:00/0000:00:02.0";
    char slot[64];
    std::snprintf(slot, sizeof slot, "/devices/pci0000:00/0000:%02x:00.0", card);
    return slot;
}
constexpr const char* kSmbusPci = "/devices/pci0000:00/0000:00:1f.4";
constexpr const char* kSlaveKey = "quorvel-i2c-slave";

std::string hexOf(const std::vector<uint8_t>& bytes) { return hexBytes(bytes); }

int errnoOf(I2CStatus status) { return status == I2CStatus::Nak ? ENXIO : EIO; }

}  // namespace

struct AuxUmockdevDisplays::Adapter {
    std::string devNode;
    std::map<uint8_t, size_t> messages;
    size_t transfers = 0;
    UMockdevIoctlBase* handler = nullptr;
    std::map<uint8_t, std::shared_ptr<I2CTarget>> targets;
    unsigned long functionality = 0;
    // Held by every handler on umockdev's thread, so that tearing down
    // waits for the last one (umockdev's own hand-over is invisible to TSan).
    std::mutex mutex;

    I2CTarget* target(unsigned address) const {
        auto it = targets.find(static_cast<uint8_t>(address));
        return it == targets.end() ? nullptr : it->second.get();
    }

    static unsigned slaveOf(UMockdevIoctlClient* client) {
        return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(client), kSlaveKey));
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* a = static_cast<Adapter*>(self);
        std::lock_guard lock(a->mutex);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        switch (umockdev_ioctl_client_get_request(client)) {
        case I2C_FUNCS: {
            UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned long), nullptr);
            if (!out) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            *reinterpret_cast<unsigned long*>(out->data) = a->functionality;
            umockdev_ioctl_client_complete(client, 0, 0);
            umockdev_ioctl_data_unref(out);
            return TRUE;
        }
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE: {
            const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
            if (address > 0x7F) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            g_object_set_data(G_OBJECT(client), kSlaveKey, GUINT_TO_POINTER(address + 1));
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case I2C_RDWR:
            ++a->transfers;
            a->rdwr(client, arg);
            return TRUE;
        default: umockdev_ioctl_client_complete(client, -1, ENOTTY); return TRUE;
        }
    }

    void rdwr(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        if (!(functionality & kI2CFuncI2C)) {
            umockdev_ioctl_client_complete(client, -1, EOPNOTSUPP);
            return;
        }
        UMockdevIoctlData* request = umockdev_ioctl_data_resolve(arg, 0, sizeof(i2c_rdwr_ioctl_data), nullptr);
        if (!request) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        const uint32_t count = reinterpret_cast<i2c_rdwr_ioctl_data*>(request->data)->nmsgs;
        if (count == 0 || count > I2C_RDWR_IOCTL_MAX_MSGS) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            umockdev_ioctl_data_unref(request);
            return;
        }
        UMockdevIoctlData* messages =
            umockdev_ioctl_data_resolve(request, offsetof(i2c_rdwr_ioctl_data, msgs), count * sizeof(i2c_msg), nullptr);
        long result = count;
        int error = 0;
        std::vector<UMockdevIoctlData*> buffers;
        for (uint32_t i = 0; messages && i < count && error == 0; ++i) {
            const i2c_msg m = reinterpret_cast<i2c_msg*>(messages->data)[i];
            UMockdevIoctlData* buffer =
                m.len ? umockdev_ioctl_data_resolve(messages, i * sizeof(i2c_msg) + offsetof(i2c_msg, buf), m.len,
                                                    nullptr)
                      : nullptr;
            if (buffer) buffers.push_back(buffer);
            ++this->messages[static_cast<uint8_t>(m.addr)];
            I2CTarget* t = target(m.addr);
            if (!t) {
                error = ENXIO;
                break;
            }
            std::span<uint8_t> bytes = buffer ? std::span<uint8_t>(buffer->data, m.len) : std::span<uint8_t>();
            if (m.len && !buffer) {
                error = EFAULT;
                break;
            }
            const I2CStatus status = (m.flags & I2C_M_RD) ? t->read(bytes) : t->write(bytes);
            if (status != I2CStatus::Ok) error = errnoOf(status);
        }
        if (!messages) error = EFAULT;
        if (error) result = -1;
        umockdev_ioctl_client_complete(client, result, error);
        for (auto* b : buffers) umockdev_ioctl_data_unref(b);
        if (messages) umockdev_ioctl_data_unref(messages);
        umockdev_ioctl_data_unref(request);
    }

    static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* a = static_cast<Adapter*>(self);
        std::lock_guard lock(a->mutex);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const unsigned slave = slaveOf(client);
        ++a->transfers;
        if (slave) ++a->messages[static_cast<uint8_t>(slave - 1)];
        I2CTarget* t = slave ? a->target(slave - 1) : nullptr;
        std::vector<uint8_t> bytes(static_cast<size_t>(arg->data_len));
        const I2CStatus status = t ? t->read(bytes) : I2CStatus::Nak;
        if (status != I2CStatus::Ok) {
            umockdev_ioctl_client_complete(client, -1, errnoOf(status));
            return TRUE;
        }
        umockdev_ioctl_data_update(arg, 0, bytes.data(), static_cast<gint>(bytes.size()));
        umockdev_ioctl_client_complete(client, static_cast<glong>(bytes.size()), 0);
        return TRUE;
    }

    static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* a = static_cast<Adapter*>(self);
        std::lock_guard lock(a->mutex);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const unsigned slave = slaveOf(client);
        ++a->transfers;
        if (slave) ++a->messages[static_cast<uint8_t>(slave - 1)];
        I2CTarget* t = slave ? a->target(slave - 1) : nullptr;
        const I2CStatus status = t ? t->write(std::span<const uint8_t>(arg->data, static_cast<size_t>(arg->data_len)))
                                   : I2CStatus::Nak;
        if (status != I2CStatus::Ok) umockdev_ioctl_client_complete(client, -1, errnoOf(status));
        else umockdev_ioctl_client_complete(client, arg->data_len, 0);
        return TRUE;
    }
};

AuxUmockdevDisplays::AuxUmockdevDisplays(UMockdevTestbed* testbed) : testbed_(testbed) {
    if (!testbed_) {
        testbed_ = umockdev::newTestbed();
        owned_ = true;
    }
}

AuxUmockdevDisplays::~AuxUmockdevDisplays() {
    for (auto& [bus, adapter] : adapters_) {
        umockdev_testbed_detach_ioctl(testbed_, adapter->devNode.c_str(), nullptr);
        g_signal_handlers_disconnect_by_data(adapter->handler, adapter.get());
        std::lock_guard lock(adapter->mutex);  // the last handler has returned
        g_object_unref(adapter->handler);
    }
    adapters_.clear();
    if (owned_) g_object_unref(testbed_);
}

bool AuxUmockdevDisplays::inMockEnvironment() { return umockdev::inMockEnvironment(); }

std::string AuxUmockdevDisplays::rootDir() const { return umockdev::rootDir(testbed_); }

void AuxUmockdevDisplays::addRecord(const std::string& record) {
    umockdev::addRecord(testbed_, record, "cannot add an emulated device");
}

std::string AuxUmockdevDisplays::ensureCard(uint32_t card) {
    const std::string pci = cardPci(card);
    if (cards_.insert(card).second) {
        addRecord("P: " + pci + "\nE: SUBSYSTEM=pci\nE: DRIVER=quorvel-gpu\nA: class=0x030000\n");
        const std::string n = std::to_string(card);
        addRecord("P: " + pci + "/drm/card" + n + "\nN: dri/card" + n +
                  "\nE: SUBSYSTEM=drm\nE: DEVTYPE=drm_minor\n"
                  "E: DEVNAME=/dev/dri/card" +
                  n + "\nA: dev=226:" + n + "\n");
    }
    return pci;
}

std::string AuxUmockdevDisplays::ensureSmbus() {
    if (!smbus_) {
        smbus_ = true;
        addRecord(std::string("P: ") + kSmbusPci + "\nE: SUBSYSTEM=pci\nE: DRIVER=i801_smbus\nA: class=0x0c0500\n");
    }
    return kSmbusPci;
}

void AuxUmockdevDisplays::addAdapter(uint32_t bus, std::map<uint8_t, std::shared_ptr<I2CTarget>> targets,
                                     unsigned long functionality) {
    AuxUmockdevBus b;
    b.number = bus;
    b.targets = std::move(targets);
    b.functionality = functionality;
    addBus(b);
}

bool AuxUmockdevDisplays::hasBus(uint32_t number) const {
    std::lock_guard lock(mutex_);
    return buses_.count(number) != 0;
}

void AuxUmockdevDisplays::addBus(const AuxUmockdevBus& b) {
    std::lock_guard lock(mutex_);
    std::string parent;
    switch (b.owner) {
    case AuxUmockdevBus::Owner::Card: parent = ensureCard(b.card); break;
    case AuxUmockdevBus::Owner::Connector:
        parent = ensureCard(b.card) + "/drm/card" + std::to_string(b.card) + "/" + b.connector;
        break;
    case AuxUmockdevBus::Owner::Smbus: parent = ensureSmbus(); break;
    }
    const std::string n = std::to_string(b.number);
    const std::string adapterPath = parent + "/i2c-" + n;
    addRecord("P: " + adapterPath + "\nE: SUBSYSTEM=i2c\nA: name=quorvel DDC " + n + "\n");
    buses_.insert(b.number);
    if (b.driver37) {
        char client[32];
        std::snprintf(client, sizeof client, "%u-0037", b.number);
        addRecord("P: " + adapterPath + "/" + client + "\nE: SUBSYSTEM=i2c\nE: DRIVER=" + *b.driver37 +
                  "\nA: name=" + *b.driver37 + "\nL: driver=../../../../../bus/i2c/drivers/" + *b.driver37 + "\n");
    }
    // Without i2c-dev the adapter is there, its node is not.
    if (!b.node) return;
    addRecord("P: " + adapterPath + "/i2c-dev/i2c-" + n + "\nN: i2c-" + n +
              "\nE: SUBSYSTEM=i2c-dev\nE: DEVNAME=/dev/i2c-" + n + "\nA: dev=89:" + n + "\nA: name=quorvel DDC " + n +
              "\n");
    auto adapter = std::make_unique<Adapter>();
    adapter->devNode = "/dev/i2c-" + n;
    adapter->targets = b.targets;
    adapter->functionality = b.functionality;
    adapter->handler = umockdev_ioctl_base_new();
    g_signal_connect(adapter->handler, "handle-ioctl", G_CALLBACK(&Adapter::onIoctl), adapter.get());
    g_signal_connect(adapter->handler, "handle-read", G_CALLBACK(&Adapter::onRead), adapter.get());
    g_signal_connect(adapter->handler, "handle-write", G_CALLBACK(&Adapter::onWrite), adapter.get());
    try {
        umockdev::attachHandler(testbed_, adapter->devNode, adapter->handler,
                                "cannot attach the I2C handler of " + adapter->devNode);
    } catch (...) {
        g_object_unref(adapter->handler);
        throw;
    }
    adapters_[b.number] = std::move(adapter);
}

size_t AuxUmockdevDisplays::transfers(uint32_t number) const {
    std::lock_guard lock(mutex_);
    auto it = adapters_.find(number);
    if (it == adapters_.end()) return 0;
    std::lock_guard adapterLock(it->second->mutex);
    return it->second->transfers;
}

std::map<uint8_t, size_t> AuxUmockdevDisplays::messages(uint32_t number) const {
    std::lock_guard lock(mutex_);
    auto it = adapters_.find(number);
    if (it == adapters_.end()) return {};
    std::lock_guard adapterLock(it->second->mutex);
    return it->second->messages;
}

void AuxUmockdevDisplays::addConnector(const AuxUmockdevConnector& c) {
    std::lock_guard lock(mutex_);
    const std::string card = std::to_string(c.card);
    const std::string name = "card" + card + "-" + c.type + "-" + std::to_string(c.index);
    const std::string path = ensureCard(c.card) + "/drm/card" + card + "/" + name;
    std::string record = "P: " + path +
                         "\nE: SUBSYSTEM=drm\nA: status=" + (c.connected ? "connected" : "disconnected") +
                         "\\n\nA: enabled=" + (c.connected ? "enabled" : "disabled") + "\\n\n";
    record += "H: edid=" + hexOf(c.edid) + "\n";
    if (c.connectorId) record += "A: connector_id=" + std::to_string(*c.connectorId) + "\\n\n";
    if (c.ddcBus)
        record += std::string("L: ddc=") + (c.ddcInOwnFolder ? "" : "../../../") + "i2c-" + std::to_string(*c.ddcBus) +
                  "\n";
    addRecord(record);
    if (c.backlight) addRecord("P: " + path + "/quorvel_backlight\nE: SUBSYSTEM=backlight\nA: brightness=50\\n\n");
}

void AuxUmockdevDisplays::addDisplay(const AuxEmulatedDisplay& d) {
    AuxUmockdevConnector c;
    c.card = d.card;
    c.type = d.type;
    c.index = d.index;
    c.connected = d.connected;
    c.edid = d.edid;
    if (d.connectorId) c.connectorId = d.connectorId;
    c.backlight = d.backlight;
    if (d.ddcLink && d.bus) {
        c.ddcBus = d.bus;
        // The link to a DP-AUX adapter points into the connector's own folder.
        c.ddcInOwnFolder = d.auxChild;
    }
    addConnector(c);
    if (!d.bus || hasBus(*d.bus)) return;
    AuxUmockdevBus b;
    b.number = *d.bus;
    if (!d.edid.empty()) b.targets[0x50] = std::make_shared<AuxEdidEeprom>(d.edid);
    if (d.chip) b.targets[0x37] = d.chip;
    else if (d.target37) b.targets[0x37] = d.target37;
    b.functionality = d.functionality;
    b.owner = d.auxChild ? AuxUmockdevBus::Owner::Connector : AuxUmockdevBus::Owner::Card;
    b.card = d.card;
    b.connector = d.connectorName();
    b.node = d.busNode;
    b.driver37 = d.busDriver;
    addBus(b);
}

}  // namespace quorvel::emu
