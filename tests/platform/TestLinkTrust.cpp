#include "platform/FileOps.h"
#include "platform/LinkTrust.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

using namespace platform;
using testsupport::TempDir;

namespace {

enum class Who { Self, Other, Root };
constexpr uid_t kSelfWhenRoot = 4242;
constexpr uid_t kOther = 5151;

// A folder (target empty) or a link; "@" in a target stands for the test's folder.
struct Entry {
    const char* path;
    Who owner;
    mode_t mode = 0755;
    const char* target = "";
};
Entry Dir(const char* path, mode_t mode, Who owner = Who::Self) {
    return {path, owner, mode};
}
Entry Link(const char* path, const char* target, Who owner) {
    return {path, owner, 0, target};
}

struct Case {
    const char* name;
    std::vector<Entry> entries = {}; // besides mine (0755), shared (2770) and real/q
    const char* path;                // "@" stands for the test's folder
    const char* link = "";           // the expected finding; empty: none
    Who owner = Who::Other;
    bool tooManyLinks = false;
    const char* cwd = nullptr; // run from this folder (relative to "@")
    const char* failLstat = nullptr;
    int failAt = 0; // which lstat of failLstat fails
};

std::string At(const std::string& root, const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '@' ? root : std::string(1, c);
    return out;
}

// The real calls, with one lstat of one path failing with EACCES.
class FailingLstat final : public SystemFileOps {
public:
    FailingLstat(std::string path, int nth) : m_path(std::move(path)), m_nth(nth) {}
    int Lstat(const char* path, struct stat* st) override {
        if (path == m_path && ++m_seen == m_nth) {
            errno = EACCES;
            return -1;
        }
        return SystemFileOps::Lstat(path, st);
    }

private:
    std::string m_path;
    int m_nth;
    int m_seen = 0;
};

} // namespace

