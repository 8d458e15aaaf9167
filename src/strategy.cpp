#include "qxdcs/strategy.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <type_traits>

#include "qxdcs/delay.hpp"
#include "qxdcs/filter.hpp"
#include "qxdcs/lab_recorder.hpp"
#include "qxdcs/lead_lag.hpp"
#include "qxdcs/lpv_plant.hpp"
#include "qxdcs/pid.hpp"
#include "qxdcs/rate_limit.hpp"
#include "qxdcs/soft_sensor.hpp"
#include "qxdcs/test_signal.hpp"
#include "qxdcs/trigger.hpp"

namespace qxdcs {

namespace strategy {

namespace {
template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;
}  // namespace

const char *kind_name(const Params &p) {
    return std::visit(
        Overloaded{[](const Constant &) { return "constant"; },
                   [](const Steps &) { return "steps"; },
                   [](const Ramp &) { return "ramp"; },
                   [](const LabTime &) { return "lab_time"; },
                   [](const Noise &) { return "noise"; },
                   [](const FilteredNoise &) { return "filtered_noise"; },
                   [](const TestSignal &) { return "test_signal"; },
                   [](const Sum &) { return "sum"; },
                   [](const LeadLag &) { return "lead_lag"; },
                   [](const TransferFunction &) { return "transfer_function"; },
                   [](const RateLimit &) { return "rate_limit"; },
                   [](const Delay &) { return "delay"; },
                   [](const Model &) { return "model"; },
                   [](const Pid &) { return "pid"; },
                   [](const Alarm &) { return "alarm"; },
                   [](const LabValue &) { return "lab_value"; },
                   [](const strategy::BiasUpdate &) { return "bias_update"; },
                   [](const LabRecorder &) { return "lab_recorder"; }},
        p);
}

}  // namespace strategy

namespace {

using namespace qxdcs::strategy;

[[noreturn]] void refuse(const std::string &what) { throw ValueError("strategy plan: " + what); }

// numpy.interp(x, xp, fp) for increasing xp, with NumPy's operations in its
// order: held at fp[0] before xp[0] and at fp[n-1] from xp[n-1] on; fp[j] at
// xp[j]; slope*(x - xp[j]) + fp[j] between, retried from the right end when
// that is NaN.
double numpy_interp(double x, const std::vector<double> &xp, const std::vector<double> &fp) {
    const std::size_t n = xp.size();
    if (n == 1)
        return fp[0];  // NumPy: fp[0] on either side and at the point (NaN too)
    if (std::isnan(x))
        return x;
    if (x < xp[0])
        return fp[0];
    if (x > xp[n - 1] || x == xp[n - 1])
        return fp[n - 1];
    std::size_t lo = 0, hi = n - 1;  // xp[lo] <= x < xp[hi]
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (xp[mid] <= x)
            lo = mid;
        else
            hi = mid;
    }
    const std::size_t j = lo;
    if (xp[j] == x)
        return fp[j];
    const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
    double r = slope * (x - xp[j]) + fp[j];
    if (std::isnan(r)) {
        r = slope * (x - xp[j + 1]) + fp[j + 1];
        if (std::isnan(r) && fp[j] == fp[j + 1])
            r = fp[j];
    }
    return r;
}

// A value held from the first sample at or after each time (the plan's
// steps, mode changes and setpoint lists): for sample k at t = k * Ts, the
// value of the last change whose time - 1e-9 Ts is at most t.
template <class T> class Held {
public:
    Held(T initial, const std::vector<std::pair<double, T>> &at, double ts) : initial_(initial) {
        for (const auto &[time, value] : at) {
            thr_.push_back(time - 1e-9 * ts);
            val_.push_back(value);
        }
        sorted_ = std::is_sorted(thr_.begin(), thr_.end());
    }
    T at(double t) {
        if (sorted_) {  // the times do not decrease: the changes passed are a prefix
            if (t < last_t_)
                p_ = 0;
            last_t_ = t;
            while (p_ < thr_.size() && t >= thr_[p_])
                ++p_;
            return p_ ? val_[p_ - 1] : initial_;
        }
        T v = initial_;
        for (std::size_t i = 0; i < thr_.size(); ++i)
            if (t >= thr_[i])
                v = val_[i];
        return v;
    }

private:
    T initial_;
    std::vector<double> thr_;
    std::vector<T> val_;
    bool sorted_ = true;
    std::size_t p_ = 0;
    double last_t_ = -std::numeric_limits<double>::infinity();
};

// What every block may need besides its own parameters.
struct Context {
    double ts = 1.0, start = 0.0;
    std::size_t samples = 0;
    const std::optional<std::string> *lab_dir = nullptr;
    const MessageSink *sink = nullptr;
    const bool *write_files = nullptr;
};

struct Block {
    std::size_t out = 0;
    std::vector<std::size_t> in;
    virtual ~Block() = default;
    virtual void run(std::size_t k, double *v) = 0;
};

std::vector<std::shared_ptr<ModelElement>> elements_of(const std::vector<Pair> &pairs) {
    std::vector<std::shared_ptr<ModelElement>> out;
    std::vector<TfzModel *> filters;
    std::size_t total = 0;
    for (const Pair &p : pairs) {
        if (p.none) {
            out.push_back(std::make_shared<NoModel>());
        } else {
            auto e = std::make_shared<TfzModel>(TfzModel::from_coefficients(p.num, p.den));
            filters.push_back(e.get());
            total += e->block_size();
            out.push_back(std::move(e));
        }
    }
    // One block of memory for all of them, in the order a sample walks them.
    if (total > 0) {
        std::shared_ptr<double> arena(new double[total](), std::default_delete<double[]>());
        std::size_t at = 0;
        for (TfzModel *f : filters) {
            f->move_block(arena, at);
            at += f->block_size();
        }
    }
    return out;
}

// --- schedules ---------------------------------------------------------------------------------

struct StepsBlock final : Block {
    double ts;
    Held<double> held;
    StepsBlock(const Steps &p, double ts_) : ts(ts_), held(p.initial, p.at, ts_) {}
    void run(std::size_t k, double *v) override { v[out] = held.at(double(k) * ts); }
};

struct RampBlock final : Block {
    double ts;
    std::vector<double> xp, fp;
    RampBlock(const Ramp &p, double ts_) : ts(ts_) {
        if (p.points.empty())
            refuse("a ramp needs at least one point");
        for (const auto &[t, x] : p.points) {
            xp.push_back(t);
            fp.push_back(x);
        }
    }
    void run(std::size_t k, double *v) override { v[out] = numpy_interp(double(k) * ts, xp, fp); }
};

struct LabTimeBlock final : Block {
    long long every, delay;
    double ts, start;
    LabTimeBlock(const LabTime &p, const Context &c)
        : every(p.every), delay(p.delay), ts(c.ts), start(c.start) {
        if (every < 1 || delay < 0)
            refuse("a laboratory time needs every >= 1 and delay >= 0");
    }
    void run(std::size_t k, double *v) override {
        const long long kk = (long long)k;
        const long long drawn = kk >= delay ? ((kk - delay) / every) * every : -every;
        v[out] = start + double(drawn) * ts;
    }
};

// --- steps -------------------------------------------------------------------------------------

struct NoiseBlock final : Block {
    std::vector<double> values;
    explicit NoiseBlock(const Noise &p) : values(p.values) {}
    void run(std::size_t k, double *v) override {
        v[out] = in.empty() ? values[k] : v[in[0]] + values[k];
    }
};

struct FilteredNoiseBlock final : Block {
    std::vector<double> noise;
    ZFilter filter;
    double offset;
    explicit FilteredNoiseBlock(const FilteredNoise &p)
        : noise(p.noise), filter(p.bz, p.az, 0.0, 0.0), offset(p.offset) {}
    void run(std::size_t k, double *v) override {
        const double y = filter(noise[k]);
        v[out] = in.empty() ? y + offset : (v[in[0]] + y) + offset;
    }
};

struct TestSignalBlock final : Block {
    qxdcs::TestSignal gen;
    double ts, offset;
    TestSignalBlock(const strategy::TestSignal &p, double ts_)
        : gen(p.table), ts(ts_), offset(p.offset) {
        gen.set_ET(double(p.half_period_s));
        gen.set_amplitude(p.amplitude);
    }
    void run(std::size_t k, double *v) override {
        // The sample's time in whole seconds from the start (rounded, halves to even).
        const long long t = (long long)std::nearbyint(double(k) * ts);
        v[out] = gen(t).U + offset;
    }
};

struct SumBlock final : Block {
    std::vector<double> gains;
    double bias;
    explicit SumBlock(const Sum &p) : gains(p.gains), bias(p.bias) {}
    void run(std::size_t, double *v) override {
        double acc = bias;
        for (std::size_t j = 0; j < gains.size(); ++j)
            acc = acc + gains[j] * v[in[j]];
        v[out] = acc;
    }
};

struct LeadLagBlock final : Block {
    qxdcs::LeadLag filter;
    double gain, offset;
    explicit LeadLagBlock(const strategy::LeadLag &p) : gain(p.gain), offset(p.offset) {
        LastSample last;
        last.u = p.u_last;
        last.y = p.y_last;
        last.u_known = last.y_known = true;
        filter.restore(p.b, p.a, p.zi, last);
    }
    void run(std::size_t, double *v) override { v[out] = gain * filter(v[in[0]]) + offset; }
};

struct TransferFunctionBlock final : Block {
    ZFilter filter;
    double gain;
    explicit TransferFunctionBlock(const TransferFunction &p)
        : filter(p.bz, p.az, p.u_ini, p.y_ini), gain(p.gain) {}
    void run(std::size_t, double *v) override { v[out] = gain * filter(v[in[0]]); }
};

struct RateLimitBlock final : Block {
    qxdcs::RateLimit limit;
    double rise, fall;
    RateLimitBlock(const strategy::RateLimit &p, double ts)
        : limit(p.u_ini, ts), rise(p.rise_per_min), fall(p.fall_per_min) {}
    void run(std::size_t, double *v) override { v[out] = limit(v[in[0]], rise, fall); }
};

// The input of `samples` samples before, written at the end of a sample for
// the next one: a history of samples + 1 values read samples - 1 back, filled
// with the first input (a Delay of max_cache samples + 1 at nLag samples - 1).
struct DelayBlock final : Block {
    DelayLine<double> line;
    std::size_t lag;
    bool first = true;
    explicit DelayBlock(const strategy::Delay &p)
        : line(std::size_t(p.samples) + 1), lag(std::size_t(p.samples) - 1) {
        if (p.samples < 1)
            refuse("a delay needs at least one sample");
        line.fill(0.0);  // the history's memory, taken now
    }
    void run(std::size_t, double *v) override {
        const double x = v[in[0]];
        if (first) {
            line.fill(x);
            first = false;
        }
        line.push(x);
        v[out] = line.at(lag);
    }
};

struct ModelBlock final : Block {
    std::unique_ptr<MimoSim> sim;
    ModelBlock(const Model &p, double ts) {
        if (p.pairs.size() != p.u_ini.size())
            refuse("a model needs one initial value per input");
        std::vector<std::string> mvs;
        for (std::size_t j = 0; j < p.pairs.size(); ++j)
            mvs.push_back("u" + std::to_string(j));
        sim = std::make_unique<MimoSim>(std::vector<std::string>{"y"}, std::move(mvs),
                                        elements_of(p.pairs), p.u_ini,
                                        std::vector<double>{p.y_ini}, ts);
    }
    void run(std::size_t, double *v) override {
        for (std::size_t j = 0; j < in.size(); ++j)
            sim->set_mv(j, v[in[j]]);
        v[out] = sim->step(nullptr)[0];
    }
};

struct PidBlock final : Block {
    qxdcs::Pid pid;
    Held<int> mode;
    double ts;
    PidBlock(const strategy::Pid &p, const Context &c)
        : pid(c.ts), mode(p.mode, p.mode_changes, c.ts), ts(c.ts) {
        pid.set_params(p.KP, p.TI, p.TD, p.N);
        if (!pid.set_limits(p.op_high, p.op_low) && c.sink && *c.sink)
            (*c.sink)(qxdcs::Pid::kLimitsRefused);
    }
    void run(std::size_t k, double *v) override {
        const double ff = in.size() > 2 ? v[in[2]] : 0.0;
        v[out] = pid.run(double(mode.at(double(k) * ts)), v[in[0]], v[in[1]], v[out], ff);
    }
};

template <class Timer> struct AlarmBlock final : Block {
    Timer timer;
    std::optional<double> band, above, below;
    explicit AlarmBlock(const Alarm &p) : band(p.band), above(p.above), below(p.below) {
        if (p.samples < 1)
            refuse("an alarm needs a delay of at least one sample");
        timer.DT = p.samples;
    }
    void run(std::size_t, double *v) override {
        const double x = v[in[0]];
        bool on;
        if (band)
            on = std::fabs(x - v[in[1]]) > *band;
        else if (above && below)
            on = x > *above || x < *below;
        else if (above)
            on = x > *above;
        else
            on = x < *below;
        timer.Ut = on ? 1 : 0;
        timer.call();
        v[out] = double(timer.Yt);
    }
};

// Laboratory results of a true value: a sample drawn every `every` samples
// (from sample 0 on), its result known `delay` samples later, with noise.
struct LabValueBlock final : Block {
    std::size_t every, delay;
    std::vector<double> noise;
    double value;
    std::vector<std::pair<std::size_t, double>> pending;  // a ring, oldest at head
    std::size_t head = 0, count = 0, drawn = 0;
    std::vector<std::pair<std::size_t, double>> arrived;
    LabValueBlock(const LabValue &p, std::size_t samples)
        : every(std::size_t(p.every)), delay(std::size_t(p.delay)), noise(p.noise),
          value(p.initial) {
        if (p.every < 1 || p.delay < 0)
            refuse("a laboratory value needs every >= 1 and delay >= 0");
        if (noise.size() < (samples + every - 1) / every)
            refuse("a laboratory value needs a noise value for every sample drawn");
        pending.resize(delay / every + 2);
        arrived.reserve(samples / every + 2);
    }
    void run(std::size_t k, double *v) override {
        if (k % every == 0) {
            pending[(head + count) % pending.size()] = {k, v[in[0]] + noise[drawn]};
            ++count;
            ++drawn;
        }
        while (count && pending[head].first + delay <= k) {
            arrived.push_back(pending[head]);
            value = pending[head].second;
            head = (head + 1) % pending.size();
            --count;
        }
        v[out] = value;
    }
};

struct BiasUpdateBlock final : Block {
    SoftSensorBiasUpdate soft;
    double ts, start;
    BiasUpdateBlock(const strategy::BiasUpdate &p, const Context &c)
        : soft(p.name, p.filter_tao, p.abs_threshold, p.prd_len, p.const_len), ts(c.ts),
          start(c.start) {
        if (soft.filter() && !p.filter_bz.empty())
            soft.filter() = SFilter({1.0}, {p.filter_tao, 1.0}, 1.0,
                                    ZFilter(p.filter_bz, p.filter_az, 0.0, 0.0));
        soft.core().reserve();
        const MessageSink *sink = c.sink;
        soft.sink = [sink](std::string_view line) {
            if (sink && *sink)
                (*sink)(line);
        };
    }
    void run(std::size_t k, double *v) override {
        v[out] = soft.run(v[in[0]], v[in[1]], v[in[2]], start + double(k) * ts);
    }
};

// LabDataRecorder.run, with the writing of the file switchable: the window of
// laboratory values (filled with the first), the value appended, and when a
// new value has settled the line exported.
struct LabRecorderBlock final : Block {
    LabDataRecorder rec;
    const bool *write;
    LabRecorderBlock(const LabRecorder &p, const Context &c)
        : rec(p.name, p.abs_threshold, p.const_len, **c.lab_dir), write(c.write_files) {
        rec.window().reserve();
    }
    void run(std::size_t, double *v) override {
        const double lab = v[in[0]], time = v[in[1]];
        if (!std::isfinite(lab))
            throw ValueError(rec.name() + " LabDataRecorder: lab_data is not finite!");
        if (!std::isfinite(time))
            throw ValueError(rec.name() + " LabDataRecorder: lab_time is not finite!");
        ChangeWindow &w = rec.window();
        if (w.empty())
            w.fill(lab);
        w.push(lab);
        const bool fresh = w.fresh_change(rec.abs_threshold());
        if (fresh && *write)
            rec.export_lab_data_csv(lab, time);
        v[out] = fresh ? 1.0 : 0.0;
    }
};

bool is_schedule(const Params &p) {
    return std::holds_alternative<Constant>(p) || std::holds_alternative<Steps>(p) ||
           std::holds_alternative<Ramp>(p) || std::holds_alternative<LabTime>(p);
}

std::size_t inputs_needed(const Params &p, std::size_t given) {
    return std::visit(
        Overloaded{[](const Constant &) -> std::size_t { return 0; },
                   [](const Steps &) -> std::size_t { return 0; },
                   [](const Ramp &) -> std::size_t { return 0; },
                   [](const LabTime &) -> std::size_t { return 0; },
                   [&](const Noise &) -> std::size_t { return given <= 1 ? given : 1; },
                   [&](const FilteredNoise &) -> std::size_t { return given <= 1 ? given : 1; },
                   [](const strategy::TestSignal &) -> std::size_t { return 0; },
                   [](const Sum &s) -> std::size_t { return s.gains.size(); },
                   [](const strategy::LeadLag &) -> std::size_t { return 1; },
                   [](const TransferFunction &) -> std::size_t { return 1; },
                   [](const strategy::RateLimit &) -> std::size_t { return 1; },
                   [](const strategy::Delay &) -> std::size_t { return 1; },
                   [](const Model &m) -> std::size_t { return m.pairs.size(); },
                   [&](const strategy::Pid &) -> std::size_t { return given == 3 ? 3 : 2; },
                   [](const Alarm &a) -> std::size_t { return a.band ? 2 : 1; },
                   [](const LabValue &) -> std::size_t { return 1; },
                   [](const strategy::BiasUpdate &) -> std::size_t { return 3; },
                   [](const LabRecorder &) -> std::size_t { return 2; }},
        p);
}

// The block of a step (null for a constant, and for a laboratory recorder
// without a folder to write in).
std::unique_ptr<Block> make_block(const Step &s, const Context &c) {
    std::unique_ptr<Block> b = std::visit(
        Overloaded{
            [](const Constant &) -> std::unique_ptr<Block> { return nullptr; },
            [&](const Steps &p) -> std::unique_ptr<Block> {
                return std::make_unique<StepsBlock>(p, c.ts);
            },
            [&](const Ramp &p) -> std::unique_ptr<Block> {
                return std::make_unique<RampBlock>(p, c.ts);
            },
            [&](const LabTime &p) -> std::unique_ptr<Block> {
                return std::make_unique<LabTimeBlock>(p, c);
            },
            [&](const Noise &p) -> std::unique_ptr<Block> {
                if (p.values.size() < c.samples)
                    refuse(s.key + ": a noise value is needed for every sample");
                return std::make_unique<NoiseBlock>(p);
            },
            [&](const FilteredNoise &p) -> std::unique_ptr<Block> {
                if (p.noise.size() < c.samples)
                    refuse(s.key + ": a noise value is needed for every sample");
                return std::make_unique<FilteredNoiseBlock>(p);
            },
            [&](const strategy::TestSignal &p) -> std::unique_ptr<Block> {
                return std::make_unique<TestSignalBlock>(p, c.ts);
            },
            [](const Sum &p) -> std::unique_ptr<Block> { return std::make_unique<SumBlock>(p); },
            [](const strategy::LeadLag &p) -> std::unique_ptr<Block> {
                return std::make_unique<LeadLagBlock>(p);
            },
            [](const TransferFunction &p) -> std::unique_ptr<Block> {
                return std::make_unique<TransferFunctionBlock>(p);
            },
            [&](const strategy::RateLimit &p) -> std::unique_ptr<Block> {
                return std::make_unique<RateLimitBlock>(p, c.ts);
            },
            [](const strategy::Delay &p) -> std::unique_ptr<Block> {
                return std::make_unique<DelayBlock>(p);
            },
            [&](const Model &p) -> std::unique_ptr<Block> {
                return std::make_unique<ModelBlock>(p, c.ts);
            },
            [&](const strategy::Pid &p) -> std::unique_ptr<Block> {
                return std::make_unique<PidBlock>(p, c);
            },
            [](const Alarm &p) -> std::unique_ptr<Block> {
                if (!p.band && !p.above && !p.below)
                    refuse("an alarm needs a band, an upper or a lower limit");
                if (p.on_delay)
                    return std::make_unique<AlarmBlock<TonTrigger>>(p);
                return std::make_unique<AlarmBlock<ToffTrigger>>(p);
            },
            [&](const LabValue &p) -> std::unique_ptr<Block> {
                return std::make_unique<LabValueBlock>(p, c.samples);
            },
            [&](const strategy::BiasUpdate &p) -> std::unique_ptr<Block> {
                return std::make_unique<BiasUpdateBlock>(p, c);
            },
            [&](const LabRecorder &p) -> std::unique_ptr<Block> {
                if (!c.lab_dir || !*c.lab_dir)
                    return nullptr;
                return std::make_unique<LabRecorderBlock>(p, c);
            }},
        s.params);
    if (b) {
        b->out = s.output;
        b->in = s.inputs;
    }
    return b;
}

// --- the plant -----------------------------------------------------------------------------------

std::shared_ptr<MimoSim> local_sim(const LocalPlant &lp, double ts) {
    if (lp.pairs.size() != lp.cvs.size() * lp.mvs.size())
        refuse("a local plant needs one pair for every CV and MV");
    return std::make_shared<MimoSim>(lp.cvs, lp.mvs, elements_of(lp.pairs), lp.u_ini, lp.y_ini,
                                     ts);
}

struct PlantRun {
    std::shared_ptr<MimoSim> mimo;
    std::unique_ptr<LpvPlant> lpv;
    std::vector<std::pair<std::size_t, std::size_t>> mv, cv, dist;  // (index, slot)
    std::vector<double> dv;
    std::optional<std::size_t> wv;

