// Fixtures recorded from the Python side (tests/cpp/record_fixtures.py) and
// comparisons with them.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qxtest {

class Fixture {
public:
    explicit Fixture(const std::string &name) {
        const std::string path = std::string(QX_FIXTURES) + "/" + name;
        std::ifstream in(path);
        if (!in)
            throw std::runtime_error("fixture missing: " + path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            std::string key, word;
            words >> key;
            std::vector<double> values;
            while (words >> word)
                values.push_back(std::strtod(word.c_str(), nullptr));  // hex floats exactly
            records_[key] = std::move(values);
        }
    }

    bool has(const std::string &key) const { return records_.count(key) > 0; }
    const std::vector<double> &operator[](const std::string &key) const {
        auto it = records_.find(key);
        if (it == records_.end())
            throw std::runtime_error("no fixture record " + key);
        return it->second;
    }
    double scalar(const std::string &key) const { return (*this)[key].at(0); }
    std::size_t count(const std::string &key) const { return std::size_t(scalar(key)); }

private:
    std::map<std::string, std::vector<double>> records_;
};

// The same double to the last bit (signed zeros told apart); NaN equals NaN.
inline bool same_bits(double a, double b) {
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline ::testing::AssertionResult SameBits(const std::vector<double> &got,
                                           const std::vector<double> &want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << "size " << got.size() << " instead of " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!same_bits(got[i], want[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << std::hexfloat << got[i] << " instead of "
                   << want[i] << std::defaultfloat << " (" << got[i] << " vs " << want[i] << ")";
    return ::testing::AssertionSuccess();
}

// Within tol of the largest magnitude of `want` (a polynomial's or a
// signal's scale), element by element.
inline ::testing::AssertionResult Near(const std::vector<double> &got,
                                       const std::vector<double> &want, double tol) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << "size " << got.size() << " instead of " << want.size();
    double scale = 0.0;
    for (double w : want)
        scale = std::fmax(scale, std::fabs(w));
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!(std::fabs(got[i] - want[i]) <= tol * scale))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << got[i] << " instead of " << want[i]
                   << " (scale " << scale << ")";
    return ::testing::AssertionSuccess();
}

} // namespace qxtest
