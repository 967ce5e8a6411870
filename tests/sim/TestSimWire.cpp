// The wire format, the socket path rule, the command line and the log format.

#include "sim/CallLog.h"
#include "sim/Protocol.h"
#include "sim/SimClient.h"
#include "sim/SimLog.h"
#include "sim/SimOptions.h"
#include "sim/SocketPath.h"

#include <gtest/gtest.h>

#include <map>

using namespace std::string_literals;

namespace {

sim::Request Submit(std::string path, std::string cwd, int flags) {
    sim::Request r;
    r.verb = sim::Verb::Submit;
    r.path = std::move(path);
    r.cwd = std::move(cwd);
    r.a = 0;
    r.b = 1;
    r.c = 0;
    r.flags = flags;
    return r;
}

sim::Request Simple(sim::Verb verb, int value = 0) {
    sim::Request r;
    r.verb = verb;
    r.value = value;
    return r;
}

} // namespace

TEST(SimProtocol, RequestsSurviveTheWireByteForByte) {
    std::vector<sim::Request> requests = {
        Simple(sim::Verb::Running),
        Simple(sim::Verb::Count),
        Simple(sim::Verb::Control, 1),
        Simple(sim::Verb::Control, -7),
        Simple(sim::Verb::Foreign, 1000000),
        Simple(sim::Verb::Quit),
        Submit("/q/B.olb", "", 12),
        Submit("./with space\nand newline.olb", "/home/u", 124),
        Submit("/q/\xff\xfe\"\\.olb", "/c\xe9", 44),
        Submit("", "/cwd", 0),
        Submit(std::string(sim::kMaxPathBytes, 'p'), std::string(sim::kMaxPathBytes, 'c'), 4),
    };
    for (auto& r : requests)
        r.deadlineNs = 123456789012345;
    for (const auto& r : requests) {
        const auto packet = sim::EncodeRequest(r);
        ASSERT_TRUE(packet) << r.path;
        EXPECT_LE(packet->size(), sim::kMaxPacket);
        const auto back = sim::DecodeRequest(*packet);
        ASSERT_TRUE(back) << *packet;
        EXPECT_EQ(back->verb, r.verb);
        EXPECT_EQ(back->deadlineNs, r.deadlineNs);
        EXPECT_EQ(back->value, r.value);
        EXPECT_EQ(back->path, r.path);
        EXPECT_EQ(back->cwd, r.cwd);
        EXPECT_EQ(back->a, r.a);
        EXPECT_EQ(back->b, r.b);
        EXPECT_EQ(back->c, r.c);
        EXPECT_EQ(back->flags, r.flags);
    }
}

TEST(SimProtocol, UnencodablePathsAreRefused) {
    EXPECT_FALSE(sim::EncodeRequest(Submit(std::string(sim::kMaxPathBytes + 1, 'p'), "", 12)));
    EXPECT_FALSE(sim::EncodeRequest(Submit("/q/a\0b.olb"s, "", 12)));
    EXPECT_FALSE(sim::EncodeRequest(Submit("rel.olb", "/c\0wd"s, 12)));
}

TEST(SimProtocol, MalformedPacketsAreRejected) {
    const std::vector<std::string> packets = {
        "",
        "KV1 count 5",                          // no end of header
        "KV2 count 5\n",                        // another protocol
        "KV1 launch 5\n",                       // unknown verb
        "KV1 count\n",                          // no deadline
        "KV1 count 5 6\n",                      // an integer too many
        "KV1 control 5\n",                      // one too few
        "KV1 control 5 x\n",                    // not a number
        "KV1 control 5 99999999999\n",          // out of range
        "KV1 control 5 1 \n",                   // trailing blank
        "KV1  count 5\n",                       // double blank
        "KV1 count 5\nextra",                   // payload where none belongs
        "KV1 submit 5 0 1 0 12 9\n/q/B.olb",    // path longer than the payload
        "KV1 submit 5 0 1 0 12 -1\n/q/B.olb",   // negative length
        "KV1 submit 5 0 1 0 12 4\n/q/\0B.olb"s, // NUL in the path
        "KV1 submit 5 0 1 0 12\n/q/B.olb",      // no length
        "KV1 count 5\n" + std::string(sim::kMaxPacket, 'x'),
    };
    for (const auto& p : packets)
        EXPECT_FALSE(sim::DecodeRequest(p)) << p;
}

