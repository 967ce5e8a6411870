#include "platform/MessageRegistry.h"

#include <map>
#include <mutex>

namespace platform {

std::uint32_t RegisterWindowMessage(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::uint32_t> ids;
    std::lock_guard<std::mutex> lock(mutex);
    const auto [it, inserted] = ids.emplace(name, static_cast<std::uint32_t>(0xC000 + ids.size()));
    return it->second;
}

} // namespace platform
