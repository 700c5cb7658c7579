// The start-up cost of a broken port file: reading 100,000 (or the most a
// 16 MiB file holds, 8 million) lines without enough fields, and the text of
// the start-up message for them.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ports/PortDatabases.h"

namespace {

std::string BadLines(std::size_t lines)
{
    std::string content;
    content.reserve(lines * 2);
    for (std::size_t i = 0; i < lines; ++i)
        content += "x\n";
    return content;
}

void BM_ReadBadLinesAndDescribe(benchmark::State& state)
{
    const std::string content = BadLines(static_cast<std::size_t>(state.range(0)));
    std::size_t messageBytes = 0;
    for (auto _ : state) {
        quillet::PortDatabases db;
        std::vector<quillet::PortFileProblem> problems;
        quillet::ReadPortFile(quillet::PortFile::kIana, content, "/opt/quillet/bin/iana.txt", db, problems);
        const std::string text = quillet::DescribePortFileProblems(problems);
        messageBytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["message_bytes"] = static_cast<double>(messageBytes);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(content.size()));
}
BENCHMARK(BM_ReadBadLinesAndDescribe)->Arg(100000)->Arg(8 * 1024 * 1024)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