    PlantRun(const Plant &p, double ts) {
        if (p.locals.empty())
            refuse("the plant needs at least one local plant");
        auto index = [](const std::vector<std::string> &tags, const std::string &tag,
                        const char *what) {
            auto it = std::find(tags.begin(), tags.end(), tag);
            if (it == tags.end())
                refuse(std::string("the plant has no ") + what + " '" + tag + "'");
            return std::size_t(it - tags.begin());
        };
        const std::vector<std::string> *cvs, *mvs;
        if (!p.lpv) {
            if (p.locals.size() != 1)
                refuse("a MIMO plant has one model");
            mimo = local_sim(p.locals[0], ts);
            cvs = &mimo->cv_list();
            mvs = &mimo->mv_list();
        } else {
            if (!p.working_value)
                refuse("an LPV plant needs a working value");
            wv = p.working_value;
            lpv = std::make_unique<LpvPlant>(p.initial);
            for (std::size_t j = 0; j < p.locals.size(); ++j)
                lpv->add_plant((long long)j, p.locals[j].working_point,
                               local_sim(p.locals[j], ts), ts);
            cvs = &lpv->cv_list();
            mvs = &lpv->mv_list();
        }
        for (const auto &[tag, slot] : p.mv)
            mv.emplace_back(index(*mvs, tag, "MV"), slot);
        for (const auto &[tag, slot] : p.cv)
            cv.emplace_back(index(*cvs, tag, "CV"), slot);
        for (const auto &[tag, slot] : p.disturbance)
            dist.emplace_back(index(*cvs, tag, "CV"), slot);
        dv.assign(cvs->size(), 0.0);
    }

