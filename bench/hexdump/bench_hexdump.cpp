// The cost of a row click: formatting a payload, and filling both text boxes.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>

#include "inspect/HexDump.h"
#include "inspect/PayloadPane.h"

namespace {

std::string Payload(std::size_t size)
{
    std::string payload(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        payload[i] = static_cast<char>(i * 31 + 7);
    return payload;
}

void BM_HexDump(benchmark::State& state)
{
    const std::string payload = Payload(static_cast<std::size_t>(state.range(0)));
    const int n = static_cast<int>(state.range(1));
    for (auto _ : state)
        benchmark::DoNotOptimize(quillet::HexDump(payload, n));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HexDump)->Args({1460, 10})->Args({65515, 10})->Args({65515, 1});

// Filling the two boxes; the width gives 10 bytes per line (337 px) or 1 (40 px).
void BM_ShowPayload(benchmark::State& state)
{
    const std::string payload = Payload(static_cast<std::size_t>(state.range(0)));
    const QByteArray bytes(payload.data(), static_cast<qsizetype>(payload.size()));
    QPlainTextEdit Text1;
    QPlainTextEdit txtData;
    Text1.resize(static_cast<int>(state.range(1)), 200);
    for (auto _ : state)
        quillet::ShowPayload(&Text1, &txtData, bytes);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ShowPayload)->Args({1460, 337})->Args({65515, 337})->Args({65515, 40})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
