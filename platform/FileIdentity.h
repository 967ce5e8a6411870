#pragma once

#include <cstdint>
#include <string>

struct statx;

namespace platform {

// Which file a name leads to, rather than the name itself: a new file dropped
// under an old name is another file. Device and inode, plus the birth time
// where the file system records one (zero where it does not, so that device
// and inode alone decide).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t bornSeconds = 0;
    std::uint32_t bornNanoseconds = 0;

    // An identity that no file was asked for (a scripted or empty entry).
    bool Known() const { return inode != 0; }
    bool operator==(const FileIdentity&) const = default;
};

// The fields statx must be asked for so that IdentityOf has what it needs.
unsigned IdentityStatxMask();

// The identity a statx result describes.
FileIdentity IdentityOf(const struct statx& stx);

// The identity of the entry `name` relative to `dirFd` (or AT_FDCWD), never
// following a final symbolic link. False with errno set when it cannot be read.
bool IdentifyAt(int dirFd, const char* name, FileIdentity& identity);

// Same device and inode: two names of one file, whatever their birth times say.
inline bool SameInode(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode;
}

} // namespace platform
