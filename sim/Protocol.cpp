#include "sim/Protocol.h"

#include <charconv>
#include <vector>

namespace sim {
namespace {

constexpr std::string_view kMagic = "KV1";

struct VerbName {
    Verb verb;
    std::string_view name;
    std::size_t integers; // after the deadline
};

constexpr VerbName kVerbs[] = {
    {Verb::Running, "running", 0}, {Verb::Count, "count", 0},     {Verb::Control, "control", 1},
    {Verb::Submit, "submit", 5},   {Verb::Foreign, "foreign", 1}, {Verb::Quit, "quit", 0},
};

const VerbName* FindVerb(Verb verb) {
    for (const auto& v : kVerbs)
        if (v.verb == verb)
            return &v;
    return nullptr;
}

const VerbName* FindVerb(std::string_view name) {
    for (const auto& v : kVerbs)
        if (v.name == name)
            return &v;
    return nullptr;
}

template <typename T> std::optional<T> ParseInteger(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

// Words separated by single blanks; doubled or trailing blanks give empty words.
std::vector<std::string_view> SplitWords(std::string_view line) {
    std::vector<std::string_view> words;
    for (std::size_t start = 0;;) {
        const auto space = line.find(' ', start);
        words.push_back(
            line.substr(start, space == std::string_view::npos ? space : space - start));
        if (space == std::string_view::npos)
            return words;
        start = space + 1;
    }
}

bool CarriesPath(std::string_view text) {
    return text.size() <= kMaxPathBytes && text.find('\0') == std::string_view::npos;
}

} // namespace

std::optional<std::string> EncodeRequest(const Request& request) {
    const VerbName* verb = FindVerb(request.verb);
    if (!verb)
        return std::nullopt;
    std::string out(kMagic);
    out += ' ';
    out += verb->name;
    out += ' ' + std::to_string(request.deadlineNs);
    switch (request.verb) {
    case Verb::Control:
    case Verb::Foreign:
        out += ' ' + std::to_string(request.value);
        break;
    case Verb::Submit:
        if (!CarriesPath(request.path) || !CarriesPath(request.cwd))
            return std::nullopt;
        for (int v : {request.a, request.b, request.c, request.flags})
            out += ' ' + std::to_string(v);
        out += ' ' + std::to_string(request.path.size());
        break;
    default:
        break;
    }
    out += '\n';
    if (request.verb == Verb::Submit) {
        out += request.path;
        out += request.cwd;
    }
    return out;
}

std::optional<Request> DecodeRequest(std::string_view packet) {
    if (packet.size() > kMaxPacket)
        return std::nullopt;
    const auto newline = packet.find('\n');
    if (newline == std::string_view::npos)
        return std::nullopt;
    const auto words = SplitWords(packet.substr(0, newline));
    const std::string_view payload = packet.substr(newline + 1);
    if (words.size() < 3 || words[0] != kMagic)
        return std::nullopt;
    const VerbName* verb = FindVerb(words[1]);
    if (!verb || words.size() != 3 + verb->integers)
        return std::nullopt;
    Request request;
    request.verb = verb->verb;
    const auto deadline = ParseInteger<std::int64_t>(words[2]);
    if (!deadline)
        return std::nullopt;
    request.deadlineNs = *deadline;
    std::vector<int> ints;
    for (std::size_t i = 3; i < words.size(); ++i) {
        const auto v = ParseInteger<int>(words[i]);
        if (!v)
            return std::nullopt;
        ints.push_back(*v);
    }
    if (verb->verb == Verb::Control || verb->verb == Verb::Foreign)
        request.value = ints[0];
    if (verb->verb != Verb::Submit)
        return payload.empty() ? std::optional<Request>(request) : std::nullopt;

    request.a = ints[0];
    request.b = ints[1];
    request.c = ints[2];
    request.flags = ints[3];
    if (ints[4] < 0 || static_cast<std::size_t>(ints[4]) > payload.size())
        return std::nullopt;
    request.path = std::string(payload.substr(0, ints[4]));
    request.cwd = std::string(payload.substr(ints[4]));
    if (!CarriesPath(request.path) || !CarriesPath(request.cwd))
        return std::nullopt;
    return request;
}

std::string EncodeReply(int value) {
    return std::to_string(value);
}

std::optional<int> DecodeReply(std::string_view packet) {
    return ParseInteger<int>(packet);
}

} // namespace sim
