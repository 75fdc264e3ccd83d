// The texts that stand in for a value: returned by the engines and the file
// checks, compared by their callers, and some of them shown to the user.
#pragma once

#include <string>

namespace quorvel::sentinel {

// A chip that did not answer, or answered with nothing usable.
inline const std::string replugDevice = "Please replug the device again.";

// What a firmware image's signature check gives instead of a signature.
inline const std::string firmwareFileNotCorrect = "FwFileNotCorrect";
inline const std::string noFirmwareFile = "NoFirmwareFile";
// The signature bytes are erased (all 0xFF): an image for the Talmore chip.
inline const std::string erasedSignature = "Talmore";

// The signature of a sound loader image.
inline const std::string loaderSignature = "eISP";

}  // namespace quorvel::sentinel
