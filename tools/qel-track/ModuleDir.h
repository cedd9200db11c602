#pragma once
// Where qel-track finds the module when the command line names no directory.

#include <string>

namespace QelTrack {

// The module directory beside the tool's own bin/.
std::string DefaultModuleDir();

}  // namespace QelTrack
