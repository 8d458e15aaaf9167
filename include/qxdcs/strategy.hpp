// A strategy run natively: the plant and the blocks of a strategy file as a
// plan of C++ blocks and numbered signal slots, and the loop that runs it,
// sample by sample. The blocks take their memory when they are built (the
// LPV plant its scratch in the first sample), so a sample allocates nothing,
// except for a line a block prints and a line a laboratory recorder writes.
//
// The plan (qxdcs::strategy::Plan) is plain data with every number resolved:
// discrete coefficients, random numbers drawn, operating points filled. The
// Python package compiles its checked plans to it (qxdcs.strategy.native:
// coefficients from SciPy through the Python modules, random numbers from
// NumPy, so both engines agree bit for bit); a C++ program builds one from a
// strategy file or from the file's data built in code (strategy_file.hpp,
// Strategy::from_file).
//
// Signals are slots 0 .. n-1 (Plan::signals names them). One sample k, in
// this order:
//   1. the schedules write their values for k (steps, ramps, laboratory
//      times; a constant is its slot's initial value and is never written);
//   2. the steps run in plan order, each reading its input slots and
//      writing its output slot (a PID reads its own output slot as the
//      tracking value: the valve position of the previous sample);
//   3. every slot is recorded: row k of the traces;
//   4. the plant takes the MV slots (and the working value and the
//      disturbances) and writes the CV slots for sample k + 1;
//   5. the after steps (blocks that delay) write their slots for k + 1.
// The values a block computes with are exactly those of the Python blocks:
// each kind below says which library class or formula runs, with the
// operations in the order of the Python engine's loop (evaluated left to
// right, no fused multiply-add).
//
// Non-finite values: every value written is checked; the first that is NaN
// or infinite is kept (non_finite(): sample, signal, the block that wrote
// it), and with stop_at_non_finite the run stops there. Within a sample the
// writes count in this order: the CVs and the after steps' outputs carried
// in from the end of the sample before (for sample 0: every slot's initial
// value that no schedule or step overwrites), then the schedules, then the
// steps. The rows before the sample are complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "qxdcs/config.hpp"
#include "qxdcs/error.hpp"
#include "qxdcs/process_sim.hpp"

namespace qxdcs {

namespace strategy {

// Points in time: [time in seconds, value].
using TimedValues = std::vector<std::pair<double, double>>;

// A CV/MV pair of a model: no effect, or a discrete filter Gz_num/Gz_den
// (dead time as leading zeros of the numerator), as a TfzModel runs it.
struct Pair {
    bool none = true;
    std::vector<double> num, den;

