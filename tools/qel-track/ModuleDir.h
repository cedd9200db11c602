#pragma once
// Where qel-track finds the module when the command line names no directory.

#include <string>

namespace QelTrack {

// The build tree's module directory beside the tool's bin/ (also the layout
// of an install prefix); else the package's, found from the tool's own
// location so that an unpacked package works where it lies; else the
// package's installed path. With none holding the module, the first.
std::string DefaultModuleDir();

}  // namespace QelTrack
