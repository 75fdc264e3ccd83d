// What both umockdev fixtures (USB devices, displays) do with a testbed.
#pragma once

#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace quorvel::emu::umockdev {

// True under the preload library, whether it was preloaded or linked in.
bool inMockEnvironment();
// A new testbed; throws std::runtime_error outside the preload library.
UMockdevTestbed* newTestbed();
std::string rootDir(UMockdevTestbed* testbed);
// Adds a device from its umockdev record; throws "<what>: <reason>".
void addRecord(UMockdevTestbed* testbed, const std::string& record, const std::string& what);
// Serves `devNode` through `handler`; throws "<what>: <reason>".
void attachHandler(UMockdevTestbed* testbed, const std::string& devNode, UMockdevIoctlBase* handler,
                   const std::string& what);

}  // namespace quorvel::emu::umockdev