    void run(double *v) {
        for (const auto &[i, s] : dist)
            dv[i] = v[s];
        const double *d = dist.empty() ? nullptr : dv.data();
        if (mimo) {
            for (const auto &[j, s] : mv)
                mimo->set_mv(j, v[s]);
            const std::vector<double> &y = mimo->step(d);
            for (const auto &[i, s] : cv)
                v[s] = y[i];
        } else {
            for (const auto &[j, s] : mv)
                lpv->set_mv(j, v[s]);
            const std::vector<double> &y = lpv->step(v[*wv], d);
            for (const auto &[i, s] : cv)
                v[s] = y[i];
        }
    }
};

void check_slots(const Step &s, std::size_t n) {
    if (s.output >= n)
        refuse(s.key + ": output slot " + std::to_string(s.output) + " out of range");
    for (std::size_t i : s.inputs)
        if (i >= n)
            refuse(s.key + ": input slot " + std::to_string(i) + " out of range");
    if (s.inputs.size() != inputs_needed(s.params, s.inputs.size()))
        refuse(s.key + ": a step of kind '" + kind_name(s.params) + "' reads " +
               std::to_string(inputs_needed(s.params, s.inputs.size())) + " signals, not " +
               std::to_string(s.inputs.size()));
}

}  // namespace