TEST(LinkTrust, FindsLinksOthersCouldHavePlanted) {
    const Case cases[] = {
        {.name = "another's link in a group-writable folder",
         .entries = {Link("shared/q", "../real/q", Who::Other)},
         .path = "@/shared/q",
         .link = "@/shared/q"},
        {.name = "in a sticky world-writable folder",
         .entries = {Dir("tmp", 01777, Who::Root), Link("tmp/q", "../real/q", Who::Other)},
         .path = "@/tmp/q",
         .link = "@/tmp/q"},
        {.name = "in a closed folder another user owns",
         .entries = {Dir("theirs", 0755, Who::Other), Link("theirs/q", "../real/q", Who::Other)},
         .path = "@/theirs/q",
         .link = "@/theirs/q"},
        {.name = "own link",
         .entries = {Link("shared/q", "../real/q", Who::Self)},
         .path = "@/shared/q"},
        {.name = "root's link",
         .entries = {Link("shared/q", "../real/q", Who::Root)},
         .path = "@/shared/q"},
        {.name = "another's link in a closed folder of ours",
         .entries = {Link("mine/q", "../real/q", Who::Other)},
         .path = "@/mine/q"},
        {.name = "a parent replaced by a link",
         .entries = {Link("shared/lab", "../real", Who::Other)},
         .path = "@/shared/lab/q",
         .link = "@/shared/lab"},
        {.name = "the second link of a chain, through an absolute target",
         .entries = {Link("mine/q", "@/shared/q2", Who::Other),
                     Link("shared/q2", "../real/q", Who::Other)},
         .path = "@/mine/q",
         .link = "@/shared/q2"},
        {.name = "'..' in a target",
         .entries = {Dir("mine/sub", 0755), Link("mine/sub/q", "../../shared/q2", Who::Self),
                     Link("shared/q2", "../real/q", Who::Other)},
         .path = "@/mine/sub/q",
         .link = "@/shared/q2"},
        {.name = "'..' after a link leaves the link's target",
         .entries = {Dir("shared/deep", 0755), Dir("mine/q", 0755),
                     Link("mine/l", "../shared/deep", Who::Self),
                     Link("shared/q", "../real/q", Who::Other)},
         .path = "@/mine/l/../q",
         .link = "@/shared/q"},
        {.name = "a loop",
         .entries = {Link("mine/a", "b", Who::Self), Link("mine/b", "a", Who::Self)},
         .path = "@/mine/a",
         .link = "@/mine/a",
         .owner = Who::Self,
         .tooManyLinks = true},
        {.name = "no links, repeated and trailing slashes", .path = "@//real///q/"},
        {.name = "a missing component",
         .entries = {Link("shared/q", "../real/q", Who::Other)},
         .path = "@/real/none/q"},
        {.name = "relative, from the current folder",
         .entries = {Link("shared/q", "../real/q", Who::Other)},
         .path = "./shared//q/",
         .link = "shared/q",
         .cwd = ""},
        {.name = "relative, above the current folder",
         .entries = {Link("shared/q", "../real/q", Who::Other)},
         .path = "../shared/q",
         .link = "../shared/q",
         .cwd = "mine"},
        {.name = "a component that cannot be looked up ends the walk",
         .entries = {Link("shared/q", "../real/q", Who::Other)},
         .path = "@/shared/q",
         .failLstat = "@/shared",
         .failAt = 1},
        {.name = "a folder that cannot be looked up is not closed",
         .entries = {Link("mine/q", "../real/q", Who::Other)},
         .path = "@/mine/q",
         .link = "@/mine/q",
         .failLstat = "@/mine",
         .failAt = 2},
    };
    const bool root = geteuid() == 0;
    const uid_t self = root ? kSelfWhenRoot : geteuid();
    int skipped = 0;
    auto uidOf = [&](Who who) { return who == Who::Self ? self : who == Who::Root ? 0 : kOther; };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Entry> entries = {Dir("mine", 0755), Dir("shared", 02770), Dir("real", 0755),
                                      Dir("real/q", 0755)};
        entries.insert(entries.end(), c.entries.begin(), c.entries.end());
        bool needsRoot = false;
        for (const Entry& e : entries)
            needsRoot = needsRoot || e.owner != Who::Self;
        if (needsRoot && !root) {
            ++skipped; // other owners need lchown, which only root may do
            continue;
        }

        TempDir dir;
        for (const Entry& e : entries) {
            const std::string path = dir / e.path;
            const uid_t owner = uidOf(e.owner);
            if (*e.target == '\0') {
                ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
                ASSERT_TRUE(!root || chown(path.c_str(), owner, owner) == 0);
                ASSERT_EQ(chmod(path.c_str(), e.mode), 0);
            } else {
                ASSERT_EQ(symlink(At(dir.Path(), e.target).c_str(), path.c_str()), 0);
                ASSERT_TRUE(!root || lchown(path.c_str(), owner, owner) == 0);
            }
        }
        FailingLstat ops(c.failLstat ? At(dir.Path(), c.failLstat) : "", c.failAt);
        const std::filesystem::path home = std::filesystem::current_path();
        ASSERT_TRUE(!c.cwd || chdir((dir / c.cwd).c_str()) == 0);
        const auto found = FindSteeringLink(ops, At(dir.Path(), c.path), self);
        ASSERT_EQ(chdir(home.c_str()), 0);

        ASSERT_EQ(found.has_value(), *c.link != '\0');
        if (found) {
            EXPECT_EQ(found->link, At(dir.Path(), c.link));
            const std::string link = At(dir.Path(), c.link);
            const size_t slash = link.rfind('/');
            EXPECT_EQ(found->folder, slash == std::string::npos ? "." : link.substr(0, slash));
            EXPECT_EQ(found->owner, uidOf(c.owner));
            EXPECT_EQ(found->tooManyLinks, c.tooManyLinks);
        }
    }
    if (skipped > 0)
        GTEST_SKIP() << skipped << " rows need root";
}
