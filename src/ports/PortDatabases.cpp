#include "ports/PortDatabases.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

namespace quillet {

namespace {

struct FileLayout {
    std::size_t fieldsNeeded;
    std::size_t keyField;  // counted from 0
};

FileLayout LayoutOf(PortFile file)
{
    return file == PortFile::kIana ? FileLayout{3, 1} : FileLayout{2, 0};
}

TextMap<std::string>& MapOf(PortFile file, PortDatabases& into)
{
    switch (file) {
    case PortFile::kIana:
        return into.dIana;
    case PortFile::kPredefs:
        return into.dPredefs;
    case PortFile::kTrojans:
        break;
    }
    return into.dTrojans;
}

// Cuts a line at every TAB.
void SplitFields(std::string_view line, std::vector<std::string_view>& fields)
{
    fields.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

// A text of the problem messages in the window's language, its places filled.
std::string Said(const char* text, std::initializer_list<std::string> args = {})
{
    const QString out = QCoreApplication::translate("PortDatabases", text);
    std::vector<QString> w;
    for (const std::string& a : args)
        w.push_back(QString::fromStdString(a));
    // In one pass, so that a file name holding "%2" is not filled in again.
    switch (w.size()) {
    case 0:
        return out.toStdString();
    case 1:
        return out.arg(w[0]).toStdString();
    case 2:
        return out.arg(w[0], w[1]).toStdString();
    default:
        return out.arg(w[0], w[1], w[2]).toStdString();
    }
}

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QT_TRANSLATE_NOOP("PortDatabases", "目录");
    if (S_ISFIFO(mode))
        return QT_TRANSLATE_NOOP("PortDatabases", "FIFO");
    if (S_ISCHR(mode))
        return QT_TRANSLATE_NOOP("PortDatabases", "字符设备");
    if (S_ISBLK(mode))
        return QT_TRANSLATE_NOOP("PortDatabases", "块设备");
    if (S_ISSOCK(mode))
        return QT_TRANSLATE_NOOP("PortDatabases", "套接字");
    return QT_TRANSLATE_NOOP("PortDatabases", "特殊文件");
}

std::string Errno(int err)
{
    return std::strerror(err);
}

// Reads a whole port file. Anything but a regular file of at most
// kPortFileMaxBytes is refused: the path is looked at with stat() first, so a
// FIFO or a device is never opened, and the descriptor is opened without
// blocking and checked again in case the path changed in between. Returns the
// problem text, empty on success.
std::string ReadRegularFile(const std::string& path, std::string& bytes)
{
    const auto refuse = [](const struct stat& st) -> std::string {
        if (!S_ISREG(st.st_mode))
            return Said(QT_TRANSLATE_NOOP("PortDatabases", "是%1，不是普通文件；已跳过"), {Said(KindOf(st.st_mode))});
        if (static_cast<unsigned long long>(st.st_size) > kPortFileMaxBytes)
            return Said(QT_TRANSLATE_NOOP("PortDatabases", "有 %1 字节，超过端口文件允许的 %2 MiB；已跳过"),
                        {std::to_string(static_cast<long long>(st.st_size)),
                         std::to_string(kPortFileMaxBytes / (1024 * 1024))});
        return {};
    };

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Said(QT_TRANSLATE_NOOP("PortDatabases", "无法读取：%1"), {Errno(errno)});
    if (std::string why = refuse(st); !why.empty())
        return why;

    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Said(QT_TRANSLATE_NOOP("PortDatabases", "无法读取：%1"), {Errno(errno)});
    std::string why;
    if (::fstat(fd, &st) != 0)
        why = Said(QT_TRANSLATE_NOOP("PortDatabases", "无法读取：%1"), {Errno(errno)});
    else
        why = refuse(st);
    if (why.empty()) {
        // Read at most one byte past the limit, so a file that grows while it
        // is read is still refused.
        bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, std::min(bytes.size() - got, kPortFileMaxBytes + 1 - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = Said(QT_TRANSLATE_NOOP("PortDatabases", "无法读取：%1"), {Errno(errno)});
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
            if (got > kPortFileMaxBytes) {
                why = Said(QT_TRANSLATE_NOOP("PortDatabases", "读取时增长超过端口文件允许的 %1 MiB；已跳过"),
                           {std::to_string(kPortFileMaxBytes / (1024 * 1024))});
                break;
            }
            if (got == bytes.size())
                bytes.resize(std::min(bytes.size() * 2, kPortFileMaxBytes + 1));
        }
        bytes.resize(why.empty() ? got : 0);
    }
    ::close(fd);
    return why;
}

}  // namespace

const char* PortFileName(PortFile file)
{
    switch (file) {
    case PortFile::kIana:
        return "iana.txt";
    case PortFile::kPredefs:
        return "predefs.txt";
    case PortFile::kTrojans:
        break;
    }
    return "trojans.txt";
}

void ReadPortFile(PortFile file, std::string_view content, const std::string& fileName, PortDatabases& into,
                  std::vector<PortFileProblem>& problems)
{
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (content.substr(0, kBom.size()) == kBom)
        content.remove_prefix(kBom.size());

    const FileLayout layout = LayoutOf(file);
    TextMap<std::string>& map = MapOf(file, into);
    std::vector<std::string_view> fields;
    std::size_t kept = 0;  // line problems of this file listed one by one
    int lineNo = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        ++lineNo;
        std::size_t end = content.find_first_of("\r\n", pos);
        std::string_view line;
        if (end == std::string_view::npos) {
            line = content.substr(pos);
            pos = content.size();
        } else {
            line = content.substr(pos, end - pos);
            pos = end + 1;
            if (content[end] == '\r' && pos < content.size() && content[pos] == '\n')
                ++pos;  // CR LF is one line end
        }
        if (line.empty())
            continue;
        SplitFields(line, fields);
        if (fields.size() < layout.fieldsNeeded) {
            if (kept < kPortFileLineProblemsKept) {
                problems.push_back({fileName, lineNo,
                                    Said(QT_TRANSLATE_NOOP("PortDatabases", "需要 %1 个以 TAB 分隔的字段，实有 %2 个"),
                                         {std::to_string(layout.fieldsNeeded), std::to_string(fields.size())})});
                ++kept;
            } else {
                ++problems.back().more;
            }
            continue;
        }
        const std::string_view key = fields[layout.keyField];
        if (file == PortFile::kIana) {
            std::string name;
            name.reserve(fields[0].size() + 5 + fields[2].size());
            name.append(fields[0]).append("     ").append(fields[2]);
            map.assign(key, std::move(name));
        } else {
            map.assign(key, std::string(fields[1]));
        }
    }
}

