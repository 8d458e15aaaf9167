// Strategy files read from TOML (toml++, used header-only here so that the
// library has no run-time dependency on it), model dictionaries through the
// JSON reader (model_json.hpp): inline models are handed to it as JSON, model
// files are read as they are.
#include "qxdcs/strategy_file.hpp"

#if QXDCS_HAS_TOML

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include <nlohmann/json.hpp>

#include "qxdcs/error.hpp"
#include "qxdcs/model_json.hpp"

namespace qxdcs {
namespace strategy {
namespace file {

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, const toml::node *>>;

// A table's entries in file order (toml++ keeps them sorted by key).
Entries entries(const toml::table &t) {
    Entries out;
    std::vector<std::pair<std::pair<std::size_t, std::size_t>, std::size_t>> at;
    for (auto &&[k, v] : t) {
        const auto &b = k.source().begin;
        at.push_back({{b.line, b.column}, out.size()});
        out.emplace_back(std::string(k.str()), &v);
    }
    std::stable_sort(at.begin(), at.end());
    Entries sorted;
    for (const auto &a : at)
        sorted.push_back(out[a.second]);
    return sorted;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A TOML value as JSON text, tables in file order, floats exactly.
std::string json_of(const toml::node &n) {
    if (const toml::table *t = n.as_table()) {
        std::string out = "{";
        bool first = true;
        for (const auto &[k, v] : entries(*t)) {
            out += (first ? "" : ",") + json_string(k) + ":" + json_of(*v);
            first = false;
        }
        return out + "}";
    }
    if (const toml::array *a = n.as_array()) {
        std::string out = "[";
        for (std::size_t i = 0; i < a->size(); ++i)
            out += (i ? "," : "") + json_of(*a->get(i));
        return out + "]";
    }
    if (const auto *s = n.as_string())
        return json_string(s->get());
    if (const auto *i = n.as_integer())
        return std::to_string(i->get());
    if (const auto *f = n.as_floating_point()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", f->get());
        std::string s = buf;
        if (s.find_first_of(".eEn") == std::string::npos)
            s += ".0";   // stays a float
        return s;
    }
    if (const auto *b = n.as_boolean())
        return b->get() ? "true" : "false";
    return "null";   // dates: refused by the model reader as a value of the wrong type
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw OSError(errno ? errno : ENOENT, path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Reader {
    std::string source, base_dir;

    [[noreturn]] void refuse(const std::string &key, const std::string &what) const {
        throw ValueError(source + ": " + (key.empty() ? "" : key + ": ") + what);
    }

    const toml::table &table(const toml::node &n, const std::string &key) const {
        if (const toml::table *t = n.as_table())
            return *t;
        refuse(key, "must be a table");
    }

    // Refuses keys that are not among `valid`.
    void keys(const toml::table &t, const std::string &key,
              std::initializer_list<const char *> valid) const {
        for (const auto &[k, v] : entries(t)) {
            bool ok = false;
            for (const char *x : valid)
                ok = ok || k == x;
            if (!ok) {
                std::string list;
                for (const char *x : valid)
                    list += std::string(list.empty() ? "" : ", ") + x;
                refuse(key.empty() ? k : key + "." + k,
                       "unknown key '" + k + "' (valid: " + list + ")");
            }
        }
    }

    static std::string join(const std::string &key, const std::string &k) {
        return key.empty() ? k : key + "." + k;
    }

    double number(const toml::node &n, const std::string &key) const {
        if (const auto *i = n.as_integer())
            return double(i->get());
        if (const auto *f = n.as_floating_point()) {
            if (!std::isfinite(f->get()))
                refuse(key, "must be a finite number");
            return f->get();
        }
        refuse(key, "must be a number");
    }
    double positive(const toml::node &n, const std::string &key) const {
        const double v = number(n, key);
        if (!(v > 0.0))
            refuse(key, "must be positive");
        return v;
    }
    double non_negative(const toml::node &n, const std::string &key) const {
        const double v = number(n, key);
        if (!(v >= 0.0))
            refuse(key, "must be at least 0");
        return v;
    }
    long long integer(const toml::node &n, const std::string &key, long long low) const {
        const auto *i = n.as_integer();
        if (!i)
            refuse(key, "must be a whole number");
        if (i->get() < low)
            refuse(key, "must be at least " + std::to_string(low));
        return i->get();
    }
    std::string text(const toml::node &n, const std::string &key, bool nonempty = true) const {
        const auto *s = n.as_string();
        if (!s)
            refuse(key, "must be a string");
        if (nonempty && s->get().empty())
            refuse(key, "must not be empty");
        return s->get();
    }
    bool flag(const toml::node &n, const std::string &key) const {
        const auto *b = n.as_boolean();
        if (!b)
            refuse(key, "must be true or false");
        return b->get();
    }
    const toml::array &array(const toml::node &n, const std::string &key) const {
        const toml::array *a = n.as_array();
        if (!a)
            refuse(key, "must be a list");
        return *a;
    }
    std::vector<double> numbers(const toml::node &n, const std::string &key) const {
        std::vector<double> out;
        const toml::array &a = array(n, key);
        for (std::size_t i = 0; i < a.size(); ++i)
            out.push_back(number(*a.get(i), key + "." + std::to_string(i)));
        if (out.empty())
            refuse(key, "needs at least one coefficient");
        return out;
    }
    TimedValues timed(const toml::node &n, const std::string &key) const {
        TimedValues out;
        const toml::array &a = array(n, key);
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::string k = key + "." + std::to_string(i);
            const toml::array &p = array(*a.get(i), k);
            if (p.size() != 2)
                refuse(k, "must be [time_s, value]");
            out.emplace_back(non_negative(*p.get(0), k + ".0"), number(*p.get(1), k + ".1"));
        }
        for (std::size_t i = 1; i < out.size(); ++i)
            if (out[i].first < out[i - 1].first)
                refuse(key + "." + std::to_string(i), "times must not decrease");
        return out;
    }

    // A model: an inline table or the JSON file it names, whose initial
    // values and units fill in the plant's.
    ModelDict model(const toml::node &n, const std::string &key, Plant &plant) const {
        if (const auto *s = n.as_string()) {
            const std::string path = (fs::path(base_dir) / s->get()).string();
            const std::string body = read_text(path);
            nlohmann::ordered_json j;
            try {
                j = nlohmann::ordered_json::parse(body);
            } catch (const nlohmann::json::exception &e) {
                refuse(key, "the model file '" + s->get() + "' is not JSON: " + e.what());
            }
            const bool wrapped = j.is_object() && j.contains("model") && j["model"].is_object() &&
                                 (j.size() == 1 || j.contains("initial") || j.contains("units") ||
                                  j.contains("description"));
            if (wrapped) {
                if (j.contains("initial") && j["initial"].is_object()) {
                    TagValues merged;
                    for (auto &[tag, v] : j["initial"].items())
                        if (v.is_number() && !v.is_boolean())
                            merged.emplace_back(tag, v.get<double>());
                    for (auto &[tag, v] : plant.initial) {
                        bool found = false;
                        for (auto &[t, x] : merged)
                            if (t == tag) {
                                x = v;
                                found = true;
                            }
                        if (!found)
                            merged.emplace_back(tag, v);
                    }
                    plant.initial = std::move(merged);
                }
                if (j.contains("units") && j["units"].is_object())
                    for (auto &[tag, v] : j["units"].items())
                        if (v.is_string()) {
                            bool found = false;
                            for (auto &u : plant.units)
                                found = found || u.first == tag;
                            if (!found)
                                plant.units.emplace_back(tag, v.get<std::string>());
                        }
            }
            return parse_model_json(body, wrapped ? "/model" : "", path);
        }
        if (!n.as_table())
            refuse(key, "must be a model dictionary (a table) or the name of a JSON model file");
        return parse_model_json(json_of(n), "", source + ": " + key);
    }

    void simulation(const toml::table &t, Simulation &s) const {
        const std::string key = "simulation";
        keys(t, key, {"description", "sample_period_s", "duration_s", "samples", "seed",
                      "time_unit", "start"});
        if (!t.contains("sample_period_s"))
            refuse(key, "missing key 'sample_period_s'");
        for (const auto &[k, v] : entries(t)) {
            const std::string kk = join(key, k);
            if (k == "sample_period_s")
                s.sample_period_s = positive(*v, kk);
            else if (k == "duration_s")
                s.duration_s = positive(*v, kk);
            else if (k == "samples")
                s.samples = std::size_t(integer(*v, kk, 1));
            else if (k == "seed")
                s.seed = std::uint64_t(integer(*v, kk, 0));
            else if (k == "time_unit") {
                s.time_unit = text(*v, kk);
                if (s.time_unit != "s" && s.time_unit != "min" && s.time_unit != "h")
                    refuse(kk, "must be \"s\", \"min\" or \"h\"");
            } else if (k == "start") {
                if (const auto *dt = v->as_date_time()) {
                    const toml::date_time d = dt->get();
                    std::tm tm{};
                    tm.tm_year = d.date.year - 1900;
                    tm.tm_mon = d.date.month - 1;
                    tm.tm_mday = d.date.day;
                    tm.tm_hour = d.time.hour;
                    tm.tm_min = d.time.minute;
                    tm.tm_sec = d.time.second;
                    tm.tm_isdst = -1;
                    double sec;
                    if (d.offset) {
                        sec = double(timegm(&tm)) - 60.0 * d.offset->minutes;
                    } else {
                        sec = double(std::mktime(&tm));
                    }
                    s.start = sec + d.time.nanosecond * 1e-9;
                } else {
                    s.start = number(*v, kk);
                }
            }
        }
        if (s.duration_s.has_value() == s.samples.has_value())
            refuse(key, "give exactly one of 'duration_s' and 'samples'");
    }

    void plant(const toml::table &t, Plant &p) const {
        const std::string key = "plant";
        keys(t, key, {"description", "model", "local", "working_value", "initial", "units",
                      "disturbance"});
        // The tables of values first: a model file's fill in what they lack.
        if (const toml::node *n = t.get("initial"))
            for (const auto &[tag, v] : entries(table(*n, "plant.initial")))
                p.initial.emplace_back(tag, number(*v, "plant.initial." + tag));
        if (const toml::node *n = t.get("units"))
            for (const auto &[tag, v] : entries(table(*n, "plant.units")))
                p.units.emplace_back(tag, text(*v, "plant.units." + tag, false));
        if (const toml::node *n = t.get("disturbance"))
            for (const auto &[cv, v] : entries(table(*n, "plant.disturbance")))
                p.disturbance.emplace_back(cv, text(*v, "plant.disturbance." + cv));
        if (const toml::node *n = t.get("working_value"))
            p.working_value = text(*n, "plant.working_value");
        if (const toml::node *n = t.get("model"))
            p.model = model(*n, "plant.model", p);
        if (const toml::node *n = t.get("local")) {
            for (const auto &[name, v] : entries(table(*n, "plant.local"))) {
                const std::string lk = "plant.local." + name;
                const toml::table &lt = table(*v, lk);
                keys(lt, lk, {"description", "working_point", "model", "gain"});
                LocalPlant lp;
                lp.name = name;
                if (!lt.contains("working_point") || !lt.contains("model"))
                    refuse(lk, "a local plant needs 'working_point' and 'model'");
                lp.working_point = number(*lt.get("working_point"), lk + ".working_point");
                if (const toml::node *g = lt.get("gain"))
                    lp.gain = positive(*g, lk + ".gain");
                lp.model = model(*lt.get("model"), lk + ".model", p);
                p.local.push_back(std::move(lp));
            }
        }
    }

    void loop(const std::string &name, const toml::table &t, Loop &l) const {
        const std::string key = "loop." + name;
        keys(t, key, {"description", "cv", "mv", "KP", "TI", "TD", "N", "op_high", "op_low",
                      "mode", "mode_changes", "sp", "sp_rate_per_min", "measurement_noise",
                      "noise_seed", "feedforward"});
        for (const char *req : {"cv", "mv", "KP", "TI"})
            if (!t.contains(req))
                refuse(key, std::string("missing key '") + req + "'");
        l.name = name;
        auto mode = [&](const toml::node &n, const std::string &k) {
            const std::string m = text(n, k);
            if (m != "auto" && m != "manual")
                refuse(k, "must be \"auto\" or \"manual\"");
            return m == "auto";
        };
        for (const auto &[k, v] : entries(t)) {
            const std::string kk = join(key, k);
            if (k == "cv") l.cv = text(*v, kk);
            else if (k == "mv") l.mv = text(*v, kk);
            else if (k == "KP") l.KP = number(*v, kk);
            else if (k == "TI") l.TI = non_negative(*v, kk);
            else if (k == "TD") l.TD = non_negative(*v, kk);
            else if (k == "N") l.N = positive(*v, kk);
            else if (k == "op_high") l.op_high = number(*v, kk);
            else if (k == "op_low") l.op_low = number(*v, kk);
            else if (k == "mode") l.automatic = mode(*v, kk);
            else if (k == "mode_changes") {
                const toml::array &a = array(*v, kk);
                for (std::size_t i = 0; i < a.size(); ++i) {
                    const std::string ik = kk + "." + std::to_string(i);
                    const toml::array &p = array(*a.get(i), ik);
                    if (p.size() != 2)
                        refuse(ik, "must be [time_s, mode]");
                    l.mode_changes.emplace_back(non_negative(*p.get(0), ik + ".0"),
                                                mode(*p.get(1), ik + ".1"));
                }
            } else if (k == "sp") {
                if (v->as_string())
                    l.setpoint_signal(text(*v, kk));
                else if (v->as_array())
                    l.setpoint_steps(timed(*v, kk));
                else
                    l.setpoint(number(*v, kk));
            } else if (k == "sp_rate_per_min") l.sp_rate_per_min = positive(*v, kk);
            else if (k == "measurement_noise") l.measurement_noise = non_negative(*v, kk);
            else if (k == "noise_seed") l.noise_seed = std::uint64_t(integer(*v, kk, 0));
            else if (k == "feedforward") {
                const toml::table &f = table(*v, kk);
                keys(f, kk, {"description", "signal", "gain", "lead_lag", "num_s", "den_s"});
                if (!f.contains("signal"))
                    refuse(kk, "missing key 'signal'");
                Feedforward ff;
                ff.signal = text(*f.get("signal"), kk + ".signal");
                if (const toml::node *g = f.get("gain"))
                    ff.gain = number(*g, kk + ".gain");
                if (const toml::node *ll = f.get("lead_lag")) {
                    const toml::table &lt = table(*ll, kk + ".lead_lag");
                    keys(lt, kk + ".lead_lag", {"description", "alpha", "tao_s"});
                    if (!lt.contains("alpha") || !lt.contains("tao_s"))
                        refuse(kk + ".lead_lag", "needs 'alpha' and 'tao_s'");
                    ff.lead_lag = std::make_pair(
                        non_negative(*lt.get("alpha"), kk + ".lead_lag.alpha"),
                        non_negative(*lt.get("tao_s"), kk + ".lead_lag.tao_s"));
                }
                if (f.contains("num_s") != f.contains("den_s"))
                    refuse(kk, "a transfer function needs both 'num_s' and 'den_s'");
                if (f.contains("num_s")) {
                    if (ff.lead_lag)
                        refuse(kk, "give either 'lead_lag' or a transfer function");
                    ff.num_s = numbers(*f.get("num_s"), kk + ".num_s");
                    ff.den_s = numbers(*f.get("den_s"), kk + ".den_s");
                }
                l.feedforward = std::move(ff);
            }
        }
    }

    void signal(const std::string &name, const toml::table &t, Signal &s) const {
        const std::string key = "signal." + name;
        const toml::node *kn = t.get("kind");
        if (!kn)
            refuse(key, "missing key 'kind'");
        s.name = name;
        s.kind = text(*kn, key + ".kind");
        const std::string &k = s.kind;
        auto need = [&](std::initializer_list<const char *> req) {
            for (const char *r : req)
                if (!t.contains(r))
                    refuse(key, std::string("missing key '") + r + "'");
        };
        if (k == "constant") { keys(t, key, {"description", "unit", "kind", "value"}); need({"value"}); }
        else if (k == "steps") { keys(t, key, {"description", "unit", "kind", "initial", "at"}); need({"initial"}); }
        else if (k == "ramp") { keys(t, key, {"description", "unit", "kind", "points"}); need({"points"}); }
        else if (k == "noise") { keys(t, key, {"description", "unit", "kind", "sigma", "of", "mean", "seed"}); need({"sigma"}); }
        else if (k == "filtered_noise") { keys(t, key, {"description", "unit", "kind", "sigma", "num_s", "den_s", "of", "offset", "seed"}); need({"sigma", "num_s", "den_s"}); }
        else if (k == "test_signal") { keys(t, key, {"description", "unit", "kind", "half_period_s", "amplitude", "offset", "seed"}); need({"half_period_s"}); }
        else if (k == "sum") { keys(t, key, {"description", "unit", "kind", "inputs", "bias"}); need({"inputs"}); }
        else if (k == "lead_lag") { keys(t, key, {"description", "unit", "kind", "input", "alpha", "tao_s"}); need({"input", "alpha", "tao_s"}); }
        else if (k == "transfer_function") { keys(t, key, {"description", "unit", "kind", "input", "num_s", "den_s", "initial"}); need({"input", "num_s", "den_s"}); }
        else if (k == "rate_limit") { keys(t, key, {"description", "unit", "kind", "input", "rise_per_min", "fall_per_min"}); need({"input", "rise_per_min"}); }
        else if (k == "delay") { keys(t, key, {"description", "unit", "kind", "input", "delay_s"}); need({"input", "delay_s"}); }
        else if (k == "model") { keys(t, key, {"description", "unit", "kind", "model", "initial"}); need({"model"}); }
        else refuse(key + ".kind", "unknown kind '" + k + "' (constant, steps, ramp, noise, "
                                   "filtered_noise, test_signal, sum, lead_lag, "
                                   "transfer_function, rate_limit, delay, model)");
        for (const auto &[kk_, v] : entries(t)) {
            const std::string &f = kk_;
            const std::string kk = join(key, f);
            if (f == "unit") s.unit = text(*v, kk, false);
            else if (f == "value") s.value = number(*v, kk);
            else if (f == "initial") {
                if (k == "transfer_function") s.tf_initial = number(*v, kk);
                else s.initial = number(*v, kk);
            } else if (f == "at") s.at = timed(*v, kk);
            else if (f == "points") s.points = timed(*v, kk);
            else if (f == "of") s.of = text(*v, kk);
            else if (f == "input") s.input = text(*v, kk);
            else if (f == "sigma") s.sigma = non_negative(*v, kk);
            else if (f == "mean") s.mean = number(*v, kk);
            else if (f == "offset") s.offset = number(*v, kk);
            else if (f == "num_s") s.num_s = numbers(*v, kk);
            else if (f == "den_s") s.den_s = numbers(*v, kk);
            else if (f == "seed") s.seed = std::uint64_t(integer(*v, kk, 0));
            else if (f == "half_period_s") s.half_period_s = integer(*v, kk, 1);
            else if (f == "amplitude") s.amplitude = non_negative(*v, kk);
            else if (f == "inputs") {
                for (const auto &[in, g] : entries(table(*v, kk)))
                    s.inputs.emplace_back(in, number(*g, kk + "." + in));
            } else if (f == "bias") s.bias = number(*v, kk);
            else if (f == "alpha") s.alpha = non_negative(*v, kk);
            else if (f == "tao_s") s.tao_s = non_negative(*v, kk);
            else if (f == "rise_per_min") s.rise_per_min = positive(*v, kk);
            else if (f == "fall_per_min") s.fall_per_min = positive(*v, kk);
            else if (f == "delay_s") s.delay_s = positive(*v, kk);
            else if (f == "model") {
                // input signal -> pair, read as the model dictionary {name: {...}}.
                const toml::table &m = table(*v, kk);
                std::string wrapped = "{" + json_string(name) + ":" + json_of(m) + "}";
                ModelDict d = parse_model_json(wrapped, "", source + ": " + key);
                for (const auto &row : d.rows())
                    for (const auto &[in, entry] : row.models)
                        s.model.emplace_back(in, entry);
            }
        }
    }

    void alarm(const std::string &name, const toml::table &t, Alarm &a) const {
        const std::string key = "alarm." + name;
        keys(t, key, {"description", "kind", "loop", "band", "signal", "above", "below",
                      "delay_s"});
        if (!t.contains("delay_s"))
            refuse(key, "missing key 'delay_s'");
        a.name = name;
        for (const auto &[k, v] : entries(t)) {
            const std::string kk = join(key, k);
            if (k == "kind") {
                const std::string m = text(*v, kk);
                if (m != "on_delay" && m != "off_delay")
                    refuse(kk, "must be \"on_delay\" or \"off_delay\"");
                a.on_delay = m == "on_delay";
            } else if (k == "loop") a.loop = text(*v, kk);
            else if (k == "band") a.band = positive(*v, kk);
            else if (k == "signal") a.signal = text(*v, kk);
            else if (k == "above") a.above = number(*v, kk);
            else if (k == "below") a.below = number(*v, kk);
            else if (k == "delay_s") a.delay_s = positive(*v, kk);
        }
        if (a.loop.empty() == a.signal.empty())
            refuse(key, "give either 'loop' (with 'band') or 'signal' (with 'above' or 'below')");
        if (!a.loop.empty() && (!a.band || a.above || a.below))
            refuse(key, "an alarm on a loop takes 'band' (and no 'above' or 'below')");
        if (!a.signal.empty() && (a.band || (!a.above && !a.below)))
            refuse(key, "an alarm on a signal takes 'above' and/or 'below' (and no 'band')");
    }

    void soft_sensor(const std::string &name, const toml::table &t, SoftSensor &s) const {
        const std::string key = "soft_sensor." + name;
        keys(t, key, {"description", "prediction", "true_value", "lab_every_s", "lab_delay_s",
                      "lab_noise", "lab_seed", "bias_filter_samples", "const_samples",
                      "history_samples", "abs_threshold", "record", "unit"});
        for (const char *req : {"prediction", "true_value", "lab_every_s", "lab_delay_s"})
            if (!t.contains(req))
                refuse(key, std::string("missing key '") + req + "'");
        s.name = name;
        for (const auto &[k, v] : entries(t)) {
            const std::string kk = join(key, k);
            if (k == "prediction") s.prediction = text(*v, kk);
            else if (k == "true_value") s.true_value = text(*v, kk);
            else if (k == "lab_every_s") s.lab_every_s = positive(*v, kk);
            else if (k == "lab_delay_s") s.lab_delay_s = non_negative(*v, kk);
            else if (k == "lab_noise") s.lab_noise = non_negative(*v, kk);
            else if (k == "lab_seed") s.lab_seed = std::uint64_t(integer(*v, kk, 0));
            else if (k == "bias_filter_samples") s.bias_filter_samples = number(*v, kk);
            else if (k == "const_samples") s.const_samples = integer(*v, kk, 0);
            else if (k == "history_samples") s.history_samples = integer(*v, kk, 1);
            else if (k == "abs_threshold") s.abs_threshold = non_negative(*v, kk);
            else if (k == "record") s.record = flag(*v, kk);
            else if (k == "unit") s.unit = text(*v, kk, false);
        }
    }

    Description read(const toml::table &doc) const {
        Description d;
        d.source = source;
        // [study] describes a study of the file (qxdcs study), [live] how qxdcs control
        // reaches its signals over OPC UA; neither is the run: allowed, unread.
        keys(doc, "", {"description", "simulation", "plant", "loop", "signal", "alarm",
                       "soft_sensor", "study", "live"});
        if (!doc.contains("simulation"))
            refuse("", "missing table [simulation]");
        if (!doc.contains("plant"))
            refuse("", "missing table [plant]");
        simulation(table(*doc.get("simulation"), "simulation"), d.simulation);
        plant(table(*doc.get("plant"), "plant"), d.plant);
        auto named = [&](const char *section, auto &&each) {
            if (const toml::node *n = doc.get(section))
                for (const auto &[name, v] : entries(table(*n, section)))
                    each(name, table(*v, std::string(section) + "." + name));
        };
        named("loop", [&](const std::string &name, const toml::table &t) {
            d.loops.emplace_back();
            loop(name, t, d.loops.back());
        });
        named("signal", [&](const std::string &name, const toml::table &t) {
            d.signals.emplace_back();
            signal(name, t, d.signals.back());
        });
        named("alarm", [&](const std::string &name, const toml::table &t) {
            d.alarms.emplace_back();
            alarm(name, t, d.alarms.back());
        });
        named("soft_sensor", [&](const std::string &name, const toml::table &t) {
            d.soft_sensors.emplace_back();
            soft_sensor(name, t, d.soft_sensors.back());
        });
        return d;
    }
};

}  // namespace

Description parse(const std::string &text, const std::string &source, const std::string &base_dir) {
    toml::table doc;
    try {
        doc = toml::parse(text, source);
    } catch (const toml::parse_error &e) {
        throw ValueError(source + ": not a TOML file: " + std::string(e.description()) +
                         " (line " + std::to_string(e.source().begin.line) + ")");
    }
    return Reader{source, base_dir}.read(doc);
}

Description read_file(const std::string &path) {
    const std::string text = read_text(path);
    std::string base = fs::path(path).parent_path().string();
    return parse(text, path, base.empty() ? "." : base);
}

}  // namespace file
}  // namespace strategy

Strategy Strategy::from_file(const std::string &path, std::optional<std::string> lab_dir) {
    return Strategy(strategy::compile(strategy::file::read_file(path)), std::move(lab_dir));
}

}  // namespace qxdcs

#endif