// --- the strategy --------------------------------------------------------------------------------

struct Strategy::Impl {
    Plan plan;
    std::optional<std::string> lab_dir;
    MessageSink sink = print_line;
    bool write_files = true;
    Context ctx;
    std::vector<double> v;
    std::size_t k = 0;
    // The blocks of the schedules, steps and after steps that run (a
    // constant and a recorder without a folder do not), with their keys.
    std::vector<std::unique_ptr<Block>> schedules, steps, after;
    std::vector<const std::string *> schedule_keys, step_keys, after_keys;
    std::unique_ptr<PlantRun> plant;
    std::string plant_key = "plant";
    // Where each sample's carried-in values come from: (slot, writer).
    std::vector<std::pair<std::size_t, const std::string *>> carried, first;
    std::optional<NonFinite> non_finite;
    std::optional<Failure> failure;

    void note(std::size_t sample, std::size_t slot, const std::string *key) {
        if (!non_finite)
            non_finite = NonFinite{sample, slot, *key, v[slot]};
    }
    // Checks the values carried into sample k; true when one is not finite.
    bool check_carried(std::size_t kk) {
        for (const auto &[slot, key] : kk == 0 ? first : carried)
            if (!std::isfinite(v[slot])) {
                note(kk, slot, key);
                return true;
            }
        return false;
    }
};

