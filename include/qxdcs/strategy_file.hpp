// A strategy file's content in C++: the simulation, the plant, loops,
// signals, alarms and soft sensors, as the file describes them (see
// docs/strategy-files.md for every key), read from the TOML file or built in
// code, and compiled into a plan that qxdcs::Strategy runs.
//
//     // From a file (the library built with toml++ and the JSON reader):
//     qxdcs::Strategy run = qxdcs::Strategy::from_file("reactor.toml");
//     std::vector<double> traces = run.run();
//
//     // The same data built in code:
//     namespace sf = qxdcs::strategy::file;
//     sf::Description d;
//     d.simulation.sample_period_s = 1.0;
//     d.simulation.samples = 600;
//     d.plant.model = model;                              // a qxdcs::ModelDict
//     d.plant.initial = {{"T", 20.0}, {"V", 50.0}};
//     d.loops.push_back(sf::Loop::pi("TC", "T", "V", 2.0, 10.0).setpoint_steps({{60, 21.0}}));
//     qxdcs::Strategy run(qxdcs::strategy::compile(d));
//
// compile() expands the description into blocks exactly as the Python
// checker does (qxdcs/strategy/blocks.py): the same blocks, signal names,
// running order, initial values and operating points, and the same random
// stream numbers (the block's seed, or the CRC-32 of its name). What it
// computes itself differs from the Python side in two ways:
//   * continuous transfer functions are discretised by the C++ c2d (c2d.hpp),
//     which agrees with SciPy to rounding, not bit for bit;
//   * Gaussian noise comes from its own generator (std::mt19937_64 seeded
//     from NumPy's SeedSequence of [seed, stream], normal deviates by the
//     polar method), not from NumPy's streams.
// A strategy without noise therefore gives the Python engine's traces to
// about 1e-12 (relative), not bit for bit; the test signal's table is
// NumPy's own (the legacy generator, seeded as the Python engine seeds it).
// For bit-for-bit agreement, compile in Python (qxdcs.strategy.native).
//
// Checks: compile() refuses what would make the blocks fail or the plan
// meaningless (ValueError "<source>: <key path>: <what>"): a signal that
// nothing writes, a signal written twice, a cycle without a block that
// delays, durations that are not whole samples, a plant without CVs, a loop
// whose mv is a CV, lead-lags and LPV plants at a sample period that is not
// a whole number of seconds. The TOML reader refuses unknown keys, missing
// keys and values of the wrong type, naming the key path. It stops at the
// first problem; `qxdcs check FILE` lists all of them, with the warnings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qxdcs/config.hpp"
#include "qxdcs/process_sim.hpp"
#include "qxdcs/strategy.hpp"

namespace qxdcs {
namespace strategy {
namespace file {

struct Simulation {
    double sample_period_s = 1.0;
    std::optional<double> duration_s;      // one of the two
    std::optional<std::size_t> samples;
    std::uint64_t seed = 0;
    std::string time_unit = "s";           // "s", "min" or "h": display only
    // The clock at sample 0, seconds since the epoch (a file's date-time is
    // local time); by default 2026-01-05T08:00:00 local time.
    std::optional<double> start;
};

struct LocalPlant {
    std::string name;
    double working_point = 0.0;
    ModelDict model;
    double gain = 1.0;             // a factor on every gain of the model
};

struct Plant {
    std::optional<ModelDict> model;          // a MIMO plant ...
    std::vector<LocalPlant> local;           // ... or the local plants of an LPV plant
    std::string working_value;               // LPV: the signal that blends them
    TagValues initial;
    std::vector<std::pair<std::string, std::string>> units;        // tag -> unit
    std::vector<std::pair<std::string, std::string>> disturbance;  // CV -> signal added
};

struct Feedforward {
    std::string signal;
    double gain = 1.0;
    std::optional<std::pair<double, double>> lead_lag;   // (alpha, tao_s)
    std::vector<double> num_s, den_s;                    // or a transfer function
};

struct Setpoint {
    enum class Kind { Initial, Value, Signal, Steps };
    Kind kind = Kind::Initial;     // Initial: the cv's initial value
    double value = 0.0;
    std::string signal;            // a cascade: the signal another loop writes
    TimedValues steps;             // [time_s, value], the cv's initial value before
};

struct Loop {
    std::string name, cv, mv;
    double KP = 1.0, TI = 0.0, TD = 0.0, N = 10.0;
    double op_high = 100.0, op_low = 0.0;
    bool automatic = true;                             // mode at the start
    std::vector<std::pair<double, bool>> mode_changes;  // [time_s, automatic]
    Setpoint sp;
    std::optional<double> sp_rate_per_min;
    double measurement_noise = 0.0;
    std::optional<std::uint64_t> noise_seed;
    std::optional<Feedforward> feedforward;

