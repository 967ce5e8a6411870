#include "platform/FileIdentity.h"

#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

unsigned IdentityStatxMask() {
    return STATX_INO | STATX_BTIME | STATX_SIZE | STATX_MTIME;
}

FileIdentity IdentityOf(const struct statx& stx) {
    FileIdentity id;
    id.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    id.inode = stx.stx_ino;
    if ((stx.stx_mask & STATX_BTIME) != 0) {
        id.bornSeconds = stx.stx_btime.tv_sec;
        id.bornNanoseconds = stx.stx_btime.tv_nsec;
    }
    id.size = static_cast<std::int64_t>(stx.stx_size);
    id.modifiedSeconds = stx.stx_mtime.tv_sec;
    id.modifiedNanoseconds = stx.stx_mtime.tv_nsec;
    return id;
}

bool IdentifyAt(FileOps& ops, const std::string& path, FileIdentity& identity) {
    struct statx stx {};
    if (ops.Statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                  IdentityStatxMask(), &stx) != 0)
        return false;
    identity = IdentityOf(stx);
    return true;
}

Sameness CompareStable(const FileIdentity& recorded, const FileIdentity& found) {
    // A birth time is set when the inode is made: inode and birth time together
    // are never handed to a second file, and survive remounts and renames.
    if (recorded.HasBirthTime() && found.HasBirthTime()) {
        if (recorded.bornSeconds != found.bornSeconds ||
            recorded.bornNanoseconds != found.bornNanoseconds)
            return Sameness::Different;
        if (recorded.inode == found.inode)
            return Sameness::Same;
        // The same birth time under another inode number: a file system that
        // numbers its inodes anew at each mount. The content decides.
    }
    // Without one, inode numbers may be reused or handed out anew at each
    // mount: only what the file holds tells. Some file systems keep whole
    // seconds only, so nanoseconds count only where both sides have them.
    if (recorded.size != found.size || recorded.modifiedSeconds != found.modifiedSeconds)
        return Sameness::Different;
    if (recorded.modifiedNanoseconds != 0 && found.modifiedNanoseconds != 0 &&
        recorded.modifiedNanoseconds != found.modifiedNanoseconds)
        return Sameness::Different;
    if (recorded.digest != 0 && found.digest != 0)
        return recorded.digest == found.digest ? Sameness::Same : Sameness::Different;
    return Sameness::NeedsDigest;
}

namespace {

// 64-bit FNV-1a: small, fast and well spread; the digest only tells a
// replaced file from the one recorded, it proves nothing against an attacker.
constexpr std::uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

void Mix(std::uint64_t& hash, const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= kFnvPrime;
    }
}

bool MixRange(FileOps& ops, int fd, std::uint64_t& hash, std::int64_t count) {
    unsigned char buf[16 * 1024];
    while (count > 0) {
        const ssize_t got = ops.Read(fd, buf,
                                     static_cast<std::size_t>(std::min<std::int64_t>(
                                         count, static_cast<std::int64_t>(sizeof buf))));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        Mix(hash, buf, static_cast<std::size_t>(got));
        count -= got;
    }
    return true;
}

} // namespace

std::uint64_t ContentDigest(FileOps& ops, int fd) {
    struct stat st {};
    if (ops.Fstat(fd, &st) != 0 || ops.Lseek(fd, 0, SEEK_SET) != 0)
        return 0;
    std::uint64_t hash = kFnvOffset;
    const std::int64_t size = st.st_size;
    Mix(hash, reinterpret_cast<const unsigned char*>(&size), sizeof size);
    // A large file is read at both ends only: time and memory stay bounded
    // whatever lands in the queue directory.
    if (size <= kDigestedBytes) {
        if (!MixRange(ops, fd, hash, kDigestedBytes))
            return 0;
    } else if (!MixRange(ops, fd, hash, kDigestedBytes / 2) ||
               ops.Lseek(fd, size - kDigestedBytes / 2, SEEK_SET) < 0 ||
               !MixRange(ops, fd, hash, kDigestedBytes / 2)) {
        return 0;
    }
    return hash != 0 ? hash : 1;
}

} // namespace platform
