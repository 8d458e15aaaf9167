#include "qxdcs/lab_recorder.hpp"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "qxdcs/error.hpp"
#include "qxdcs/lab_csv.hpp"

namespace qxdcs {

namespace fs = std::filesystem;

LabDataRecorder::LabDataRecorder(std::string name, double abs_threshold, std::size_t const_len,
                                 const std::string &csv_dir)
    : name_(std::move(name)), lab_(const_len + 2), abs_threshold_(abs_threshold) {
    if (name_ == "." || name_ == ".." || name_.find('/') != std::string::npos ||
        name_.find('\0') != std::string::npos)
        throw ValueError("LabDataRecorder name must not contain a path separator or a NUL "
                         "character, nor be '.' or '..': '" + name_ + "'");
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(fs::absolute(fs::path(csv_dir), ec), ec);
    if (ec)
        throw OSError(ec.value(), csv_dir);
    fs::create_directories(dir, ec);
    if (ec)
        throw OSError(ec.value(), dir.string());
    csv_file_ = (dir / (name_ + kLabCsvSuffix)).string();
}

void LabDataRecorder::export_lab_data_csv(double lab_data, double lab_time) {
    std::string now, at;
    std::time_t sec;
    if (!local_time_text(std::time(nullptr), now))
        throw OverflowError("the local time cannot be formatted");
    if (!epoch_second(lab_time, sec) || !local_time_text(sec, at))
        throw OverflowError("timestamp out of range for platform time_t");
    const AppendResult r = append_line(csv_file_.c_str(), kLabCsvHeader,
                                       lab_csv_line(now, at, lab_data));
    if (r.error)
        throw OSError(r.error, csv_file_);
}

bool LabDataRecorder::run(double lab_data, double lab_time) {
    if (!std::isfinite(lab_data))
        throw ValueError(name_ + " LabDataRecorder: lab_data is not finite!");
    if (!std::isfinite(lab_time))
        throw ValueError(name_ + " LabDataRecorder: lab_time is not finite!");
    // Whether the value is new is known before the window changes; the
    // window is copied only then, to be put back should the export fail.
    const bool first = lab_.empty();
    ChangeWindow filled;
    if (first) {
        filled = ChangeWindow(lab_.capacity());
        filled.fill(lab_data);
    }
    const bool fresh = (first ? filled : lab_).fresh_change_after(lab_data, abs_threshold_);
    ChangeWindow before;
    if (fresh)
        before = lab_;
    if (first)
        lab_ = std::move(filled);
    lab_.push(lab_data);
    if (!fresh)
        return false;
    try {
        export_lab_data_csv(lab_data, lab_time);
    } catch (...) {
        lab_ = std::move(before);
        throw;
    }
    return true;
}

} // namespace qxdcs
