// Frames built per second by the command builder, for the frames the window sends most.

#include <benchmark/benchmark.h>

#include "protocol/Frame.h"

namespace {

void BuildFrames(benchmark::State& state, TModel model, bool encrypt) {
    TCommandInputs inputs;
    ApplyModelSelection(inputs, model);
    inputs.Encrypt = encrypt;
    TCipherState cipherState{};
    size_t bytes = 0;
    for (auto _ : state) {
        const auto frame = BuildCommandFrame(inputs, cipherState);
        bytes += frame.size();
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK_CAPTURE(BuildFrames, SetIdKestrelA, TModel::KestrelA, false);
BENCHMARK_CAPTURE(BuildFrames, SetIdKestrelACipher, TModel::KestrelA, true);
BENCHMARK_CAPTURE(BuildFrames, SetIdMarlinA44DataBytes, TModel::MarlinA, false);
BENCHMARK_CAPTURE(BuildFrames, SetIdMarlinA44DataBytesCipher, TModel::MarlinA, true);

} // namespace

BENCHMARK_MAIN();