TEST(SimProtocol, Replies) {
    for (int v : {0, 1, -1, 12, 2147483647})
        EXPECT_EQ(sim::DecodeReply(sim::EncodeReply(v)), v);
    for (const char* bad : {"", "1x", " 1", "99999999999", "-"})
        EXPECT_FALSE(sim::DecodeReply(bad)) << bad;
}

TEST(SimSocketPath, FollowsTheLookupOrder) {
    struct Case {
        std::string explicitPath;
        std::map<std::string, std::string> env;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/x/given.sock", {{"KORVANE_SIM_SOCKET", "/e.sock"}}, "/x/given.sock"},
        {"", {{"KORVANE_SIM_SOCKET", "/e.sock"}, {"XDG_RUNTIME_DIR", "/run/u"}}, "/e.sock"},
        {"",
         {{"KORVANE_SIM_SOCKET", ""}, {"XDG_RUNTIME_DIR", "/run/u"}},
         "/run/u/korvane-sim.sock"},
        {"", {{"XDG_RUNTIME_DIR", "/run/u/"}}, "/run/u/korvane-sim.sock"},
        {"", {{"XDG_RUNTIME_DIR", ""}}, "/tmp/korvane-sim-1234.sock"},
        {"", {}, "/tmp/korvane-sim-1234.sock"},
    };
    for (const auto& c : cases) {
        const auto env = [&](const char* name) -> const char* {
            const auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(sim::ResolveSocketPath(c.explicitPath, env, 1234), c.expected);
    }
}

TEST(SimLibraryWait, TheEnvironmentCanOnlyShortenIt) {
    using std::chrono::milliseconds;
    const std::vector<std::pair<const char*, milliseconds>> cases = {
        {nullptr, sim::kLibraryWait},
        {"200", milliseconds(200)},
        {"1", milliseconds(1)},
        {"10000", milliseconds(10000)},
        {"10001", sim::kLibraryWait},
        {"0", sim::kLibraryWait},
        {"-5", sim::kLibraryWait},
        {"", sim::kLibraryWait},
        {"200ms", sim::kLibraryWait},
        {" 200", sim::kLibraryWait},
        {"99999999999999999999", sim::kLibraryWait},
    };
    for (const auto& [text, wait] : cases)
        EXPECT_EQ(sim::LibraryWait(text), wait) << (text ? text : "unset");
}

TEST(SimOptions, ParsesTheCommandLine) {
    std::string error;
    auto o = sim::ParseOptions({}, &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->command, sim::Command::Serve);
    EXPECT_EQ(o->itemTime, std::chrono::seconds(1));
    EXPECT_EQ(o->stall.count(), 0);
    EXPECT_FALSE(o->noResults);

    o = sim::ParseOptions({"--socket", "/s", "--log=/l", "--item-seconds", "0.25", "--no-results",
                           "--refuse-all", "--stall-seconds", "0.5"},
                          &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->socketPath, "/s");
    EXPECT_EQ(o->logPath, "/l");
    EXPECT_EQ(o->itemTime, std::chrono::milliseconds(250));
    EXPECT_TRUE(o->noResults);
    EXPECT_TRUE(o->refuseAll);
    EXPECT_EQ(o->stall, std::chrono::milliseconds(500));

    o = sim::ParseOptions({"--item-seconds=0"}, &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->itemTime.count(), 0);

    o = sim::ParseOptions({"--socket", "/s", "add-foreign", "3"}, &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->command, sim::Command::AddForeign);
    EXPECT_EQ(o->foreignItems, 3);
    EXPECT_EQ(sim::ParseOptions({"status"}, &error)->command, sim::Command::Status);
    EXPECT_EQ(sim::ParseOptions({"quit"}, &error)->command, sim::Command::Quit);
    EXPECT_EQ(sim::ParseOptions({"--help"}, &error)->command, sim::Command::Help);
}

TEST(SimOptions, RejectsBadArguments) {
    const std::vector<std::vector<std::string>> bad = {
        {"--item-seconds", "-1"},
        {"--item-seconds", "nan"},
        {"--item-seconds", "inf"},
        {"--item-seconds", "1s"},
        {"--item-seconds", ""},
        {"--item-seconds"},
        {"--item-seconds", "2000000"},
        {"--stall-seconds", "-0.5"},
        {"--stall-seconds"},
        {"--socket"},
        {"--socket="},
        {"--no-results=1"},
        {"add-foreign"},
        {"add-foreign", "0"},
        {"add-foreign", "-2"},
        {"add-foreign", "1000001"},
        {"add-foreign", "x"},
        {"status", "quit"},
        {"--verbose"},
        {"start"},
    };
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(sim::ParseOptions(args, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimLogFormat, JsonStringsEscapeWhatIsNotPlainUtf8) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/q/B.olb", "\"/q/B.olb\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\nnl", "\"tab\\u0009here\\u000anl\""},
        {"del\x7f", "\"del\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"latin1 \xe9t\xe9", "\"latin1 \\u00e9t\\u00e9\""},
        {"overlong \xc0\xaf", "\"overlong \\u00c0\\u00af\""},
        {"surrogate \xed\xa0\x80", "\"surrogate \\u00ed\\u00a0\\u0080\""},
        {"too big \xf4\x90\x80\x80", "\"too big \\u00f4\\u0090\\u0080\\u0080\""},
        {"cut \xe2\x82", "\"cut \\u00e2\\u0082\""},
        {"lone \x80 cont", "\"lone \\u0080 cont\""},
    };
    for (const auto& [bytes, json] : cases)
        EXPECT_EQ(sim::JsonString(bytes), json) << bytes;
}

