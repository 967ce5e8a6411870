// The initialisation-file reader on arbitrary files: it never reads past its
// input, never returns more than the buffer holds, and gives the same answer
// however the reads split the file. The first bytes choose the section, the
// key, the buffer size and the read size.

#include "fuzz/MemoryFileOps.h"
#include "platform/ProfileReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const std::size_t bufferSize = data[0];
    const std::size_t chunk = 1 + data[1] % 64;
    const std::size_t sectionLength = data[2] % 12;
    const std::size_t keyLength = data[3] % 12;
    std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    if (rest.size() < sectionLength + keyLength)
        return 0;
    const std::string_view section = rest.substr(0, sectionLength);
    const std::string_view key = rest.substr(sectionLength, keyLength);
    const std::string_view file = rest.substr(sectionLength + keyLength);

    fuzzing::MemoryFileOps inPieces(file, chunk);
    fuzzing::MemoryFileOps whole(file, 1 << 16);
    const std::string a =
        platform::ReadProfileString(inPieces, "batch.olb", section, key, "dflt", bufferSize);
    const std::string b =
        platform::ReadProfileString(whole, "batch.olb", section, key, "dflt", bufferSize);
    if (a != b)
        std::abort(); // the answer depends on how the file was read
    if (bufferSize == 0 ? !a.empty() : a.size() > bufferSize - 1)
        std::abort(); // longer than the buffer
    return 0;
}
