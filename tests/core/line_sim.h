#pragma once
// The exchange machine against the simulated readers on a model line, in virtual time, from a
// seed: random requests and random faults, with the line's invariants checked after every
// step. Shared by the tests (a few thousand seeds) and bench_line_sim (millions).

#include <cstdint>
#include <string>

namespace quintrel::test {

struct TSimResult {
    bool Ok = true;
    std::string Failure; // what broke, at which step and virtual time
    std::uint64_t Exchanges = 0;
    std::uint64_t Steps = 0;
    std::uint64_t CardsDelivered = 0;
    std::uint64_t Sessions = 0; // sessions established or reopened
};

struct TSimOptions {
    int Steps = 400;    // random events before the calm that lets everything settle
    bool Trace = false; // print every write, delivery and action to standard error
};

TSimResult RunLineSimulation(std::uint64_t seed, const TSimOptions& options = {});

// The command line that replays one seed.
std::string ReplayCommand(std::uint64_t seed, const TSimOptions& options);

} // namespace quintrel::test