TEST(SimLogFormat, LinesHaveTheDocumentedShape) {
    EXPECT_EQ(sim::SubmitLogLine(1700000000.5, "/q/B.olb", 0, 1, 0, 12, 1),
              "{\"t\": 1700000000.500000, \"call\": \"QueueSampleBatch\", \"path\": \"/q/B.olb\", "
              "\"args\": [0, 1, 0], \"flags\": 12, \"result\": 1}");
    EXPECT_EQ(sim::ControlLogLine(1700000000.25, 1),
              "{\"t\": 1700000000.250000, \"call\": \"QueueControl\", \"code\": 1}");
    EXPECT_EQ(sim::DoneLogLine(1.0, "/q/B.olb"),
              "{\"t\": 1.000000, \"call\": \"done\", \"path\": \"/q/B.olb\"}");
}

TEST(SimLogFormat, TheDriverReadsBackEveryByte) {
    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    for (const std::string& path : {all, "caf\xc3\xa9/\xe9\xff.olb"s, "plain"s, ""s}) {
        const auto entry =
            simtest::ParseSimLogLine(sim::SubmitLogLine(12.5, path, 0, 1, 0, 124, 0));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->path, path);
        EXPECT_EQ(entry->call, "QueueSampleBatch");
        EXPECT_EQ(entry->args, (std::vector<long long>{0, 1, 0}));
        EXPECT_EQ(entry->flags, 124);
        EXPECT_EQ(entry->result, 0);
        EXPECT_DOUBLE_EQ(entry->t, 12.5);
    }
    const auto control = simtest::ParseSimLogLine(sim::ControlLogLine(3, 1));
    ASSERT_TRUE(control);
    EXPECT_EQ(control->code, 1);
    for (const char* broken : {"", "{", "{\"t\": }", "{\"path\": \"x}", "{} x", "{\"a\": \"\\q\"}"})
        EXPECT_FALSE(simtest::ParseSimLogLine(broken)) << broken;
}
