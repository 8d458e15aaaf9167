// The lab-data CSV file: texts of its lines, the clock and local time they
// use, and appending a line so that it is written whole or not at all.
//
// File format (UTF-8 without byte-order mark, every line ended by "\n"):
//     ExportTime,LabTime,LabData                   (once, by the export that creates the file)
//     2024-03-01 08:15:02,2024-03-01 06:00:00,12.5
// ExportTime is the local time of the export, LabTime the laboratory
// sampling time in local time (the fraction of a second dropped), LabData
// the value as the interpreter writes a float (repr): the shortest text that
// reads back to the same double.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace qxdcs {

inline constexpr const char *kLabCsvHeader = "ExportTime,LabTime,LabData\n";
inline constexpr const char *kLabCsvSuffix = "_Raw_LabData.csv";
inline constexpr const char *kLocalTimeFormat = "%Y-%m-%d %H:%M:%S";

// A double as the interpreter's repr writes it: the shortest decimal text
// that reads back to the same value, in positional form with at least one
// digit after the point (3.0, 0.0001) when the decimal exponent e of the
// first digit is -4 <= e < 16, otherwise as d[.ddd]e±XX with at least two
// exponent digits (1e-05, 1e+16, 1.5e+300); "nan", "inf", "-inf".
std::string float_text(double x);

// Seconds since the epoch now, from the same clock and with the same
// rounding as the interpreter's time.time().
double wall_clock_seconds();

// The whole second of t (rounded toward minus infinity), as the
// interpreter's time.localtime takes a float; false for NaN and for values
// outside the range of time_t.
bool epoch_second(double t, std::time_t &out);

// Local time of t formatted with kLocalTimeFormat (localtime_r, strftime);
// false when the C library cannot convert t.
bool local_time_text(std::time_t t, std::string &out);

// One data line: "<export time>,<lab time>,<value>\n".
std::string lab_csv_line(const std::string &export_time, const std::string &lab_time,
                         double lab_data);

// Appends `line` to the file at `path` (opened for appending, created with
// mode 0666 less the umask when missing), preceded by `header` when this
// call creates the file, in one write. A write that fails part-way is taken
// back when the file has not grown by anything else meanwhile (a file this
// call created is removed again), so the file holds the line whole or not
// at all; a file that did not grow is left as it was. The file is closed in
// every case.
// A symbolic link at `path` is refused (error ELOOP, `link` true): the file
// is never written through one.
struct AppendResult {
    int error = 0;         // 0, or the errno value of the failure
    bool created = false;  // the header was (to be) written
    bool link = false;     // refused: `path` is a symbolic link
};
AppendResult append_line(const char *path, const std::string &header, const std::string &line);

} // namespace qxdcs
