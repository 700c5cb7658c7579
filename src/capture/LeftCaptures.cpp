#include "capture/LeftCaptures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include "capture/CaptureFileReader.h"
#include "core/CaptureSpool.h"

namespace quillet {

namespace {

std::int64_t Microseconds(const timespec& t)
{
    return std::int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

bool NotBefore(const timespec& a, const timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

// Changed at or after from: made or written by a run that may be starting now. The file system
// stamps its times from the coarse clock, so a change after from is never stamped before it.
bool ChangedSince(const struct stat& st, const timespec& from)
{
    return NotBefore(st.st_ctim, from) || NotBefore(st.st_mtim, from);
}

// The names a directory holds, without "." and "..".
std::vector<std::string> NamesIn(int dirFd)
{
    std::vector<std::string> names;
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        names.emplace_back();  // unreadable: taken as holding something
        return names;
    }
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    ::closedir(dir);
    return names;
}

}  // namespace

bool ScanWorkingFile(int fd, std::uint64_t& packets, std::int64_t& firstUs, std::int64_t& lastUs,
                     std::uint64_t& end)
{
    packets = 0;
    firstUs = lastUs = 0;
    end = 0;
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0 || ::lseek(own, 0, SEEK_SET) != 0) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    std::string error;
    const std::unique_ptr<CaptureFileReader> reader = CaptureFileReader::Open(own, error, true);
    if (!reader)
        return false;
    // One record at a time, so that where the last one taken ends is known.
    const CaptureFileReader::DatagramFn none = [](const CapturedDatagram&) {};
    while (reader->Read(1, none) == CaptureFileReader::Status::More) {
        if (static_cast<std::uint64_t>(reader->framesRead()) == packets)
            continue;
        if (packets++ == 0)
            firstUs = reader->lastTimestampUs();
        lastUs = reader->lastTimestampUs();
        end = static_cast<std::uint64_t>(std::max<std::int64_t>(reader->position(), 0));
    }
    return true;
}

LeftCaptures::LeftCaptures(const std::string& baseDir)
{
    timespec started {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started);
    baseFd_ = ::open(baseDir.empty() ? "." : baseDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd_ < 0)
        return;
    const uid_t self = ::geteuid();
    struct Found {
        LeftCapture capture;
        Held held;
    };
    std::vector<Found> found;
    for (const std::string& name : NamesIn(baseFd_)) {
        if (!CaptureSpool::IsWorkingName(name))
            continue;
        Found f;
        f.held.name = name;
        f.held.fd = ::openat(baseFd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (f.held.fd < 0)
            continue;
        struct stat dir {}, file {};
        int fileFd = -1;
        // Locked only when it looks like ours; looked into only when no live run holds it.
        bool ours = ::fstat(f.held.fd, &dir) == 0 && S_ISDIR(dir.st_mode) && dir.st_uid == self
                    && (dir.st_mode & 07777) == 0700 && !ChangedSince(dir, started)
                    && ::flock(f.held.fd, LOCK_EX | LOCK_NB) == 0
                    && NamesIn(f.held.fd) == std::vector<std::string>{CaptureSpool::kFileName};
        if (ours) {
            fileFd = ::openat(f.held.fd, CaptureSpool::kFileName,
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            ours = fileFd >= 0 && ::fstat(fileFd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == self
                   && file.st_nlink == 1 && !ChangedSince(file, started);
        }
        if (!ours) {
            if (fileFd >= 0)
                ::close(fileFd);
            ::close(f.held.fd);
            continue;
        }
        f.held.dev = dir.st_dev;
        f.held.dirIno = dir.st_ino;
        f.held.fileIno = file.st_ino;
        f.capture.path = baseDir + (baseDir.empty() || baseDir.back() == '/' ? "" : "/") + name;
        f.capture.modifiedUs = Microseconds(file.st_mtim);
        LeftCapture& c = f.capture;
        ScanWorkingFile(fileFd, c.packets, c.firstUs, c.lastUs, f.held.end);
        ::close(fileFd);
        found.push_back(std::move(f));
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.capture.modifiedUs > b.capture.modifiedUs; });
    for (Found& f : found) {
        found_.push_back(std::move(f.capture));
        held_.push_back(std::move(f.held));
    }
}

LeftCaptures::~LeftCaptures()
{
    for (const Held& h : held_)
        if (h.fd >= 0)
            ::close(h.fd);
    if (baseFd_ >= 0)
        ::close(baseFd_);
}

std::string LeftCaptures::FileOf(std::size_t i) const
{
    if (i >= held_.size() || held_[i].fd < 0)
        return {};
    // What follows the last record counted (a record cut short by the end of the run, one the
    // reader refuses) is dropped, so the file reads to its end.
    const Held& h = held_[i];
    const int file = ::openat(h.fd, CaptureSpool::kFileName, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file >= 0) {
        struct stat st {};
        if (::fstat(file, &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == h.fileIno && h.end > 0
            && h.end < static_cast<std::uint64_t>(st.st_size))
            (void)::ftruncate(file, static_cast<off_t>(h.end));
        ::close(file);
    }
    return found_[i].path + "/" + CaptureSpool::kFileName;
}

void LeftCaptures::Remove(std::size_t i)
{
    if (i >= held_.size() || held_[i].fd < 0)
        return;
    Held& h = held_[i];
    struct stat st {};
    if (::fstatat(h.fd, CaptureSpool::kFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == h.fileIno)
        ::unlinkat(h.fd, CaptureSpool::kFileName, 0);
    // Not empty (something came into it meanwhile): it stays.
    if (::fstatat(baseFd_, h.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == h.dev
        && st.st_ino == h.dirIno)
        ::unlinkat(baseFd_, h.name.c_str(), AT_REMOVEDIR);
    ::close(h.fd);
    h.fd = -1;
}

}  // namespace quillet