    static Pair no_model() { return {}; }
    static Pair filter(std::vector<double> num, std::vector<double> den) {
        return {false, std::move(num), std::move(den)};
    }
};

// --- the kinds of step ---------------------------------------------------------------------------
// Schedules (no inputs):
struct Constant {                 // the slot's initial value, never written
    double value = 0.0;
};
struct Steps {                    // `initial`, then each value from the first sample at or after its time
    double initial = 0.0;
    TimedValues at;               // times not decreasing
};
struct Ramp {                     // numpy.interp(k * Ts, times, values): held outside the points
    TimedValues points;           // times increasing
};
struct LabTime {                  // start + drawn * Ts, drawn the sample of the latest result known
    long long every = 1, delay = 0;
};
// Steps:
struct Noise {                    // input (or 0) + values[k]
    std::vector<double> values;   // one per sample: Gaussian noise plus its mean
};
struct FilteredNoise {            // (input (or 0) + ZFilter(bz, az, 0, 0)(noise[k])) + offset
    std::vector<double> noise;    // one per sample
    std::vector<double> bz, az;
    double offset = 0.0;
};
struct TestSignal {               // offset + TestSignal(table, half_period_s, amplitude)(whole second of k*Ts)
    std::vector<double> table;
    long long half_period_s = 10;
    double amplitude = 1.0;
    double offset = 0.0;
};
struct Sum {                      // ((bias + gains[0]*in[0]) + gains[1]*in[1]) + ...
    std::vector<double> gains;
    double bias = 0.0;
};
struct LeadLag {                  // gain * LeadLag(b, a; state zi after u_last, y_last)(input) + offset
    std::vector<double> b, a, zi;
    double u_last = 0.0, y_last = 0.0;
    double gain = 1.0, offset = 0.0;
};
struct TransferFunction {         // gain * ZFilter(bz, az, u_ini, y_ini)(input)
    std::vector<double> bz, az;
    double u_ini = 0.0, y_ini = 0.0;
    double gain = 1.0;
};
struct RateLimit {                // RateLimit(u_ini, Ts)(input, rise_per_min, fall_per_min)
    double u_ini = 0.0;
    double rise_per_min = 60.0, fall_per_min = 60.0;
};
struct Delay {                    // the input of `samples` samples before (an after step)
    long long samples = 1;
};
struct Model {                    // a MimoSim of one CV whose MVs are the inputs, in order
    std::vector<Pair> pairs;      // one per input
    std::vector<double> u_ini;    // the inputs' initial values
    double y_ini = 0.0;
};
struct Pid {                      // Pid(Ts).run(mode, SP = in[0], PV = in[1], TV = own output, FF = in[2] or 0)
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    double op_high = 100.0, op_low = 0.0;
    int mode = 1;                 // 1 automatic, 0 manual at the start
    std::vector<std::pair<double, int>> mode_changes;  // [time_s, mode], times not decreasing
};
struct Alarm {                    // an on-delay or off-delay timer of `samples` over a condition
    bool on_delay = true;
    long long samples = 1;
    std::optional<double> band;   // |in[0] - in[1]| > band
    std::optional<double> above;  // in[0] > above (or below, or outside both)
    std::optional<double> below;
};
struct LabValue {                 // the latest laboratory result of the input
    long long every = 1, delay = 0;
    double initial = 0.0;         // known before the first result arrives
    std::vector<double> noise;    // one per sample drawn: at least samples / every + 2
};
struct BiasUpdate {               // SoftSensorBiasUpdate.run(prediction, lab value, lab time, sample time)
    std::string name;
    double filter_tao = 5.0;
    std::vector<double> filter_bz, filter_az;  // the bias filter's coefficients (empty: the library's own)
    double abs_threshold = 1e-6;
    std::size_t prd_len = 28800, const_len = 60;
};
struct LabRecorder {              // 1 when LabDataRecorder.run(lab value, lab time) wrote a line
    std::string name;
    double abs_threshold = 1e-6;
    std::size_t const_len = 60;
};

using Params = std::variant<Constant, Steps, Ramp, LabTime, Noise, FilteredNoise, TestSignal, Sum,
                            LeadLag, TransferFunction, RateLimit, Delay, Model, Pid, Alarm,
                            LabValue, BiasUpdate, LabRecorder>;

// The name of a kind, as the Python plan spells it ("constant", "steps", ...).
const char *kind_name(const Params &p);

struct Step {
    std::string key;                   // where the file describes it: "loop.TI101.mv"
    Params params;
    std::vector<std::size_t> inputs;   // slots read
    std::size_t output = 0;            // slot written
};

// One local plant of the plant (the one plant of a MIMO plant).
struct LocalPlant {
    double working_point = 0.0;            // LPV only
    std::vector<std::string> cvs, mvs;
    std::vector<Pair> pairs;               // CV-major: cvs.size() * mvs.size()
    std::vector<double> u_ini, y_ini;      // by MV, by CV (an LPV local plant's CVs start at 0)
};

struct Plant {
    bool lpv = false;
    std::vector<LocalPlant> locals;
    TagValues initial;                                   // by tag (LPV: the blend's initial values)
    std::vector<std::pair<std::string, std::size_t>> mv;  // (MV tag, slot read)
    std::vector<std::pair<std::string, std::size_t>> cv;  // (CV tag, slot written)
    std::vector<std::pair<std::string, std::size_t>> disturbance;  // (CV tag, slot added)
    std::optional<std::size_t> working_value;            // slot (LPV)
};

struct Plan {
    std::string source;                // the strategy file, for messages
    double sample_period = 1.0;        // seconds
    std::size_t samples = 0;
    double start = 0.0;                // seconds since the epoch at sample 0
    std::vector<std::string> signals;  // slot -> name
    std::vector<double> initial;       // slot -> value before sample 0
    std::vector<Step> schedules, steps, after;
    Plant plant;
};

// Where a value first stopped being a finite number.
struct NonFinite {
    std::size_t sample = 0;
    std::size_t slot = 0;
    std::string block;     // the step's key, or "plant"
    double value = 0.0;
};

// Where a block failed (its error was thrown on).
struct Failure {
    std::size_t sample = 0;
    std::string block;     // the step's key, or "plant"
};

// The results a laboratory-value step saw arrive: (sample drawn, value).
struct LabArrivals {
    std::size_t slot = 0;
    std::vector<std::pair<std::size_t, double>> arrived;
};

}  // namespace strategy

class Strategy {
public:
    // The blocks of the plan, built and checked: ValueError for a plan whose
    // parts do not fit (a slot out of range, a noise table shorter than the
    // run, a local plant whose pairs do not fit its tags) and the errors of
    // the blocks' constructors. `lab_dir`: where laboratory recorders write
    // their CSV files (none: the recorders do not run, their slots stay at
    // their initial values).
    explicit Strategy(strategy::Plan plan, std::optional<std::string> lab_dir = std::nullopt);
    ~Strategy();
    Strategy(Strategy &&) noexcept;
    Strategy &operator=(Strategy &&) noexcept;
    Strategy(const Strategy &) = delete;
    Strategy &operator=(const Strategy &) = delete;

#if QXDCS_HAS_TOML
    // The strategy file at `path`, read, compiled and built
    // (strategy_file.hpp: the C++ discretisation and its own random
    // generator, so the traces agree with the Python engine's to about 1e-12
    // where the file has no noise).
    static Strategy from_file(const std::string &path,
                              std::optional<std::string> lab_dir = std::nullopt);
#endif

