// Prints the supported USB devices as sysfs writes their IDs ("7e51:6100"),
// one a line, for the udev rules check.
#include <cstdio>

#include "model/DeviceTable.h"

int main() {
    for (const auto& ids : quorvel::devices::supported) std::printf("%04x:%04x\n", ids.vendorId, ids.productId);
    return 0;
}
