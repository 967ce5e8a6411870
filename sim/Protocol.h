#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// One request and one reply travel as single packets on a sequenced-packet
// Unix socket. A request is a header line of words,
//   "KV1 <verb> <deadline-ns> <integers...>\n",
// followed, for a submission, by the raw bytes of the path and then of the
// caller's working directory (the header gives the path's length), so paths
// pass byte for byte whatever they contain. A reply is one decimal integer.
enum class Verb { Running, Count, Control, Submit, Foreign, Quit };

struct Request {
    Verb verb = Verb::Running;
    // Monotonic-clock nanoseconds after which the caller no longer waits.
    std::int64_t deadlineNs = 0;
    // QueueControl's code, or the number of foreign items to add.
    int value = 0;
    // QueueSampleBatch's arguments; cwd resolves a relative path.
    std::string path;
    int a = 0;
    int b = 0;
    int c = 0;
    int flags = 0;
    std::string cwd;
};

// Largest packet either side sends or accepts.
constexpr std::size_t kMaxPacket = 16384;
// Longest path (and working directory) a submission may carry.
constexpr std::size_t kMaxPathBytes = 4095;

// Empty when the request cannot be encoded (a path too long or holding a NUL).
std::optional<std::string> EncodeRequest(const Request& request);
std::optional<Request> DecodeRequest(std::string_view packet);

std::string EncodeReply(int value);
std::optional<int> DecodeReply(std::string_view packet);

} // namespace sim
