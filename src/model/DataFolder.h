// Where the programs find their loader images: $QUORVEL_DATA_DIR, else
// <folder of the executable>/../share/quorvel, so the build tree and an
// installed prefix both work.
#pragma once

#include <string>

namespace quorvel {

std::string executablePath();
std::string executableName();
std::string dataFolder();

}  // namespace quorvel