Strategy::Strategy(Plan plan, std::optional<std::string> lab_dir) : impl_(new Impl) {
    Impl &m = *impl_;
    m.plan = std::move(plan);
    m.lab_dir = std::move(lab_dir);
    const Plan &p = m.plan;
    const std::size_t n = p.signals.size();
    if (!(p.sample_period > 0.0))
        refuse("the sample period must be positive");
    if (p.initial.size() != n)
        refuse("one initial value per signal is needed");
    m.ctx = Context{p.sample_period, p.start, p.samples, &m.lab_dir, &m.sink, &m.write_files};
    m.v = p.initial;

    std::vector<const std::string *> writer(n, nullptr);
    std::vector<bool> written(n, false);
    auto build = [&](const std::vector<Step> &list, std::vector<std::unique_ptr<Block>> &blocks,
                     std::vector<const std::string *> &keys, int part) {
        for (const Step &s : list) {
            check_slots(s, n);
            const bool schedule = is_schedule(s.params);
            const bool delay = std::holds_alternative<strategy::Delay>(s.params);
            if ((part == 0) != schedule || (part == 2) != delay)
                refuse(s.key + ": a step of kind '" + kind_name(s.params) + "' does not belong " +
                       (part == 0 ? "to the schedules" : part == 1 ? "to the steps"
                                                                   : "to the after steps"));
            if (writer[s.output])
                refuse(s.key + ": signal '" + p.signals[s.output] + "' is also written by " +
                       *writer[s.output]);
            writer[s.output] = &s.key;
            std::unique_ptr<Block> b = make_block(s, m.ctx);
            if (!b)
                continue;
            written[s.output] = true;
            blocks.push_back(std::move(b));
            keys.push_back(&s.key);
        }
    };
    build(p.schedules, m.schedules, m.schedule_keys, 0);
    build(p.steps, m.steps, m.step_keys, 1);
    build(p.after, m.after, m.after_keys, 2);

    for (const auto &[tag, slot] : p.plant.mv)
        if (slot >= n)
            refuse("plant MV '" + tag + "': slot out of range");
    for (const auto &[tag, slot] : p.plant.cv) {
        if (slot >= n)
            refuse("plant CV '" + tag + "': slot out of range");
        if (writer[slot])
            refuse("signal '" + p.signals[slot] + "' is a CV of the plant and also written by " +
                   *writer[slot]);
    }
    for (const auto &[tag, slot] : p.plant.disturbance)
        if (slot >= n)
            refuse("plant disturbance of '" + tag + "': slot out of range");
    if (p.plant.working_value && *p.plant.working_value >= n)
        refuse("the plant's working value: slot out of range");
    m.plant = std::make_unique<PlantRun>(p.plant, p.sample_period);

    // What each sample starts from: the CVs and the delayed values of the
    // sample before; for sample 0 also every slot nothing else writes.
    std::vector<bool> carried(n, false);
    for (const auto &[tag, slot] : p.plant.cv) {
        m.carried.emplace_back(slot, &m.plant_key);
        carried[slot] = true;
    }
    for (std::size_t i = 0; i < m.after.size(); ++i) {
        m.carried.emplace_back(m.after[i]->out, m.after_keys[i]);
        carried[m.after[i]->out] = true;
    }
    m.first = m.carried;
    for (std::size_t s = 0; s < n; ++s)
        if (!written[s] && !carried[s])
            m.first.emplace_back(s, writer[s] ? writer[s] : &m.plant_key);
}

