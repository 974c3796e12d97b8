// The exchange machine's deterministic simulation over many seeds: every seed a schedule of
// requests and faults against the simulated readers, the line's invariants checked after every
// step. Reports the seeds run, the simulated exchanges per second and the first failure (with
// the command that replays it). Exits non-zero on a failure.
//   bench_line_sim [SEEDS [FIRST [STEPS]]]    default 1000000 seeds from 1, 300 steps each

#include "line_sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const unsigned long long seeds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const unsigned long long first = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    quintrel::test::TSimOptions options;
    if (argc > 3) options.Steps = std::atoi(argv[3]);
    unsigned long long exchanges = 0, cards = 0, sessions = 0;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned long long seed = first; seed < first + seeds; ++seed) {
        const quintrel::test::TSimResult r = quintrel::test::RunLineSimulation(seed, options);
        exchanges += r.Exchanges;
        cards += r.CardsDelivered;
        sessions += r.Sessions;
        if (!r.Ok) {
            std::printf("FAILED after %llu seeds: %s\n", seed - first, r.Failure.c_str());
            return 1;
        }
        if ((seed - first + 1) % 100000 == 0) {
            std::printf("%llu seeds\n", seed - first + 1);
            std::fflush(stdout);
        }
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu seeds, %llu simulated exchanges (%llu card reads, %llu sessions opened) in "
                "%.1f s: %.0f exchanges/s, %.0f seeds/s\n",
                seeds, exchanges, cards, sessions, s, exchanges / s, seeds / s);
    return 0;
}
