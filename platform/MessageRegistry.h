#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Process-wide registry of message names: the same name always yields the same
// id, to every caller and from any thread. Ids start at 0xC000 and never repeat.
std::uint32_t RegisterWindowMessage(const std::string& name);

// Something that accepts posted messages: the window implements it on top of
// its event loop. PostMessage may be called from any thread, returns at once
// without waiting for the message to be handled, and reports whether the
// message was queued.
class MessagePoster {
public:
    virtual ~MessagePoster() = default;
    virtual bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

} // namespace platform
