// The exchange machine in deterministic simulation: each seed a schedule of requests and
// faults, the line's invariants checked after every step (see line_sim.cpp). A failing seed
// prints the command that replays it with a trace.

#include "line_sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace quintrel::test {
namespace {

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(LineSimulation, Seeds) {
    TSimOptions options;
    options.Steps = static_cast<int>(EnvNumber("QUINTREL_SIM_STEPS", 300));
    options.Trace = EnvNumber("QUINTREL_SIM_TRACE", 0) != 0;
    const std::uint64_t one = EnvNumber("QUINTREL_SIM_SEED", 0);
    const std::uint64_t first = one ? one : 1;
    const std::uint64_t count = one ? 1 : EnvNumber("QUINTREL_SIM_SEEDS", 3000);
    std::uint64_t exchanges = 0;
    for (std::uint64_t seed = first; seed < first + count; ++seed) {
        const TSimResult r = RunLineSimulation(seed, options);
        ASSERT_TRUE(r.Ok) << r.Failure;
        exchanges += r.Exchanges;
    }
    EXPECT_GT(exchanges, count * 50);
}

} // namespace
} // namespace quintrel::test
