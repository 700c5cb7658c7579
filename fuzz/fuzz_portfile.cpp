// Feeds arbitrary bytes to the port-file parser as each of the three files;
// any crash, overflow, undefined behaviour or broken invariant is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ports/PortDatabases.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    // An upper bound on the lines: every CR or LF may end one, and the text
    // after the last one is a line as well.
    const std::size_t maxLines = static_cast<std::size_t>(std::count_if(
                                     content.begin(), content.end(), [](char c) { return c == '\r' || c == '\n'; })) +
                                 1;
    for (quillet::PortFile file : {quillet::PortFile::kIana, quillet::PortFile::kPredefs, quillet::PortFile::kTrojans}) {
        quillet::PortDatabases db;
        std::vector<quillet::PortFileProblem> problems;
        quillet::ReadPortFile(file, content, quillet::PortFileName(file), db, problems);

        const auto& map = file == quillet::PortFile::kIana      ? db.dIana
                          : file == quillet::PortFile::kPredefs ? db.dPredefs
                                                                : db.dTrojans;
        // Only the file's own map fills, never with a line end inside.
        Check(db.dIana.count() + db.dPredefs.count() + db.dTrojans.count() == map.count());
        std::size_t total = 0;
        for (const auto& [key, name] : map) {
            Check(key.find_first_of("\r\n") == std::string::npos);
            Check(name.find_first_of("\r\n") == std::string::npos);
            Check(file != quillet::PortFile::kIana || name.find("     ") != std::string::npos);
            Check(db.PortText(key, static_cast<int>(file)) == name);
        }
        // Problems: in line order, bounded in number, each line counted once.
        Check(problems.size() <= quillet::kPortFileLineProblemsKept);
        int lastLine = 0;
        for (const auto& p : problems) {
            Check(p.line > lastLine);
            lastLine = p.line;
            total += 1 + p.more;
        }
        Check(map.count() + total <= maxLines);
        const std::string text = quillet::DescribePortFileProblems(problems);
        Check(text.empty() == problems.empty());
        Check(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) <=
              quillet::kPortFileProblemsListed);
    }
    return 0;
}
