#include "inspect/StreamText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "inspect/HexDump.h"
#include "programs/SocketOwners.h"

namespace quillet {

QString ShownStreamBytes(std::string_view bytes, StreamShow show, bool lfFollows)
{
    QString shown;
    if (show == StreamShow::Hex) {
        const std::string dump = HexDump(bytes, 16).dump;
        shown.reserve(static_cast<qsizetype>(dump.size()));
        for (char c : dump)
            if (c != '\r')
                shown += QLatin1Char(c);
        return shown;
    }
    if (show == StreamShow::Raw) {
        // Line by line, so the escapes leave the breaks as they are.
        std::size_t from = 0;
        while (from <= bytes.size()) {
            const std::size_t lf = bytes.find('\n', from);
            const std::size_t to = lf == std::string_view::npos ? bytes.size() : lf;
            std::string_view line = bytes.substr(from, to - from);
            if (!line.empty() && line.back() == '\r' && lf != std::string_view::npos)
                line.remove_suffix(1);
            shown += QString::fromStdString(ShownName(line));
            if (lf == std::string_view::npos)
                break;
            shown += QLatin1Char('\n');
            from = lf + 1;
        }
        return shown;
    }
    shown.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' && (i + 1 < bytes.size() ? bytes[i + 1] == '\n' : lfFollows))
            continue;
        shown += c == '\n' ? QLatin1Char('\n') : c >= 0x20 && c < 0x7f ? QLatin1Char(static_cast<char>(c)) : QLatin1Char('.');
    }
    return shown;
}

bool SaveStreamBytes(const std::string& path, std::string_view bytes, std::string& error)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        error = "not a file name";
        return false;
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, 0) == 0 && !S_ISREG(st.st_mode)) {
        ::close(dir);
        error = "not a regular file";
        return false;
    }
    std::random_device random;
    std::string temp;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 16; ++tries) {
        temp = "." + name + "." + std::to_string(random()) + ".part";
        fd = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    bool ok = fd >= 0;
    if (!ok)
        error = std::strerror(errno);
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            error = std::strerror(errno);
            ok = false;
        } else {
            done += static_cast<std::size_t>(put);
        }
    }
    if (ok && ::fsync(fd) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    if (ok && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok && fd >= 0)
        ::unlinkat(dir, temp.c_str(), 0);
    ::close(dir);
    return ok;
}

}  // namespace quillet
