#include "emu/StaticRegistry.h"

namespace quorvel {

namespace {

class StaticEntry : public IORegistryEntry {
public:
    explicit StaticEntry(const StaticRegistryNode& node) : node_(node) {}
    std::optional<std::string> name() const override { return node_.name; }
    std::optional<RegistryValue> property(const std::string& key) const override {
        auto it = node_.properties.find(key);
        if (it == node_.properties.end()) return std::nullopt;
        return it->second;
    }
    std::shared_ptr<AVService> createAVService() const override { return node_.avService; }

private:
    StaticRegistryNode node_;
};

class StaticIterator : public IORegistryIterator {
public:
    explicit StaticIterator(std::vector<StaticRegistryNode> nodes) : nodes_(std::move(nodes)) {}
    std::shared_ptr<IORegistryEntry> next() override {
        if (at_ >= nodes_.size()) return nullptr;
        return std::make_shared<StaticEntry>(nodes_[at_++]);
    }

private:
    std::vector<StaticRegistryNode> nodes_;
    size_t at_ = 0;
};

}  // namespace

std::unique_ptr<IORegistryIterator> StaticRegistry::servicePlane() {
    if (iteratorFails) return nullptr;
    return std::make_unique<StaticIterator>(nodes);
}

std::optional<DisplayInfo> StaticRegistry::displayInfo(uint32_t displayID) {
    auto it = displays.find(displayID);
    if (it == displays.end()) return std::nullopt;
    return it->second;
}

}  // namespace quorvel
