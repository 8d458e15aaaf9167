#include "qxdcs/model_json.hpp"

#include <cerrno>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "qxdcs/error.hpp"

namespace qxdcs {

namespace {

using Json = nlohmann::ordered_json;

// A JSON value's type as the Python side names the object json.loads makes.
const char *py_type(const Json &v) {
    switch (v.type()) {
    case Json::value_t::object: return "dict";
    case Json::value_t::array: return "list";
    case Json::value_t::string: return "str";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_float: return "float";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "int";
    case Json::value_t::null: return "NoneType";
    default: return "object";
    }
}

struct Reader {
    std::string source;

    [[noreturn]] void type_error(const std::string &where, const char *expected,
                                 const Json &v) const {
        throw TypeError(source + ": " + where + ": expected " + expected + ", got " + py_type(v));
    }

    bool truthy(const Json &v) const {
        switch (v.type()) {
        case Json::value_t::boolean: return v.get<bool>();
        case Json::value_t::number_float: return v.get<double>() != 0.0;
        case Json::value_t::number_integer: return v.get<long long>() != 0;
        case Json::value_t::number_unsigned: return v.get<unsigned long long>() != 0;
        case Json::value_t::null: return false;
        default: return !v.empty();
        }
    }

    double number(const std::string &where, const Json &v) const {
        if (!v.is_number() || v.is_boolean())
            type_error(where, "a number", v);
        return v.get<double>();
    }

    std::vector<double> numbers(const std::string &where, const Json &v) const {
        if (!v.is_array())
            type_error(where, "a list of numbers", v);
        std::vector<double> out;
        for (std::size_t k = 0; k < v.size(); ++k)
            out.push_back(number(where + "[" + std::to_string(k) + "]", v[k]));
        return out;
    }

    const Json &required(const std::string &where, const Json &m, const char *key) const {
        auto it = m.find(key);
        if (it == m.end())
            throw KeyError(source + ": " + where + ": '" + key + "'");
        return *it;
    }

    ModelSpec entry(const std::string &where, const Json &m) const {
        if (!m.is_object())
            type_error(where, "a model entry (dict)", m);
        const auto im = m.find("IntegralMark");
        const bool integral = im != m.end() && truthy(*im);
        if (m.empty())
            return ModelSpec::none();
        const auto mode_it = m.find("mode");
        if (mode_it == m.end() || (mode_it->is_string() && mode_it->get<std::string>() == "None"))
            return ModelSpec::none();
        const std::string mode = mode_it->is_string() ? mode_it->get<std::string>() : "";
        auto at = [&](const char *key) { return where + "." + key; };
        if (mode == "tf_s") {
            const std::vector<double> num = numbers(at("num_s"), required(where, m, "num_s"));
            const std::vector<double> den = numbers(at("den_s"), required(where, m, "den_s"));
            const auto d = m.find("iodelay_s");
            const double delay = d == m.end() ? 0.0 : number(at("iodelay_s"), *d);
            return ModelSpec::tf_s(num, den, delay, integral);
        }
        if (mode == "tf_z") {
            const std::vector<double> num = numbers(at("num_z"), required(where, m, "num_z"));
            const std::vector<double> den = numbers(at("den_z"), required(where, m, "den_z"));
            const auto d = m.find("iodelay_z");
            long long delay = 0;
            if (d != m.end()) {
                if (!d->is_number_integer())
                    type_error(at("iodelay_z"), "a whole number of samples (int)", *d);
                delay = d->get<long long>();
            }
            return ModelSpec::tf_z(num, den, delay, integral);
        }
        if (mode == "stp")
            return ModelSpec::step(numbers(at("stp"), required(where, m, "stp")), integral);
        if (mode == "stpxy") {
            const std::vector<double> x = numbers(at("x"), required(where, m, "x"));
            const std::vector<double> y = numbers(at("y"), required(where, m, "y"));
            return ModelSpec::step_xy(x, y, integral);
        }
        throw AssertionError(source + ": " + at("mode") +
                             ": not a model mode (tf_s, tf_z, stp, stpxy or None)");
    }

    ModelDict model(const Json &doc) const {
        if (!doc.is_object())
            throw TypeError(source + ": Argument 'process_model_dict' has incorrect type "
                                     "(expected dict, got " + py_type(doc) + ")");
        ModelDict d;
        for (const auto &[cv, inner] : doc.items()) {
            if (!inner.is_object())
                type_error(cv, "a dict of MV tag -> model entry", inner);
            d.add_cv(cv);
            for (const auto &[mv, m] : inner.items())
                d.add(cv, mv, entry(cv + "." + mv, m));
        }
        return d;
    }
};

} // namespace

ModelDict parse_model_json(const std::string &text, const std::string &pointer,
                           const std::string &source) {
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::parse_error &e) {
        throw ValueError(source + ": not JSON: " + e.what());
    }
    const Json *part = &doc;
    if (!pointer.empty()) {
        try {
            part = &doc.at(Json::json_pointer(pointer));
        } catch (const Json::exception &e) {
            throw ValueError(source + ": " + pointer + ": no such part of the document");
        }
    }
    return Reader{source}.model(*part);
}

ModelDict read_model_json(const std::string &path, const std::string &pointer) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw OSError(errno ? errno : ENOENT, path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_model_json(text.str(), pointer, path);
}

} // namespace qxdcs