std::vector<PortFileProblem> LoadPortFiles(const std::string& dir, PortDatabases& into)
{
    std::vector<PortFileProblem> problems;
    for (PortFile file : {PortFile::kIana, PortFile::kPredefs, PortFile::kTrojans}) {
        const std::string path = dir + "/" + PortFileName(file);
        std::string bytes;
        if (std::string why = ReadRegularFile(path, bytes); !why.empty()) {
            problems.push_back({path, 0, std::move(why)});
            continue;
        }
        ReadPortFile(file, bytes, path, into, problems);
    }
    return problems;
}

std::string DescribePortFileProblems(const std::vector<PortFileProblem>& problems)
{
    std::string text;
    std::size_t total = 0;
    for (const PortFileProblem& p : problems)
        total += 1 + p.more;
    // Files skipped as a whole first: they are easy to miss behind many bad lines.
    std::size_t listed = 0;
    for (const bool wholeFile : {true, false}) {
        for (const PortFileProblem& p : problems) {
            if (listed == kPortFileProblemsListed)
                break;
            if ((p.line == 0) != wholeFile)
                continue;
            if (!text.empty())
                text += '\n';
            text += p.line > 0 ? Said(QT_TRANSLATE_NOOP("PortDatabases", "%1，第 %2 行：%3"),
                                      {p.file, std::to_string(p.line), p.what})
                               : Said(QT_TRANSLATE_NOOP("PortDatabases", "%1：%2"), {p.file, p.what});
            ++listed;
        }
    }
    if (total > listed)
        text += '\n' + (total - listed == 1 ? Said(QT_TRANSLATE_NOOP("PortDatabases", "……另有 1 个问题"))
                                            : Said(QT_TRANSLATE_NOOP("PortDatabases", "……另有 %1 个问题"),
                                                   {std::to_string(total - listed)}));
    return text;
}

}  // namespace quillet
