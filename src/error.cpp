#include "qxdcs/error.hpp"

#include <cstdio>

namespace qxdcs {

void print_line(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace qxdcs
