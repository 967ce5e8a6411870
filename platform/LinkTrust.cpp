#include "platform/LinkTrust.h"

#include "platform/FileOps.h"

#include <sys/stat.h>

#include <climits>
#include <string_view>
#include <vector>

namespace platform {
namespace {

// The folder reached so far: real folders only, from "/" or from the current
// directory. Relative walks keep leading ".." components.
class ResolvedFolder {
public:
    void Restart(bool absolute) {
        m_absolute = absolute;
        m_names.clear();
    }
    void Enter(std::string name) { m_names.push_back(std::move(name)); }
    void Leave() {
        if (!m_names.empty() && m_names.back() != "..")
            m_names.pop_back();
        else if (!m_absolute)
            m_names.emplace_back("..");
        // ".." of the root is the root.
    }
    std::string Path() const {
        if (m_names.empty())
            return m_absolute ? "/" : ".";
        std::string path;
        for (const std::string& name : m_names) {
            if (m_absolute || !path.empty())
                path += '/';
            path += name;
        }
        return path;
    }
    std::string PathOf(const std::string& name) const {
        if (m_names.empty())
            return m_absolute ? "/" + name : name;
        return Path() + "/" + name;
    }

private:
    bool m_absolute = false;
    std::vector<std::string> m_names;
};

// Puts the components of `path` in front of those still to walk (the next one
// last), leaving out empty ones and ".".
void PushComponents(std::string_view path, std::vector<std::string>& pending) {
    size_t end = path.size();
    while (end > 0) {
        const size_t slash = path.rfind('/', end - 1);
        const size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view name = path.substr(begin, end - begin);
        if (!name.empty() && name != ".")
            pending.emplace_back(name);
        if (slash == std::string_view::npos)
            break;
        end = slash;
    }
}

bool TrustedOwner(uid_t owner, uid_t self) {
    return owner == self || owner == 0;
}

// Nobody but `self` and root can add or replace names in the folder. With an
// access control list the group bits are its mask, so a named user or group
// with write access shows as group write here.
bool ClosedFolder(FileOps& ops, const std::string& folder, uid_t self) {
    struct stat st {};
    if (ops.Lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return TrustedOwner(st.st_uid, self) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

std::optional<SteeringLink> FindSteeringLink(FileOps& ops, const std::string& path, uid_t self) {
    ResolvedFolder folder;
    folder.Restart(!path.empty() && path.front() == '/');
    std::vector<std::string> pending;
    PushComponents(path, pending);
    int followed = 0;

    while (!pending.empty()) {
        std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == "..") {
            folder.Leave();
            continue;
        }
        const std::string at = folder.PathOf(name);
        struct stat st {};
        if (ops.Lstat(at.c_str(), &st) != 0)
            return std::nullopt;
        if (S_ISDIR(st.st_mode)) {
            folder.Enter(std::move(name));
            continue;
        }
        if (!S_ISLNK(st.st_mode))
            return std::nullopt; // the end of the path, or not a folder: nothing to follow

        const std::string holder = folder.Path();
        if (!TrustedOwner(st.st_uid, self) && !ClosedFolder(ops, holder, self))
            return SteeringLink{at, st.st_uid, holder, false};
        if (++followed > kMaxFollowedLinks)
            return SteeringLink{at, st.st_uid, holder, true};

        char target[PATH_MAX];
        const ssize_t length = ops.Readlink(at.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
            return std::nullopt;
        const std::string_view text(target, static_cast<size_t>(length));
        if (text.front() == '/')
            folder.Restart(true);
        PushComponents(text, pending);
    }
    return std::nullopt;
}

} // namespace platform
