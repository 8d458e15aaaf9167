// A strategy run natively from C++: first one built in code (two PI loops on
// the 2 x 2 plant of plant_2x2.json, with a feed-forward and an alarm), then,
// where the library reads strategy files, a strategy file (by default the
// package's reactor, qxdcs/examples/reactor.toml). Each run prints a table of
// its loops and what a sample cost.
//
//     strategy_run [strategy.toml]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <qxdcs/model_json.hpp>
#include <qxdcs/strategy.hpp>
#include <qxdcs/strategy_file.hpp>

namespace sf = qxdcs::strategy::file;

namespace {

// Every `every`-th sample of the signals named, and the last one.
void table(const qxdcs::Strategy &run, const std::vector<double> &rows,
           const std::vector<std::string> &names, std::size_t every) {
    std::vector<std::size_t> slots;
    std::printf("%8s", "sample");
    for (const std::string &n : names) {
        slots.push_back(*run.slot(n));
        std::printf(" %12s", n.c_str());
    }
    std::printf("\n");
    const std::size_t n = run.n_signals(), samples = rows.size() / n;
    for (std::size_t k = 0; k < samples; ++k) {
        if (k % every != 0 && k + 1 != samples)
            continue;
        std::printf("%8zu", k);
        for (std::size_t s : slots)
            std::printf(" %12.4f", rows[k * n + s]);
        std::printf("\n");
    }
}

std::vector<double> timed_run(qxdcs::Strategy &run, const char *what) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<double> rows = run.run();
    const double ns = std::chrono::duration<double, std::nano>(
                          std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %zu samples of %zu signals, %.0f ns a sample\n", what, run.samples(),
                run.n_signals(), ns / double(run.samples()));
    if (run.non_finite())
        std::printf("  %s is not a finite number from sample %zu on (written by %s)\n",
                    run.signals()[run.non_finite()->slot].c_str(), run.non_finite()->sample,
                    run.non_finite()->block.c_str());
    return rows;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        // --- a strategy built in code --------------------------------------------------------
        sf::Description d;
        d.source = "built in code";
        d.simulation.sample_period_s = 1.0;
        d.simulation.samples = 600;
        d.plant.model = qxdcs::read_model_json(PLANT_JSON);
        d.plant.initial = {{"TI101", 85.0}, {"AI201", 40.0}, {"FV101", 50.0}, {"FV201", 45.0}};
        // TI101 by the coolant valve (reverse acting), its setpoint 82 from 60 s on, a
        // feed-forward of the feed valve; AI201 by the feed valve, 41.5 from 300 s on.
        sf::Loop temp = sf::Loop::pi("TI101", "TI101", "FV101", -1.2, 20.0);
        temp.setpoint_steps({{60.0, 82.0}});
        temp.feedforward = sf::Feedforward{"FV201", 0.375, std::make_pair(1.0, 0.0), {}, {}};
        sf::Loop conc = sf::Loop::pi("AI201", "AI201", "FV201", 3.0, 15.0);
        conc.TD = 2.0;
        conc.setpoint_steps({{300.0, 41.5}});
        conc.sp_rate_per_min = 3.0;
        d.loops = {temp, conc};
        sf::Alarm a;
        a.name = "TI101_off";
        a.loop = "TI101";
        a.band = 1.0;
        a.delay_s = 30.0;
        d.alarms.push_back(a);
        qxdcs::Strategy coded(qxdcs::strategy::compile(d));
        const std::vector<double> rows = timed_run(coded, "built in code");
        table(coded, rows, {"SP_TI101", "TI101", "FV101", "SP_AI201", "AI201", "FV201",
                            "TI101_off"},
              60);

#if QXDCS_HAS_TOML
        // --- a strategy file ------------------------------------------------------------------
        const std::string path = argc > 1 ? argv[1] : STRATEGY_TOML;
        qxdcs::Strategy file = qxdcs::Strategy::from_file(path);
        file.set_sink({});   // the soft sensor's lines
        const std::vector<double> frows = timed_run(file, path.c_str());
        std::vector<std::string> names;
        for (const qxdcs::strategy::Step &s : file.plan().steps)
            if (std::holds_alternative<qxdcs::strategy::Pid>(s.params)) {
                names.push_back(file.signals()[s.inputs[0]]);   // its setpoint
                names.push_back(file.signals()[s.inputs[1]]);   // its measurement
                names.push_back(file.signals()[s.output]);
            }
        table(file, frows, names, file.samples() / 8);
#else
        (void)argc;
        (void)argv;
        std::printf("this copy of qxdcs reads no strategy files (built without toml++)\n");
#endif
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "strategy_run: %s\n", e.what());
        return 1;
    }
}
