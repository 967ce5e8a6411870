#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

class FileOps;

// A symbolic link on the way to a directory that a user other than the one
// asking (and root) could have put there to steer the program elsewhere.
struct SteeringLink {
    std::string link;   // where the link lies: `folder`, "/", its name
    uid_t owner = 0;    // who owns the link
    std::string folder; // the folder holding it, as resolved (no links in it)
    // More than kMaxFollowedLinks links on the way (a loop): `link` is the one
    // that would have been followed next, whoever owns it and wherever it lies.
    bool tooManyLinks = false;
};

// As many links as the kernel follows in one lookup.
inline constexpr int kMaxFollowedLinks = 40;

// The first symbolic link on the way to `path` that neither `self` nor root
// owns and that lies in a folder someone else can write, or nothing.
//
// Every component is checked, the last one too, and every component of each
// link's target, in the order the kernel resolves them. A link is trusted when
// `self` or root owns it, or when its folder (as resolved) is owned by `self`
// or root and has no group or other write permission (a sticky folder is not
// safe). Only trusted links are followed; ".." goes to the parent of the
// folder reached so far, as the kernel does.
//
// A relative `path` starts from the current directory, and the strings in the
// answer are then relative to it too; an empty one means ".". Repeated and
// trailing slashes are ignored. A component that cannot be looked up (missing,
// not a folder, no permission) or a link that cannot be read ends the walk
// without a finding: the caller deals with what cannot be reached. A folder
// that cannot be looked up when a link in it needs judging counts as unsafe.
// Costs one lstat per component and a readlink per trusted link; reads no
// directories.
std::optional<SteeringLink> FindSteeringLink(FileOps& ops, const std::string& path, uid_t self);

} // namespace platform