Strategy::~Strategy() = default;
Strategy::Strategy(Strategy &&) noexcept = default;
Strategy &Strategy::operator=(Strategy &&) noexcept = default;

const Plan &Strategy::plan() const { return impl_->plan; }
std::size_t Strategy::samples() const { return impl_->plan.samples; }
std::size_t Strategy::n_signals() const { return impl_->plan.signals.size(); }
const std::vector<std::string> &Strategy::signals() const { return impl_->plan.signals; }
std::optional<std::size_t> Strategy::slot(const std::string &name) const {
    const auto &s = impl_->plan.signals;
    auto it = std::find(s.begin(), s.end(), name);
    if (it == s.end())
        return std::nullopt;
    return std::size_t(it - s.begin());
}
std::size_t Strategy::k() const { return impl_->k; }
const std::vector<double> &Strategy::values() const { return impl_->v; }
const std::optional<NonFinite> &Strategy::non_finite() const { return impl_->non_finite; }
const std::optional<Failure> &Strategy::failure() const { return impl_->failure; }
void Strategy::set_sink(MessageSink sink) { impl_->sink = std::move(sink); }
void Strategy::set_write_files(bool on) { impl_->write_files = on; }

std::size_t Strategy::run_to(std::size_t k_end, double *rows) {
    Impl &m = *impl_;
    k_end = std::min(k_end, m.plan.samples);
    const std::size_t n = m.v.size();
    const bool stop = stop_at_non_finite;
    double *v = m.v.data();
    std::size_t done = 0;
    const std::string *where = nullptr;
    try {
        for (; m.k < k_end; ++m.k) {
            const std::size_t k = m.k;
            if (!m.non_finite && m.check_carried(k) && stop)
                return done;
            for (std::size_t i = 0; i < m.schedules.size(); ++i) {
                Block &b = *m.schedules[i];
                where = m.schedule_keys[i];
                b.run(k, v);
                if (!std::isfinite(v[b.out]) && !m.non_finite) {
                    m.note(k, b.out, m.schedule_keys[i]);
                    if (stop)
                        return done;
                }
            }
            for (std::size_t i = 0; i < m.steps.size(); ++i) {
                Block &b = *m.steps[i];
                where = m.step_keys[i];
                b.run(k, v);
                if (!std::isfinite(v[b.out]) && !m.non_finite) {
                    m.note(k, b.out, m.step_keys[i]);
                    if (stop)
                        return done;
                }
            }
            if (rows)
                std::copy(v, v + n, rows + done * n);
            where = &m.plant_key;
            m.plant->run(v);
            for (std::size_t i = 0; i < m.after.size(); ++i) {
                where = m.after_keys[i];
                m.after[i]->run(k, v);
            }
            where = nullptr;
            ++done;
        }
    } catch (...) {
        m.failure = Failure{m.k, where ? *where : std::string("?")};
        throw;
    }
    return done;
}

