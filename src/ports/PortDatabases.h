#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/TextMap.h"

namespace quillet {

// Which database names the ports of the packet list.
enum PortDatabase : int { kIana = 0, kPredefs = 1, kTrojans = 2 };

// The list's port-name preferences. Start values on every run.
struct PortPreferences {
    bool bPorts = false;  // port columns show names instead of numbers
    int Prefs = kIana;    // which database PortText consults
};

// The three port-name databases, port text to name text. Filled once at
// start-up, read-only afterwards.
struct PortDatabases {
    TextMap<std::string> dIana;     // iana.txt
    TextMap<std::string> dPredefs;  // predefs.txt
    TextMap<std::string> dTrojans;  // trojans.txt

    const TextMap<std::string>& byPrefs(int prefs) const
    {
        return prefs == kIana ? dIana : prefs == kPredefs ? dPredefs : dTrojans;
    }

    // The name the chosen database gives the port, or the port text itself.
    std::string_view PortText(std::string_view port, int prefs) const
    {
        const std::string* name = byPrefs(prefs).find(port);
        return name ? std::string_view(*name) : port;
    }

    // The stored name, or an empty text.
    static std::string_view InfoLookup(const TextMap<std::string>& map, std::string_view port)
    {
        const std::string* name = map.find(port);
        return name ? std::string_view(*name) : std::string_view();
    }
};

// One problem met while loading the port files: the file, the line (0 for the
// file as a whole) and what is wrong. A file with very many bad lines keeps
// only its first kPortFileLineProblemsKept of them one by one; the last one
// kept counts the rest in `more`, so a broken file costs bounded memory.
struct PortFileProblem {
    std::string file;
    int line = 0;
    std::string what;
    std::size_t more = 0;  // further bad lines of this file, not listed
};

inline constexpr std::size_t kPortFileLineProblemsKept = 100;
// A port file larger than this is refused unread.
inline constexpr std::size_t kPortFileMaxBytes = 16u * 1024u * 1024u;
// The problem text lists this many problems, then how many more there are.
inline constexpr std::size_t kPortFileProblemsListed = 20;

// Reads iana.txt, predefs.txt and trojans.txt (UTF-8) from dir, joined with
// "/", into the maps. A file that cannot be read, is not a regular file (a
// FIFO, a device, a link to one: refused without being opened, so start-up
// never waits on it) or is larger than kPortFileMaxBytes, or a line with too
// few fields, is reported and does not stop the rest from loading; empty lines are
// skipped. Lines end with CR LF, a lone CR or a lone LF; fields are cut at
// every TAB and taken as they stand; extra fields are ignored; a later line
// with the same key replaces an earlier one.
//   iana.txt:    name TAB port TAB description  -> key port, "name     description"
//   predefs.txt: port TAB name                  -> key port, name
//   trojans.txt: port TAB name                  -> key port, name
std::vector<PortFileProblem> LoadPortFiles(const std::string& dir, PortDatabases& into);

// The three files, in loading order.
enum class PortFile { kIana, kPredefs, kTrojans };
const char* PortFileName(PortFile file);

// Reads the content of one file into its map, adding problems named after
// fileName (a path or the bare name).
void ReadPortFile(PortFile file, std::string_view content, const std::string& fileName, PortDatabases& into,
                  std::vector<PortFileProblem>& problems);

// One text for the user listing the first kPortFileProblemsListed problems,
// one per line ("file, line n: what"; files skipped as a whole before bad
// lines), then "... and N more problems" when
// there are more; empty when there are none. Its length does not grow with
// the number of problems.
std::string DescribePortFileProblems(const std::vector<PortFileProblem>& problems);

}  // namespace quillet