    const strategy::Plan &plan() const;
    std::size_t samples() const;
    std::size_t n_signals() const;
    const std::vector<std::string> &signals() const;
    std::optional<std::size_t> slot(const std::string &name) const;

    // The next sample to run (the samples before it are complete).
    std::size_t k() const;
    // The slots now: after a completed sample, the values the next one
    // starts from (its CVs and delayed values written).
    const std::vector<double> &values() const;

    // Runs samples k() .. min(k_end, samples()) - 1. Row i of `rows`
    // (n_signals() values each, null: not recorded) gets sample k() + i.
    // Returns the number of samples completed. A block's error is thrown on
    // after failure() has been set; k() is then the failing sample. With
    // stop_at_non_finite the run returns at the first non-finite value
    // (non_finite()), k() being its sample.
    std::size_t run_to(std::size_t k_end, double *rows = nullptr);
    // Runs to the end; the traces, samples() x n_signals(), row by row.
    std::vector<double> run();

    bool stop_at_non_finite = false;
    const std::optional<strategy::NonFinite> &non_finite() const;
    const std::optional<strategy::Failure> &failure() const;

    // Where the blocks' printed lines go (the soft sensor's): standard output
    // unless replaced; an empty sink drops them.
    void set_sink(MessageSink sink);
    // Whether laboratory recorders write their files (true): false runs them
    // without writing, as when a run is repeated to restore its state.
    void set_write_files(bool on);

    // The laboratory results that arrived so far, per laboratory-value step.
    std::vector<strategy::LabArrivals> lab_arrivals() const;

    // For benchmarks: nanoseconds a sample that step `index` of the plan
    // (schedules, then steps, then after steps) takes run alone, on a fresh
    // copy of its block, with its input slots set from `rows` (samples()
    // rows of n_signals() values: a complete run's traces) sample by sample,
    // over `repeats` runs (the best). The plant is index "plant" =
    // schedules + steps + after. The blocks of this strategy are not touched.
    double block_cost_ns(std::size_t index, const double *rows, int repeats = 3) const;
    std::size_t n_blocks() const;   // schedules + steps + after + 1 (the plant)
    std::string block_key(std::size_t index) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qxdcs