std::vector<double> Strategy::run() {
    std::vector<double> rows((samples() - std::min(k(), samples())) * n_signals());
    const std::size_t done = run_to(samples(), rows.data());
    rows.resize(done * n_signals());
    return rows;
}

std::vector<LabArrivals> Strategy::lab_arrivals() const {
    std::vector<LabArrivals> out;
    for (const auto &b : impl_->steps)
        if (const auto *lab = dynamic_cast<const LabValueBlock *>(b.get()))
            out.push_back(LabArrivals{lab->out, lab->arrived});
    return out;
}

std::size_t Strategy::n_blocks() const {
    const Plan &p = impl_->plan;
    return p.schedules.size() + p.steps.size() + p.after.size() + 1;
}

std::string Strategy::block_key(std::size_t index) const {
    const Plan &p = impl_->plan;
    const std::size_t a = p.schedules.size(), b = a + p.steps.size(), c = b + p.after.size();
    if (index < a)
        return p.schedules[index].key;
    if (index < b)
        return p.steps[index - a].key;
    if (index < c)
        return p.after[index - b].key;
    if (index == c)
        return "plant";
    throw IndexError("no block " + std::to_string(index));
}

double Strategy::block_cost_ns(std::size_t index, const double *rows, int repeats) const {
    const Impl &m = *impl_;
    const Plan &p = m.plan;
    const std::size_t a = p.schedules.size(), b = a + p.steps.size(), c = b + p.after.size();
    const std::size_t n = p.signals.size(), samples = p.samples;
    if (index > c)
        throw IndexError("no block " + std::to_string(index));
    // A fresh block, writing no files and printing nothing.
    MessageSink quiet;
    bool no_files = false;
    Context ctx = m.ctx;
    ctx.sink = &quiet;
    ctx.write_files = &no_files;
    std::vector<std::size_t> slots;
    if (index == c) {
        for (const auto &[tag, s] : p.plant.mv)
            slots.push_back(s);
        for (const auto &[tag, s] : p.plant.disturbance)
            slots.push_back(s);
        if (p.plant.working_value)
            slots.push_back(*p.plant.working_value);
    }
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < std::max(1, repeats); ++r) {
        std::unique_ptr<Block> block;
        std::unique_ptr<PlantRun> plant;
        std::optional<std::size_t> own;
        if (index == c) {
            plant = std::make_unique<PlantRun>(p.plant, p.sample_period);
        } else {
            const Step &s = index < a ? p.schedules[index]
                            : index < b ? p.steps[index - a] : p.after[index - b];
            block = make_block(s, ctx);
            if (!block)
                return 0.0;
            slots = s.inputs;
            if (std::holds_alternative<strategy::Pid>(s.params))
                own = s.output;  // the tracking value: its own output of the sample before
        }
        std::vector<double> v = p.initial;
        double *vv = v.data();
        const auto started = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < samples; ++k) {
            const double *row = rows + k * n;
            for (std::size_t s : slots)
                vv[s] = row[s];
            if (own && k > 0)
                vv[*own] = (row - n)[*own];
            if (block)
                block->run(k, vv);
            else
                plant->run(vv);
        }
        const auto elapsed = std::chrono::steady_clock::now() - started;
        best = std::min(best, std::chrono::duration<double, std::nano>(elapsed).count() /
                                  double(std::max<std::size_t>(samples, 1)));
    }
    return best;
}

} // namespace qxdcs
