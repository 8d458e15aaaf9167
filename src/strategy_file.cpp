// compile(): a strategy file's description expanded into blocks and resolved
// into a plan, as qxdcs/strategy/blocks.py and plan.py do it in Python.
#include "qxdcs/strategy_file.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "qxdcs/error.hpp"
#include "qxdcs/filter.hpp"
#include "qxdcs/lead_lag.hpp"
#include "qxdcs/test_signal.hpp"

namespace qxdcs {
namespace strategy {

// --- small helpers ---------------------------------------------------------------------------------

std::uint32_t stream_of(const std::string &name) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char byte : name) {
        c ^= byte;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint32_t> seed_sequence_state(const std::vector<std::uint64_t> &entropy,
                                               std::size_t n_words) {
    // numpy.random.SeedSequence: the entropy as 32-bit words (each integer
    // least significant word first, 0 as one word), mixed into a pool of
    // four words, which generate_state hashes out.
    constexpr std::uint32_t INIT_A = 0x43b0d7e5u, MULT_A = 0x931e8875u;
    constexpr std::uint32_t INIT_B = 0x8b51f9ddu, MULT_B = 0x58f38dedu;
    constexpr std::uint32_t MIX_MULT_L = 0xca01f9ddu, MIX_MULT_R = 0x4973f715u;
    constexpr int XSHIFT = 16;
    constexpr std::size_t POOL = 4;
    std::vector<std::uint32_t> words;
    for (std::uint64_t v : entropy) {
        if (v == 0)
            words.push_back(0);
        while (v > 0) {
            words.push_back(std::uint32_t(v & 0xFFFFFFFFu));
            v >>= 32;
        }
    }
    std::uint32_t hash_const = INIT_A;
    auto hashmix = [&](std::uint32_t value) {
        value ^= hash_const;
        hash_const *= MULT_A;
        value *= hash_const;
        value ^= value >> XSHIFT;
        return value;
    };
    auto mix = [](std::uint32_t x, std::uint32_t y) {
        std::uint32_t r = MIX_MULT_L * x - MIX_MULT_R * y;
        r ^= r >> XSHIFT;
        return r;
    };
    std::uint32_t pool[POOL];
    for (std::size_t i = 0; i < POOL; ++i)
        pool[i] = hashmix(i < words.size() ? words[i] : 0u);
    for (std::size_t src = 0; src < POOL; ++src)
        for (std::size_t dst = 0; dst < POOL; ++dst)
            if (src != dst)
                pool[dst] = mix(pool[dst], hashmix(pool[src]));
    for (std::size_t src = POOL; src < words.size(); ++src)
        for (std::size_t dst = 0; dst < POOL; ++dst)
            pool[dst] = mix(pool[dst], hashmix(words[src]));
    std::vector<std::uint32_t> out(n_words);
    std::uint32_t hb = INIT_B;
    for (std::size_t i = 0; i < n_words; ++i) {
        std::uint32_t v = pool[i % POOL];
        v ^= hb;
        hb *= MULT_B;
        v *= hb;
        v ^= v >> XSHIFT;
        out[i] = v;
    }
    return out;
}

namespace file {

Signal Signal::constant(std::string name, double value) {
    Signal s;
    s.name = std::move(name);
    s.kind = "constant";
    s.value = value;
    return s;
}
Signal Signal::steps(std::string name, double initial, TimedValues at) {
    Signal s;
    s.name = std::move(name);
    s.kind = "steps";
    s.initial = initial;
    s.at = std::move(at);
    return s;
}
Signal Signal::ramp(std::string name, TimedValues points) {
    Signal s;
    s.name = std::move(name);
    s.kind = "ramp";
    s.points = std::move(points);
    return s;
}
Signal Signal::noise(std::string name, double sigma, std::string of, double mean) {
    Signal s;
    s.name = std::move(name);
    s.kind = "noise";
    s.sigma = sigma;
    s.of = std::move(of);
    s.mean = mean;
    return s;
}
Signal Signal::sum(std::string name, std::vector<std::pair<std::string, double>> inputs,
                   double bias) {
    Signal s;
    s.name = std::move(name);
    s.kind = "sum";
    s.inputs = std::move(inputs);
    s.bias = bias;
    return s;
}
Signal Signal::delay(std::string name, std::string input, double delay_s) {
    Signal s;
    s.name = std::move(name);
    s.kind = "delay";
    s.input = std::move(input);
    s.delay_s = delay_s;
    return s;
}

}  // namespace file

namespace {

namespace file = qxdcs::strategy::file;

// Gaussian deviates of one random stream: std::mt19937_64 seeded from
// SeedSequence([seed, stream]), uniform doubles of 53 bits, normal deviates
// by Marsaglia's polar method.
class Normal {
public:
    Normal(std::uint64_t seed, std::uint64_t stream) {
        const std::vector<std::uint32_t> w = seed_sequence_state({seed, stream}, 2);
        gen_.seed((std::uint64_t(w[1]) << 32) | w[0]);
    }
    double next() {
        if (have_) {
            have_ = false;
            return spare_;
        }
        double u, v, s;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        spare_ = v * f;
        have_ = true;
        return u * f;
    }
    // n values of loc + scale * z, as numpy's Generator.normal shapes them.
    std::vector<double> draw(std::size_t n, double scale) {
        std::vector<double> out(n);
        for (double &x : out)
            x = 0.0 + scale * next();
        return out;
    }

private:
    double uniform() { return double(gen_() >> 11) * (1.0 / 9007199254740992.0); }
    std::mt19937_64 gen_;
    bool have_ = false;
    double spare_ = 0.0;
};

const char *const kSchedules[] = {"constant", "steps", "ramp", "lab_time"};
bool is_schedule_kind(const std::string &k) {
    return std::find(std::begin(kSchedules), std::end(kSchedules), k) != std::end(kSchedules);
}

// One block of the expanded strategy, reading signals by name.
struct Blk {
    std::string kind, output, key;
    std::vector<std::string> inputs;
    // Parameters (those of its kind are used).
    std::optional<double> value;              // constant (none: the cv's initial value)
    std::optional<double> initial;            // steps (none: the cv's); transfer_function
    std::string cv;                           // a loop's setpoint: its cv
    TimedValues at, points;
    double sigma = 0.0, mean = 0.0, offset = 0.0;
    std::optional<double> ff_offset;          // lead_lag: none for a feed-forward (starts at 0)
    std::uint64_t stream = 0;
    std::vector<double> num, den;
    long long half_period = 10;
    double amplitude = 1.0;
    std::vector<double> gains;
    std::optional<double> bias;
    double alpha = 0.0, tao = 0.0, gain = 1.0;
    double rise = 0.0, fall = 0.0;
    long long samples = 1;
    std::vector<std::pair<std::string, ModelSpec>> model;
    double model_initial = 0.0;
    double KP = 1.0, TI = 0.0, TD = 0.0, N = 10.0, op_high = 100.0, op_low = 0.0;
    int mode = 1;
    std::vector<std::pair<double, int>> mode_changes;
    bool on_delay = true;
    std::optional<double> band, above, below;
    long long every = 1, delay = 0;
    std::string name;
    double filter_tao = 5.0, abs_threshold = 1e-6;
    long long prd_len = 28800, const_len = 2;
    // Filled from the initial values.
    double u_ini = 0.0, y_ini = 0.0;
    std::vector<double> model_u_ini;
};

struct LoopRef {
    std::string name, cv, mv, sp, pv;
};

struct Expansion {
    const file::Description &d;
    double ts;
    std::vector<Blk> blocks;
    std::vector<LoopRef> loops;
    std::vector<std::string> cvs, mvs;   // the plant's tags
    TagValues plant_initial;

    [[noreturn]] void refuse(const std::string &key, const std::string &what) const {
        throw ValueError(d.source + ": " + (key.empty() ? "" : key + ": ") + what);
    }

    // A duration as whole samples (at least `minimum`).
    long long whole_samples(const std::string &key, double seconds, long long minimum = 1) const {
        const double n = seconds / ts;
        const double whole = std::round(n);
        if (n < double(minimum) - 1e-9)
            refuse(key, "must be at least " + std::to_string(minimum) + " sample period(s)");
        if (std::fabs(n - whole) > 1e-9 * std::max(1.0, std::fabs(n)))
            refuse(key, "is not a whole number of sample periods");
        return (long long)whole;
    }

    Blk &add(std::string kind, std::string output, std::vector<std::string> inputs,
             std::string key) {
        Blk b;
        b.kind = std::move(kind);
        b.output = std::move(output);
        b.inputs = std::move(inputs);
        b.key = std::move(key);
        blocks.push_back(std::move(b));
        return blocks.back();
    }

    void check_tf(const std::string &key, const std::vector<double> &num,
                  const std::vector<double> &den) const {
        if (den.empty() || num.empty())
            refuse(key, "a transfer function needs num_s and den_s");
        if (den[0] == 0.0)
            refuse(key + ".den_s", "the first (highest-power) coefficient must not be zero");
        if (std::all_of(num.begin(), num.end(), [](double c) { return c == 0.0; }))
            refuse(key + ".num_s", "all coefficients are zero");
        std::size_t first = 0;
        while (num[first] == 0.0)
            ++first;
        if (num.size() - first > den.size())
            refuse(key + ".num_s", "the numerator's degree exceeds the denominator's");
    }

    void check_lead_lag_ts(const std::string &key) const {
        if (std::floor(ts) != ts)
            refuse(key, "a lead-lag (LDLAG) runs at a whole number of seconds");
    }

    void plant() {
        const file::Plant &p = d.plant;
        if (p.model.has_value() == !p.local.empty())
            refuse("plant", "give either 'model' (a MIMO plant) or 'local' (local plants of an "
                            "LPV plant), not both or neither");
        std::vector<const ModelDict *> models;
        if (p.model) {
            models.push_back(&*p.model);
        } else {
            if (p.working_value.empty())
                refuse("plant", "an LPV plant ('local') needs 'working_value'");
            if (std::floor(ts) != ts)
                refuse("simulation.sample_period_s",
                       "an LPV plant runs its local plants at a whole number of seconds");
            std::set<double> points;
            for (const file::LocalPlant &lp : p.local) {
                if (!points.insert(lp.working_point).second)
                    refuse("plant.local." + lp.name + ".working_point",
                           "the simulator keeps one plant per working point");
                if (!(lp.gain > 0.0))
                    refuse("plant.local." + lp.name + ".gain", "must be positive");
                models.push_back(&lp.model);
            }
        }
        // The tags: the CVs in order of first appearance, each CV's MVs from
        // the last model that has the CV (a dict union, as the checker forms it).
        std::vector<std::string> order;
        std::map<std::string, const ModelDict::Row *> rows;
        for (const ModelDict *m : models)
            for (const ModelDict::Row &r : m->rows()) {
                if (!rows.count(r.cv))
                    order.push_back(r.cv);
                rows[r.cv] = &r;
            }
        cvs = order;
        for (const std::string &cv : order)
            for (const auto &mv : rows[cv]->models)
                if (std::find(mvs.begin(), mvs.end(), mv.first) == mvs.end())
                    mvs.push_back(mv.first);
        if (cvs.empty())
            refuse("plant", "the plant has no CVs");
        plant_initial = p.initial;
        for (const auto &[cv, sig] : p.disturbance)
            if (std::find(cvs.begin(), cvs.end(), cv) == cvs.end())
                refuse("plant.disturbance." + cv, "disturbances are added to CVs; '" + cv +
                                                      "' is not a CV of the plant");
    }

    void signal(const file::Signal &s) {
        const std::string key = "signal." + s.name;
        const std::string &k = s.kind;
        if (k == "constant") {
            add(k, s.name, {}, key).value = s.value;
        } else if (k == "steps") {
            Blk &b = add(k, s.name, {}, key);
            b.initial = s.initial;
            b.at = s.at;
        } else if (k == "ramp") {
            if (s.points.empty())
                refuse(key + ".points", "a ramp needs at least one point");
            for (std::size_t i = 1; i < s.points.size(); ++i)
                if (!(s.points[i].first > s.points[i - 1].first))
                    refuse(key + ".points", "times must increase");
            add(k, s.name, {}, key).points = s.points;
        } else if (k == "noise") {
            Blk &b = add(k, s.name, s.of.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{s.of},
                         key);
            b.sigma = s.sigma;
            b.mean = s.mean;
            b.stream = s.seed ? *s.seed : stream_of(s.name);
        } else if (k == "filtered_noise") {
            check_tf(key, s.num_s, s.den_s);
            Blk &b = add(k, s.name, s.of.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{s.of},
                         key);
            b.sigma = s.sigma;
            b.num = s.num_s;
            b.den = s.den_s;
            b.offset = s.offset;
            b.stream = s.seed ? *s.seed : stream_of(s.name);
        } else if (k == "test_signal") {
            if (s.half_period_s < 1)
                refuse(key + ".half_period_s", "must be a whole number of seconds, at least 1");
            Blk &b = add(k, s.name, {}, key);
            b.half_period = s.half_period_s;
            b.amplitude = s.amplitude;
            b.offset = s.offset;
            b.stream = s.seed ? *s.seed : stream_of(s.name);
        } else if (k == "sum") {
            if (s.inputs.empty())
                refuse(key + ".inputs", "a sum needs at least one input");
            std::vector<std::string> in;
            std::vector<double> g;
            for (const auto &[name, gain] : s.inputs) {
                in.push_back(name);
                g.push_back(gain);
            }
            Blk &b = add(k, s.name, in, key);
            b.gains = g;
            b.bias = s.bias;
        } else if (k == "lead_lag") {
            check_lead_lag_ts(key);
            Blk &b = add(k, s.name, {s.input}, key);
            b.alpha = s.alpha;
            b.tao = s.tao_s;
            b.gain = 1.0;
            b.ff_offset = 0.0;
        } else if (k == "transfer_function") {
            check_tf(key, s.num_s, s.den_s);
            Blk &b = add(k, s.name, {s.input}, key);
            b.num = s.num_s;
            b.den = s.den_s;
            b.gain = 1.0;
            b.initial = s.tf_initial;
        } else if (k == "rate_limit") {
            Blk &b = add(k, s.name, {s.input}, key);
            b.rise = s.rise_per_min;
            b.fall = s.fall_per_min ? *s.fall_per_min : s.rise_per_min;
        } else if (k == "delay") {
            const long long n = whole_samples(key + ".delay_s", s.delay_s);
            add(k, s.name, {s.input}, key).samples = n;
        } else if (k == "model") {
            if (s.model.empty())
                refuse(key + ".model", "a model needs at least one input");
            std::vector<std::string> in;
            for (const auto &[name, entry] : s.model)
                in.push_back(name);
            Blk &b = add(k, s.name, in, key);
            b.model = s.model;
            b.model_initial = s.initial;
        } else {
            refuse(key + ".kind", "unknown kind '" + k + "'");
        }
    }

    void loop(const file::Loop &lp) {
        const std::string key = "loop." + lp.name;
        std::string target;
        if (lp.sp.kind == file::Setpoint::Kind::Signal) {
            target = lp.sp.signal;
        } else {
            target = (lp.sp_rate_per_min ? "SP_" + lp.name + "_target" : "SP_" + lp.name);
            if (lp.sp.kind == file::Setpoint::Kind::Steps) {
                Blk &b = add("steps", target, {}, key + ".sp");
                b.cv = lp.cv;
                b.at = lp.sp.steps;
            } else {
                Blk &b = add("constant", target, {}, key + ".sp");
                b.cv = lp.cv;
                if (lp.sp.kind == file::Setpoint::Kind::Value)
                    b.value = lp.sp.value;
            }
        }
        std::string sp = target;
        if (lp.sp_rate_per_min) {
            sp = "SP_" + lp.name;
            Blk &b = add("rate_limit", sp, {target}, key + ".sp_rate_per_min");
            b.rise = b.fall = *lp.sp_rate_per_min;
        }
        std::string pv = lp.cv;
        if (lp.measurement_noise > 0.0) {
            pv = "PV_" + lp.name;
            Blk &b = add("noise", pv, {lp.cv}, key + ".measurement_noise");
            b.sigma = lp.measurement_noise;
            b.stream = lp.noise_seed ? *lp.noise_seed : stream_of(key + ".measurement");
        }
        std::string ff;
        if (lp.feedforward) {
            const file::Feedforward &f = *lp.feedforward;
            ff = "FF_" + lp.name;
            const std::string fkey = key + ".feedforward";
            if (f.lead_lag) {
                check_lead_lag_ts(fkey + ".lead_lag");
                Blk &b = add("lead_lag", ff, {f.signal}, fkey);
                b.alpha = f.lead_lag->first;
                b.tao = f.lead_lag->second;
                b.gain = f.gain;
            } else if (!f.num_s.empty() || !f.den_s.empty()) {
                check_tf(fkey, f.num_s, f.den_s);
                Blk &b = add("transfer_function", ff, {f.signal}, fkey);
                b.num = f.num_s;
                b.den = f.den_s;
                b.gain = f.gain;
                b.initial = 0.0;
            } else {
                Blk &b = add("sum", ff, {f.signal}, fkey);
                b.gains = {f.gain};
            }
        }
        std::vector<std::string> in = {sp, pv};
        if (!ff.empty())
            in.push_back(ff);
        if (lp.op_low > lp.op_high)
            refuse(key + ".op_low", "output limits reversed");
        Blk &b = add("pid", lp.mv, in, key + ".mv");
        b.KP = lp.KP;
        b.TI = lp.TI;
        b.TD = lp.TD;
        b.N = lp.N;
        b.op_high = lp.op_high;
        b.op_low = lp.op_low;
        b.mode = lp.automatic ? 1 : 0;
        for (const auto &[t, on] : lp.mode_changes)
            b.mode_changes.emplace_back(t, on ? 1 : 0);
        b.name = lp.name;
        loops.push_back(LoopRef{lp.name, lp.cv, lp.mv, sp, pv});
    }

    void alarm(const file::Alarm &a) {
        const std::string key = "alarm." + a.name;
        const long long n = whole_samples(key + ".delay_s", a.delay_s);
        std::vector<std::string> in;
        if (!a.loop.empty()) {
            auto it = std::find_if(loops.begin(), loops.end(),
                                   [&](const LoopRef &l) { return l.name == a.loop; });
            if (it == loops.end())
                refuse(key + ".loop", "no loop '" + a.loop + "'");
            if (!a.band)
                refuse(key, "an alarm on a loop takes 'band'");
            in = {it->sp, it->pv};
        } else {
            if (a.signal.empty() || (!a.above && !a.below))
                refuse(key, "an alarm on a signal takes 'above' and/or 'below'");
            in = {a.signal};
        }
        Blk &b = add("alarm", a.name, in, key);
        b.on_delay = a.on_delay;
        b.samples = n;
        b.band = a.loop.empty() ? std::nullopt : a.band;
        b.above = a.above;
        b.below = a.below;
    }

    void soft_sensor(const file::SoftSensor &s) {
        const std::string key = "soft_sensor." + s.name;
        const long long every = whole_samples(key + ".lab_every_s", s.lab_every_s);
        const long long delay = whole_samples(key + ".lab_delay_s", s.lab_delay_s, 0);
        if (delay + s.const_samples + 1 > s.history_samples)
            refuse(key + ".history_samples", "the predictions kept do not reach back to a "
                                             "laboratory result when it is used");
        const std::string lab = "LAB_" + s.name, lab_time = "LABTIME_" + s.name;
        const std::string bias = "BIAS_" + s.name, corrected = "CORR_" + s.name;
        Blk &lv = add("lab_value", lab, {s.true_value}, key);
        lv.every = every;
        lv.delay = delay;
        lv.sigma = s.lab_noise;
        lv.stream = s.lab_seed ? *s.lab_seed : stream_of(key + ".lab");
        Blk &lt = add("lab_time", lab_time, {}, key);
        lt.every = every;
        lt.delay = delay;
        Blk &bu = add("bias_update", bias, {s.prediction, lab, lab_time}, key);
        bu.name = s.name;
        bu.filter_tao = s.bias_filter_samples;
        bu.abs_threshold = s.abs_threshold;
        bu.prd_len = s.history_samples;
        bu.const_len = s.const_samples;
        Blk &c = add("sum", corrected, {s.prediction, bias}, key);
        c.gains = {1.0, 1.0};
        c.bias = 0.0;
        if (s.record) {
            Blk &r = add("lab_recorder", "REC_" + s.name, {lab, lab_time}, key + ".record");
            r.name = s.name;
            r.abs_threshold = s.abs_threshold;
            r.const_len = s.const_samples;
        }
    }

    // The references between the blocks and the plant.
    void references() {
        std::map<std::string, std::string> writer;
        for (const std::string &cv : cvs)
            writer[cv] = "the plant (a CV)";
        for (const Blk &b : blocks) {
            if (b.output == "time")
                refuse(b.key, "'time' names the time column of the traces: give the signal "
                              "another name");
            auto [it, fresh] = writer.emplace(b.output, b.key);
            if (!fresh)
                refuse(b.key, "signal '" + b.output + "' is also written by " + it->second +
                                  ": a signal has one writer");
        }
        auto known = [&](const std::string &n) {
            return writer.count(n) || std::find(mvs.begin(), mvs.end(), n) != mvs.end();
        };
        for (const Blk &b : blocks)
            for (const std::string &n : b.inputs)
                if (!known(n))
                    refuse(b.key, "signal '" + n + "' is written by nothing");
        if (!d.plant.working_value.empty() && !known(d.plant.working_value))
            refuse("plant.working_value",
                   "signal '" + d.plant.working_value + "' is written by nothing");
        for (const auto &[cv, sig] : d.plant.disturbance)
            if (!known(sig))
                refuse("plant.disturbance." + cv, "signal '" + sig + "' is written by nothing");
    }

    // Running order: each block after those it reads from, in file order
    // where that leaves a choice; the blocks that delay last.
    std::vector<std::size_t> order() const {
        std::map<std::string, std::size_t> producer;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (blocks[i].kind != "delay")
                producer.emplace(blocks[i].output, i);
        std::vector<std::set<std::size_t>> deps(blocks.size());
        for (std::size_t i = 0; i < blocks.size(); ++i)
            for (const std::string &n : blocks[i].inputs) {
                auto it = producer.find(n);
                if (it != producer.end() && it->second != i)
                    deps[i].insert(it->second);
            }
        std::vector<std::size_t> done;
        std::set<std::size_t> placed, pending;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (blocks[i].kind != "delay")
                pending.insert(i);
        while (!pending.empty()) {
            std::optional<std::size_t> ready;
            for (std::size_t i : pending)   // ascending: the first in file order
                if (std::includes(placed.begin(), placed.end(), deps[i].begin(), deps[i].end())) {
                    ready = i;
                    break;
                }
            if (!ready)
                refuse(blocks[*pending.begin()].key,
                       "signals form a cycle with no block that delays (read a plant output or "
                       "a 'delay' signal to break it)");
            done.push_back(*ready);
            placed.insert(*ready);
            pending.erase(*ready);
        }
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (blocks[i].kind == "delay")
                done.push_back(i);
        return done;
    }

    // The initial value of every signal (blocks.py: _initial_values).
    std::map<std::string, double> initial_values() const {
        std::map<std::string, double> init;
        std::set<std::string> visiting;
        std::map<std::string, const Blk *> by_output;
        for (const Blk &b : blocks)
            by_output.emplace(b.output, &b);
        auto is = [](const std::vector<std::string> &v, const std::string &x) {
            return std::find(v.begin(), v.end(), x) != v.end();
        };
        std::function<double(const std::string &)> value = [&](const std::string &name) {
            auto hit = init.find(name);
            if (hit != init.end())
                return hit->second;
            if (visiting.count(name))
                return 0.0;
            visiting.insert(name);
            auto bi = by_output.find(name);
            const Blk *b = bi == by_output.end() ? nullptr : bi->second;
            double v;
            if (is(cvs, name) || (!b && is(mvs, name)))
                v = initial_value(plant_initial, name);
            else if (!b)
                v = 0.0;
            else
                v = block_initial(*b, value);
            visiting.erase(name);
            init[name] = v;
            return v;
        };
        for (const std::string &t : cvs)
            value(t);
        for (const std::string &t : mvs)
            value(t);
        for (const Blk &b : blocks)
            value(b.output);
        return init;
    }

    double block_initial(const Blk &b, const std::function<double(const std::string &)> &value) const {
        const std::string &k = b.kind;
        auto in0 = [&]() { return value(b.inputs[0]); };
        if (k == "constant")
            return b.value ? *b.value : value(b.cv);
        if (k == "steps") {
            double v = b.initial ? *b.initial : value(b.cv);
            for (const auto &[t, x] : b.at)
                if (t <= 0)
                    v = x;
            return v;
        }
        if (k == "ramp")
            return b.points[0].second;
        if (k == "noise")
            return (b.inputs.empty() ? 0.0 : in0()) + b.mean;
        if (k == "filtered_noise")
            return (b.inputs.empty() ? 0.0 : in0()) + b.offset;
        if (k == "test_signal")
            return b.offset;
        if (k == "sum") {
            double s = 0.0;
            for (std::size_t j = 0; j < b.inputs.size(); ++j)
                s = s + b.gains[j] * value(b.inputs[j]);
            const double bias = b.bias ? *b.bias : -s;
            double t = 0.0;
            for (std::size_t j = 0; j < b.inputs.size(); ++j)
                t = t + b.gains[j] * value(b.inputs[j]);
            return bias + t;
        }
        if (k == "lead_lag")
            return b.ff_offset ? in0() : 0.0;
        if (k == "transfer_function") {
            if (b.initial)
                return *b.initial;
            if (b.den.back() == 0.0)
                return 0.0;
            const double g = b.num.back() / b.den.back();
            return b.gain * g * in0();
        }
        if (k == "rate_limit" || k == "delay" || k == "lab_value")
            return in0();
        if (k == "model")
            return b.model_initial;
        if (k == "pid") {
            if (std::find(mvs.begin(), mvs.end(), b.output) != mvs.end())
                return initial_value(plant_initial, b.output);
            const LoopRef *inner = nullptr;
            for (const LoopRef &l : loops)   // of loops sharing a setpoint, the last
                if (l.sp == b.output)
                    inner = &l;
            if (!inner)
                for (const LoopRef &l : loops) {
                    for (const Blk &x : blocks)
                        if (x.output == l.sp &&
                            std::find(x.inputs.begin(), x.inputs.end(), b.output) != x.inputs.end()) {
                            inner = &l;
                            break;
                        }
                    if (inner)
                        break;
                }
            return inner ? value(inner->cv) : 0.0;
        }
        if (k == "lab_time")
            return -double((b.every ? b.every : 1)) * ts;
        return 0.0;
    }

    // The operating points that depend on initial values (blocks.py: _fill).
    void fill(const std::map<std::string, double> &init) {
        auto at = [&](const std::string &n) { return init.at(n); };
        for (Blk &b : blocks) {
            if (b.kind == "constant" && !b.value) {
                b.value = at(b.output);
            } else if (b.kind == "steps" && !b.initial) {
                b.initial = at(b.cv);
            } else if (b.kind == "lead_lag") {
                b.u_ini = at(b.inputs[0]);
                if (!b.ff_offset)
                    b.ff_offset = -b.gain * at(b.inputs[0]);
            } else if (b.kind == "transfer_function") {
                b.u_ini = at(b.inputs[0]);
                b.y_ini = b.gain != 0.0 ? at(b.output) / b.gain : 0.0;
            } else if (b.kind == "sum" && !b.bias) {
                double s = 0.0;
                for (std::size_t j = 0; j < b.inputs.size(); ++j)
                    s = s + b.gains[j] * at(b.inputs[j]);
                b.bias = -s;
            } else if (b.kind == "rate_limit") {
                b.u_ini = at(b.inputs[0]);
            } else if (b.kind == "model") {
                b.model_u_ini.clear();
                for (const std::string &n : b.inputs)
                    b.model_u_ini.push_back(at(n));
            } else if (b.kind == "lab_value") {
                b.u_ini = at(b.inputs[0]);
            }
        }
    }
};

// A model entry with its gain multiplied (num_s, num_z, stp, y).
ModelSpec scaled(ModelSpec m, double factor) {
    auto scale = [&](std::vector<double> &v) {
        for (double &c : v)
            c = factor * c;
    };
    if (m.mode == ModelSpec::Mode::TfS || m.mode == ModelSpec::Mode::TfZ)
        scale(m.num);
    else if (m.mode == ModelSpec::Mode::Stp)
        scale(m.stp);
    else if (m.mode == ModelSpec::Mode::StpXY)
        scale(m.y);
    return m;
}

Pair pair_of(const ModelSpec &m, double Ts) {
    std::shared_ptr<ModelElement> e = build_element(m, Ts);
    if (TfzModel *f = e->native_filter())
        return Pair::filter(f->Gz_num(), f->Gz_den());
    return Pair::no_model();
}

LocalPlant local_of(const ModelDict &model, double gain, const TagValues &ini, bool lpv,
                    double Ts) {
    strategy::LocalPlant lp;
    lp.cvs = model.cv_tags();
    lp.mvs = model.mv_tags();
    for (const std::string &cv : lp.cvs)
        for (const std::string &mv : lp.mvs) {
            const ModelSpec *entry = model.find(cv, mv);
            lp.pairs.push_back(entry ? pair_of(scaled(*entry, gain), Ts) : Pair::no_model());
        }
    auto local_initial = [&](const std::string &tag) {
        if (lpv && std::find(lp.cvs.begin(), lp.cvs.end(), tag) != lp.cvs.end())
            return 0.0;   // a local plant reports its CVs as deviations
        return initial_value(ini, tag);
    };
    for (const std::string &mv : lp.mvs)
        lp.u_ini.push_back(local_initial(mv));
    for (const std::string &cv : lp.cvs)
        lp.y_ini.push_back(local_initial(cv));
    return lp;
}

double default_start() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 8;
    t.tm_isdst = -1;
    return double(std::mktime(&t));
}

}  // namespace

Plan compile(const file::Description &d, std::optional<std::size_t> samples_override,
             std::optional<std::uint64_t> seed_override) {
    const file::Simulation &sim = d.simulation;
    const double ts = sim.sample_period_s;
    if (!(ts > 0.0) || !std::isfinite(ts))
        throw ValueError(d.source + ": simulation.sample_period_s: must be a positive number");
    if (sim.duration_s.has_value() == sim.samples.has_value() && !samples_override)
        throw ValueError(d.source + ": simulation: give exactly one of 'duration_s' and "
                                    "'samples'");
    std::size_t n = samples_override ? *samples_override
                    : sim.samples    ? *sim.samples
                                     : std::size_t(std::max(1.0, std::round(*sim.duration_s / ts)));
    const std::uint64_t seed = seed_override ? *seed_override : sim.seed;

    Expansion x{d, ts, {}, {}, {}, {}, {}};
    x.plant();
    for (const file::Signal &s : d.signals)
        x.signal(s);
    for (const file::Loop &l : d.loops)
        x.loop(l);
    for (const file::Alarm &a : d.alarms)
        x.alarm(a);
    for (const file::SoftSensor &s : d.soft_sensors)
        x.soft_sensor(s);
    for (const file::Loop &l : d.loops)
        if (std::find(x.cvs.begin(), x.cvs.end(), l.mv) != x.cvs.end())
            x.refuse("loop." + l.name + ".mv", "'" + l.mv + "' is a CV of the plant");
    x.references();
    const std::vector<std::size_t> order = x.order();
    const std::map<std::string, double> init = x.initial_values();
    x.fill(init);

    Plan p;
    p.source = d.source;
    p.sample_period = ts;
    p.samples = n;
    p.start = sim.start ? *sim.start : default_start();
    // The traces: the plant's CVs and MVs, then every block's output in the
    // order the file gives them.
    std::vector<std::string> names = x.cvs;
    names.insert(names.end(), x.mvs.begin(), x.mvs.end());
    for (const Blk &b : x.blocks)
        if (std::find(names.begin(), names.end(), b.output) == names.end())
            names.push_back(b.output);
    std::map<std::string, std::size_t> slot;
    for (std::size_t i = 0; i < names.size(); ++i)
        slot[names[i]] = i;
    p.signals = names;
    for (const std::string &name : names) {
        auto it = init.find(name);
        p.initial.push_back(it == init.end() ? 0.0 : it->second);
    }

    for (std::size_t i : order) {
        const Blk &b = x.blocks[i];
        Step st;
        st.key = b.key;
        st.output = slot.at(b.output);
        for (const std::string &name : b.inputs)
            st.inputs.push_back(slot.at(name));
        const std::string &k = b.kind;
        if (k == "constant") {
            st.params = Constant{*b.value};
        } else if (k == "steps") {
            st.params = Steps{*b.initial, b.at};
        } else if (k == "ramp") {
            st.params = Ramp{b.points};
        } else if (k == "lab_time") {
            st.params = LabTime{b.every, b.delay};
        } else if (k == "noise") {
            std::vector<double> v = Normal(seed, b.stream).draw(n, b.sigma);
            for (double &e : v)
                e = e + b.mean;
            st.params = Noise{std::move(v)};
        } else if (k == "filtered_noise") {
            SFilter f(b.num, b.den, ts);
            st.params = FilteredNoise{Normal(seed, b.stream).draw(n, b.sigma), f.zfilter().Bz(),
                                      f.zfilter().Az(), b.offset};
        } else if (k == "test_signal") {
            const std::vector<std::uint32_t> w = seed_sequence_state({seed, b.stream}, 1);
            st.params = TestSignal{qxdcs::TestSignal::legacy_table(w[0]), b.half_period,
                                   b.amplitude, b.offset};
        } else if (k == "sum") {
            st.params = Sum{b.gains, *b.bias};
        } else if (k == "lead_lag") {
            qxdcs::LeadLag f(b.alpha, b.tao, std::floor(ts), b.u_ini, b.u_ini);
            st.params = LeadLag{f.b(), f.a(), *f.zi(), f.last().u, f.last().y, b.gain,
                                *b.ff_offset};
        } else if (k == "transfer_function") {
            SFilter f(b.num, b.den, ts);
            st.params = TransferFunction{f.zfilter().Bz(), f.zfilter().Az(), b.u_ini, b.y_ini,
                                         b.gain};
        } else if (k == "rate_limit") {
            st.params = RateLimit{b.u_ini, b.rise, b.fall};
        } else if (k == "delay") {
            st.params = Delay{b.samples};
        } else if (k == "model") {
            Model m;
            for (const auto &[name, entry] : b.model)
                m.pairs.push_back(pair_of(entry, ts));
            m.u_ini = b.model_u_ini;
            m.y_ini = b.model_initial;
            st.params = std::move(m);
        } else if (k == "pid") {
            st.params = Pid{b.KP, b.TI, b.TD, b.N, b.op_high, b.op_low, b.mode, b.mode_changes};
        } else if (k == "alarm") {
            st.params = Alarm{b.on_delay, b.samples, b.band, b.above, b.below};
        } else if (k == "lab_value") {
            st.params = LabValue{b.every, b.delay, b.u_ini,
                                 Normal(seed, b.stream).draw(n / std::size_t(b.every) + 2,
                                                             b.sigma)};
        } else if (k == "bias_update") {
            st.params = BiasUpdate{b.name, b.filter_tao, {}, {}, b.abs_threshold,
                                   std::size_t(b.prd_len), std::size_t(b.const_len)};
        } else if (k == "lab_recorder") {
            st.params = LabRecorder{b.name, b.abs_threshold, std::size_t(b.const_len)};
        }
        if (is_schedule_kind(k))
            p.schedules.push_back(std::move(st));
        else if (k == "delay")
            p.after.push_back(std::move(st));
        else
            p.steps.push_back(std::move(st));
    }

    // The plant.
    const file::Plant &pl = d.plant;
    p.plant.initial = pl.initial;
    if (pl.model) {
        p.plant.locals.push_back(local_of(*pl.model, 1.0, pl.initial, false, ts));
    } else {
        p.plant.lpv = true;
        for (const file::LocalPlant &l : pl.local) {
            strategy::LocalPlant lp = local_of(l.model, l.gain, pl.initial, true, std::floor(ts));
            lp.working_point = l.working_point;
            p.plant.locals.push_back(std::move(lp));
        }
        p.plant.working_value = slot.at(pl.working_value);
    }
    for (const std::string &mv : x.mvs)
        p.plant.mv.emplace_back(mv, slot.at(mv));
    for (const std::string &cv : x.cvs)
        p.plant.cv.emplace_back(cv, slot.at(cv));
    for (const auto &[cv, sig] : pl.disturbance)
        p.plant.disturbance.emplace_back(cv, slot.at(sig));
    return p;
}

}  // namespace strategy
}  // namespace qxdcs