    static Loop pi(std::string name, std::string cv, std::string mv, double KP, double TI) {
        Loop l;
        l.name = std::move(name);
        l.cv = std::move(cv);
        l.mv = std::move(mv);
        l.KP = KP;
        l.TI = TI;
        return l;
    }
    Loop &setpoint(double v) {
        sp.kind = Setpoint::Kind::Value;
        sp.value = v;
        return *this;
    }
    Loop &setpoint_signal(std::string s) {
        sp.kind = Setpoint::Kind::Signal;
        sp.signal = std::move(s);
        return *this;
    }
    Loop &setpoint_steps(TimedValues s) {
        sp.kind = Setpoint::Kind::Steps;
        sp.steps = std::move(s);
        return *this;
    }
    Loop &limits(double low, double high) {
        op_low = low;
        op_high = high;
        return *this;
    }
};

// A [signal.NAME] table; `kind` is the file's ("constant", "steps", "ramp",
// "noise", "filtered_noise", "test_signal", "sum", "lead_lag",
// "transfer_function", "rate_limit", "delay", "model") and the keys it reads
// are those of the file.
struct Signal {
    std::string name, kind, unit;
    double value = 0.0;                         // constant
    double initial = 0.0;                       // steps, model
    std::optional<double> tf_initial;           // transfer_function's `initial`
    TimedValues at, points;                     // steps, ramp
    std::string of, input;                      // noise, filtered_noise / one-input blocks
    double sigma = 0.0, mean = 0.0, offset = 0.0;
    std::vector<double> num_s, den_s;
    std::optional<std::uint64_t> seed;
    long long half_period_s = 10;
    double amplitude = 1.0;
    std::vector<std::pair<std::string, double>> inputs;   // sum: signal -> gain
    double bias = 0.0;
    double alpha = 0.0, tao_s = 0.0;
    double rise_per_min = 60.0;
    std::optional<double> fall_per_min;
    double delay_s = 0.0;
    std::vector<std::pair<std::string, ModelSpec>> model;  // input signal -> pair

    static Signal constant(std::string name, double value);
    static Signal steps(std::string name, double initial, TimedValues at);
    static Signal ramp(std::string name, TimedValues points);
    static Signal noise(std::string name, double sigma, std::string of = "", double mean = 0.0);
    static Signal sum(std::string name, std::vector<std::pair<std::string, double>> inputs,
                      double bias = 0.0);
    static Signal delay(std::string name, std::string input, double delay_s);
};

struct Alarm {
    std::string name;
    bool on_delay = true;                   // "on_delay" or "off_delay"
    std::string loop, signal;               // a loop's |SP - PV| > band, or a signal's limits
    std::optional<double> band, above, below;
    double delay_s = 0.0;
};

struct SoftSensor {
    std::string name, prediction, true_value, unit;
    double lab_every_s = 0.0, lab_delay_s = 0.0, lab_noise = 0.0;
    std::optional<std::uint64_t> lab_seed;
    double bias_filter_samples = 5.0;
    long long const_samples = 2, history_samples = 28800;
    double abs_threshold = 1e-6;
    bool record = true;
};

// The whole file; tables in file order (the order decides the running order
// where what the blocks read leaves a choice, and the order of the traces).
struct Description {
    std::string source = "<strategy>";     // the file, for messages
    Simulation simulation;
    Plant plant;
    std::vector<Loop> loops;
    std::vector<Signal> signals;
    std::vector<Alarm> alarms;
    std::vector<SoftSensor> soft_sensors;
};

#if QXDCS_HAS_TOML
// The strategy file at `path` (model files named in it are read beside it).
// ValueError "<path>: <key path>: <what>" for what the reader refuses,
// OSError when a file cannot be read.
Description read_file(const std::string &path);
// The same for TOML text; model file paths are taken relative to `base_dir`.
Description parse(const std::string &text, const std::string &source = "<strategy>",
                  const std::string &base_dir = ".");
#endif

}  // namespace file

// The plan of a description: its blocks expanded, checked, ordered and
// resolved (see the top of this file). `samples` and `seed` override the
// simulation's, as `qxdcs run --samples/--seed` do.
Plan compile(const file::Description &d, std::optional<std::size_t> samples = std::nullopt,
             std::optional<std::uint64_t> seed = std::nullopt);

// The stream number of a block without a seed of its own: the CRC-32 of its
// name, as zlib.crc32 computes it.
std::uint32_t stream_of(const std::string &name);

// NumPy's SeedSequence(entropy).generate_state(n_words) (32-bit words).
std::vector<std::uint32_t> seed_sequence_state(const std::vector<std::uint64_t> &entropy,
                                               std::size_t n_words);

}  // namespace strategy
}  // namespace qxdcs
