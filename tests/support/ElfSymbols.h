#pragma once
// Reads the exported symbols of a shared library, with their versions.

#include <string>
#include <vector>

namespace TestSupport {

struct ExportedSymbol {
    std::string name;
    std::string version;  // empty when unversioned
};

// Defined global and weak symbols of .dynsym, without the version-node
// symbols the linker adds. Throws std::runtime_error on a malformed file.
std::vector<ExportedSymbol> ReadExportedSymbols(const std::string& path);

}  // namespace TestSupport
