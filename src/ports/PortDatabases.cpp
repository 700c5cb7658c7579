#include "ports/PortDatabases.h"

#include <QByteArray>
#include <QFile>
#include <QString>

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
            problems.push_back({fileName, lineNo,
                                "needs " + std::to_string(layout.fieldsNeeded) + " fields separated by TAB, has " +
                                    std::to_string(fields.size())});
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
        QFile f(QString::fromStdString(path));
        if (!f.open(QIODevice::ReadOnly)) {
            problems.push_back({path, 0, "cannot be read: " + f.errorString().toStdString()});
            continue;
        }
        const QByteArray bytes = f.readAll();
        if (f.error() != QFileDevice::NoError) {
            problems.push_back({path, 0, "cannot be read: " + f.errorString().toStdString()});
            continue;
        }
        ReadPortFile(file, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), path, into,
                     problems);
    }
    return problems;
}

std::string DescribePortFileProblems(const std::vector<PortFileProblem>& problems)
{
    std::string text;
    for (const PortFileProblem& p : problems) {
        if (!text.empty())
            text += '\n';
        text += p.file;
        if (p.line > 0)
            text += ", line " + std::to_string(p.line);
        text += ": " + p.what;
    }
    return text;
}

}  // namespace quillet
