#include "emu/UmockdevSupport.h"

#include <dlfcn.h>
#include <umockdev.h>

#include <stdexcept>

namespace quorvel::emu::umockdev {

namespace {
[[noreturn]] void fail(const std::string& what, GError* error) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error(what + ": " + message);
}
}  // namespace

bool inMockEnvironment() {
    // umockdev's own check looks at LD_PRELOAD only; the preload library
    // may as well be linked in as the first needed library.
    if (umockdev_in_mock_environment()) return true;
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (preload) dlclose(preload);
    return preload != nullptr;
}

UMockdevTestbed* newTestbed() {
    if (!inMockEnvironment())
        throw std::runtime_error("not running under the umockdev preload library (libumockdev-preload.so.0)");
    UMockdevTestbed* testbed = umockdev_testbed_new();
    if (!testbed) throw std::runtime_error("umockdev_testbed_new failed");
    return testbed;
}

std::string rootDir(UMockdevTestbed* testbed) {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string text = root ? root : "";
    g_free(root);
    return text;
}

void addRecord(UMockdevTestbed* testbed, const std::string& record, const std::string& what) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) fail(what, error);
}

void attachHandler(UMockdevTestbed* testbed, const std::string& devNode, UMockdevIoctlBase* handler,
                   const std::string& what) {
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devNode.c_str(), handler, &error)) fail(what, error);
}

}  // namespace quorvel::emu::umockdev
