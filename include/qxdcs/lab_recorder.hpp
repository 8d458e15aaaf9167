// The lab-data recorder (qxSoftSensor.LabDataRecorder): appends each new
// laboratory result, once it has settled, to the CSV file
// <csv_dir>/<name>_Raw_LabData.csv (lab_csv.hpp gives the format).
//
// A new result is detected as the soft sensor detects it: a window of the
// last const_len + 2 values passed to run(), a first step of at least
// abs_threshold and no step of 1e-6 or more after it (ChangeWindow). One
// run(), in this order:
//   1. lab_data and lab_time must be finite: ValueError "<name>
//      LabDataRecorder: lab_data is not finite!" (or lab_time); nothing changes;
//   2. the first call fills the window with its value;
//   3. the value is appended to the window;
//   4. when the window now reports a new value, the line is exported and
//      run() returns true; an export that fails (OSError) leaves the window
//      as it was before the call, so the next call offers the value again.
#pragma once

#include <cstddef>
#include <string>

#include "qxdcs/soft_sensor.hpp"

namespace qxdcs {

class LabDataRecorder {
public:
    // The directory is made absolute (against the working directory now),
    // resolved and created with its missing parents (OSError when it cannot
    // be). ValueError for a name with a path separator or a NUL character,
    // or "." or "..".
    explicit LabDataRecorder(std::string name = "softSensor", double abs_threshold = 1e-6,
                             std::size_t const_len = 60, const std::string &csv_dir = "./");

    bool run(double lab_data, double lab_time);
    // Appends one data line unconditionally (and the header line when this
    // creates the file): the local time now, the local time of lab_time's
    // whole second, the value in its shortest exact form. OSError when the
    // file cannot be written (the file keeps the line whole or not at all),
    // OverflowError for a lab_time the C library cannot convert.
    void export_lab_data_csv(double lab_data, double lab_time);

    const std::string &name() const { return name_; }
    double abs_threshold() const { return abs_threshold_; }
    // The absolute path of the CSV file.
    const std::string &csv_file() const { return csv_file_; }
    // The window of laboratory values (_lab_data_list), for reading and restoring.
    ChangeWindow &window() { return lab_; }
    const ChangeWindow &window() const { return lab_; }

private:
    std::string name_;
    ChangeWindow lab_;
    double abs_threshold_;
    std::string csv_file_;
};

} // namespace qxdcs
