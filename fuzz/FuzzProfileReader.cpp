// The initialisation-file reader on arbitrary files: it never reads past its
// input, never returns more than the buffer holds, and gives the same answer
// however the reads split the file and whether runs of zero bytes are served
// as holes or read. Cut by a limit, it answers as for the file's first bytes
// or with the default. The first bytes choose the section, the key, the
// buffer size, the read size and the limit.

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
    constexpr std::uint64_t kLimits[] = {platform::kProfileReadLimit, 0, 9, 40};
    const std::uint64_t limit = kLimits[data[1] / 64];
    const std::size_t sectionLength = data[2] % 12;
    const std::size_t keyLength = data[3] % 12;
    std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    if (rest.size() < sectionLength + keyLength)
        return 0;
    const std::string_view section = rest.substr(0, sectionLength);
    const std::string_view key = rest.substr(sectionLength, keyLength);
    const std::string_view file = rest.substr(sectionLength + keyLength);

    fuzzing::MemoryFileOps inPieces(file, chunk);
    fuzzing::MemoryFileOps whole(file, 1 << 16, false);
    const std::string a =
        platform::ReadProfileString(inPieces, "batch.olb", section, key, "dflt", bufferSize, limit);
    const std::string b =
        platform::ReadProfileString(whole, "batch.olb", section, key, "dflt", bufferSize, limit);
    if (a != b)
        std::abort(); // the answer depends on how the file was read
    if (bufferSize == 0 ? !a.empty() : a.size() > bufferSize - 1)
        std::abort(); // longer than the buffer
    if (file.size() > limit) {
        const std::string_view head = file.substr(0, static_cast<std::size_t>(limit));
        fuzzing::MemoryFileOps cut(head, chunk);
        const std::string c =
            platform::ReadProfileString(cut, "batch.olb", section, key, "dflt", bufferSize);
        const std::string fallback = std::string("dflt").substr(0, bufferSize ? bufferSize - 1 : 0);
        if (a != c && a != fallback)
            std::abort(); // an answer that the bytes within the limit do not give
    }
    return 0;
}
