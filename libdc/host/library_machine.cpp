#include "libdc/host/library_machine.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kelv::dchost {
namespace {

// A PE file's header starts at most this far in (the DOS stub is short); an ELF header
// is 64 bytes.
constexpr std::size_t kHeaderBytes = 4096;

std::uint32_t little(const std::string &bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + std::size_t(i)]);
    return value;
}

LibraryMachine peMachine(const std::string &bytes)
{
    if (bytes.size() < 0x40)
        return LibraryMachine::Unknown;
    const std::size_t pe = little(bytes, 0x3c, 4);
    if (pe > bytes.size() || bytes.size() - pe < 6 || bytes.compare(pe, 4, "PE\0\0", 4) != 0)
        return LibraryMachine::Unknown;
    switch (little(bytes, pe + 4, 2)) {
    case 0x014c: // IMAGE_FILE_MACHINE_I386
        return LibraryMachine::X86;
    case 0x8664: // IMAGE_FILE_MACHINE_AMD64
        return LibraryMachine::X86_64;
    default:
        return LibraryMachine::Other;
    }
}

LibraryMachine elfMachine(const std::string &bytes)
{
    if (bytes.size() < 20)
        return LibraryMachine::Unknown;
    const bool bigEndian = bytes[5] == 2;
    const auto b18 = static_cast<unsigned char>(bytes[18]);
    const auto b19 = static_cast<unsigned char>(bytes[19]);
    const unsigned machine = bigEndian ? (b18 << 8 | b19) : (b19 << 8 | b18);
    if (machine == 3 && bytes[4] == 1) // EM_386, ELFCLASS32
        return LibraryMachine::X86;
    if (machine == 62 && bytes[4] == 2) // EM_X86_64, ELFCLASS64
        return LibraryMachine::X86_64;
    return LibraryMachine::Other;
}

} // namespace

LibraryMachine machineOfHeader(const std::string &bytes)
{
    if (bytes.compare(0, 2, "MZ") == 0)
        return peMachine(bytes);
    if (bytes.compare(0, 4,
                      "\x7f"
                      "ELF") == 0)
        return elfMachine(bytes);
    return LibraryMachine::Unknown;
}

LibraryMachine libraryMachine(const std::string &file)
{
    std::ifstream in(std::filesystem::u8path(file), std::ios::binary);
    std::string bytes(kHeaderBytes, '\0');
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(std::size_t(in.gcount()));
    return machineOfHeader(bytes);
}

bool libraryNeedsHost(LibraryMachine machine)
{
    return sizeof(void *) == 8 && machine == LibraryMachine::X86;
}

} // namespace kelv::dchost
