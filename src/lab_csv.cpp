#include "qxdcs/lab_csv.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxdcs {

std::string float_text(double x) {
    if (std::isnan(x))
        return "nan";
    if (std::isinf(x))
        return x > 0 ? "inf" : "-inf";

    // The shortest round-trip digits, as d[.ddd]e±XX.
    char buf[64];
    const std::to_chars_result r =
        std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char *p = buf, *end = r.ptr;
    std::string out;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::string digits;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.')
            digits += *p;
    // The exponent, "e+16" or "e-07": read within the buffer, which
    // to_chars does not terminate.
    int exp10 = 0;
    if (p < end && ++p < end) {
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+')
            ++p;
        std::from_chars(p, end, exp10);
        if (negative)
            exp10 = -exp10;
    }

    if (exp10 < -4 || exp10 >= 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += exp10 < 0 ? "e-" : "e+";
        const int a = exp10 < 0 ? -exp10 : exp10;
        if (a < 10)
            out += '0';
        out += std::to_string(a);
        return out;
    }
    // Positional: the point goes after the first `point` digits.
    const int point = exp10 + 1;
    const int n = int(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(std::size_t(-point), '0');
        out += digits;
    } else if (point < n) {
        out.append(digits, 0, std::size_t(point));
        out += '.';
        out.append(digits, std::size_t(point), std::string::npos);
    } else {
        out += digits;
        out.append(std::size_t(point - n), '0');
        out += ".0";
    }
    return out;
}

double wall_clock_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t ns = std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    // Whole seconds exactly, otherwise nanoseconds divided by 1e9, in that
    // order (the interpreter's own conversion).
    if (ns % 1000000000 == 0)
        return double(ns / 1000000000);
    return double(ns) / 1e9;
}

bool epoch_second(double t, std::time_t &out) {
    if (std::isnan(t))
        return false;
    const double d = std::floor(t);
    // time_t is 64 bits wide: [-2**63, 2**63).
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
        return false;
    out = std::time_t(std::int64_t(d));
    return true;
}

bool local_time_text(std::time_t t, std::string &out) {
    std::tm tm;
    if (!localtime_r(&t, &tm))
        return false;
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, kLocalTimeFormat, &tm);
    if (n == 0)
        return false;
    out.assign(buf, n);
    return true;
}

std::string lab_csv_line(const std::string &export_time, const std::string &lab_time,
                         double lab_data) {
    std::string line;
    line.reserve(export_time.size() + lab_time.size() + 32);
    line += export_time;
    line += ',';
    line += lab_time;
    line += ',';
    line += float_text(lab_data);
    line += '\n';
    return line;
}

namespace {

// A symbolic link as the file's own name is never followed: the file must lie
// where its path says, inside the recorder's folder (a link in the folder's
// path is the caller's choice of folder, and is followed).
#ifdef O_NOFOLLOW
constexpr int kNoFollow = O_NOFOLLOW;
#else
constexpr int kNoFollow = 0;
#endif

// Opens `path` for appending. `created_new`: this call created the file
// itself (O_EXCL); `created`: the file did not exist for this call (a file
// removed between the two opens). A symbolic link at `path`, dangling or
// not, fails with ELOOP.
int open_for_append(const char *path, bool &created_new, bool &created) {
    created_new = created = false;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | kNoFollow, 0666);
    if (fd >= 0) {
        created_new = created = true;
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | kNoFollow);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | kNoFollow, 0666);
    if (fd >= 0)
        created = true;
    return fd;
}

} // namespace

AppendResult append_line(const char *path, const std::string &header, const std::string &line) {
    AppendResult res;
    bool created_new = false;
    const int fd = open_for_append(path, created_new, res.created);
    if (fd < 0) {
        res.error = errno;
        struct stat st;
        res.link = res.error == ELOOP && ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
        return res;
    }
    const std::string text = res.created ? header + line : line;

    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const off_t size_before = regular ? st.st_size : 0;

    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            res.error = errno;
            break;
        }
        if (n == 0) {
            res.error = EIO;
            break;
        }
        done += std::size_t(n);
    }

    if (res.error && regular && (done > 0 || created_new)) {
        // Take back what this call wrote, unless another writer appended
        // meanwhile (the file then holds more than this call's bytes).
        if (::fstat(fd, &st) == 0 && st.st_size == size_before + off_t(done)) {
            if (created_new)
                ::unlink(path);
            else if (done > 0)
                (void)!::ftruncate(fd, size_before);
        }
    }
    if (::close(fd) != 0 && !res.error)
        res.error = errno;
    return res;
}

} // namespace qxdcs
