#include "ElfSymbols.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace TestSupport {

namespace {

template <class T>
T ReadAt(const std::vector<char>& file, size_t offset)
{
    if (offset > file.size() || file.size() - offset < sizeof(T)) throw std::runtime_error("truncated ELF file");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

std::string StringAt(const std::vector<char>& file, const Elf64_Shdr& strtab, size_t index)
{
    const size_t offset = strtab.sh_offset + index;
    if (index >= strtab.sh_size || offset >= file.size()) throw std::runtime_error("bad string index");
    const char* start = file.data() + offset;
    return std::string(start, strnlen(start, file.size() - offset));
}

}  // namespace

std::vector<ExportedSymbol> ReadExportedSymbols(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    const auto header = ReadAt<Elf64_Ehdr>(file, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file");

    std::vector<Elf64_Shdr> sections;
    for (size_t i = 0; i < header.e_shnum; ++i)
        sections.push_back(ReadAt<Elf64_Shdr>(file, header.e_shoff + i * header.e_shentsize));

    const Elf64_Shdr* dynsym = nullptr;
    const Elf64_Shdr* versym = nullptr;
    const Elf64_Shdr* verdef = nullptr;
    for (const auto& s : sections) {
        if (s.sh_type == SHT_DYNSYM) dynsym = &s;
        if (s.sh_type == SHT_GNU_versym) versym = &s;
        if (s.sh_type == SHT_GNU_verdef) verdef = &s;
    }
    if (dynsym == nullptr) throw std::runtime_error("no .dynsym");
    const Elf64_Shdr& dynstr = sections.at(dynsym->sh_link);

    std::map<uint16_t, std::string> versionNames;
    if (verdef != nullptr) {
        const Elf64_Shdr& verstr = sections.at(verdef->sh_link);
        size_t offset = verdef->sh_offset;
        for (size_t i = 0; i < verdef->sh_info; ++i) {
            const auto def = ReadAt<Elf64_Verdef>(file, offset);
            const auto aux = ReadAt<Elf64_Verdaux>(file, offset + def.vd_aux);
            if ((def.vd_flags & VER_FLG_BASE) == 0) versionNames[def.vd_ndx] = StringAt(file, verstr, aux.vda_name);
            if (def.vd_next == 0) break;
            offset += def.vd_next;
        }
    }

    std::vector<ExportedSymbol> symbols;
    const size_t count = dynsym->sh_size / sizeof(Elf64_Sym);
    for (size_t i = 1; i < count; ++i) {
        const auto sym = ReadAt<Elf64_Sym>(file, dynsym->sh_offset + i * sizeof(Elf64_Sym));
        const unsigned bind = ELF64_ST_BIND(sym.st_info);
        if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE)) continue;
        ExportedSymbol out;
        out.name = StringAt(file, dynstr, sym.st_name);
        if (versym != nullptr) {
            const auto index = static_cast<uint16_t>(ReadAt<Elf64_Half>(file, versym->sh_offset + i * 2) & 0x7fff);
            const auto found = versionNames.find(index);
            if (found != versionNames.end()) out.version = found->second;
        }
        // The linker's own symbol for each version node.
        if (sym.st_shndx == SHN_ABS && out.name == out.version) continue;
        symbols.push_back(out);
    }
    return symbols;
}

}  // namespace TestSupport
