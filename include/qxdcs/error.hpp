// The errors the library throws, and where its blocks send printed lines.
//
// Every error is a standard exception of the nearest C++ kind (so a caller
// may catch std::invalid_argument, std::out_of_range, ...) and also a
// qxdcs::Error, which tells the kind the Python modules raise for the same
// fault (ValueError, KeyError, ...). Messages are those of the Python modules
// where they have one.
//
//   qxdcs::ValueError         std::invalid_argument   a value out of its range
//   qxdcs::TypeError          std::invalid_argument   a value of the wrong kind (JSON files)
//   qxdcs::KeyError           std::out_of_range       a missing key or tag; what() is the
//                                                     key quoted as Python shows it: 'num_s'
//   qxdcs::IndexError         std::out_of_range       an empty sequence where one is needed
//   qxdcs::ZeroDivisionError  std::domain_error       a sample period or modulus of zero
//   qxdcs::OverflowError      std::overflow_error     a value beyond what can be converted
//   qxdcs::AssertionError     std::logic_error        an inconsistent model entry
//   qxdcs::OSError            std::system_error       a file that cannot be created or written
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace qxdcs {

enum class ErrorKind { Value, Type, Key, Index, ZeroDivision, Overflow, Assertion, OS };

// The common base of the library's errors (beside their standard base).
class Error {
public:
    virtual ~Error() = default;
    virtual ErrorKind kind() const noexcept = 0;
};

#define QXDCS_DEFINE_ERROR(Name, Base, Kind)                                                     \
    class Name : public Base, public Error {                                                     \
    public:                                                                                      \
        explicit Name(const std::string &what) : Base(what) {}                                   \
        ErrorKind kind() const noexcept override { return ErrorKind::Kind; }                     \
    };

QXDCS_DEFINE_ERROR(ValueError, std::invalid_argument, Value)
QXDCS_DEFINE_ERROR(TypeError, std::invalid_argument, Type)
QXDCS_DEFINE_ERROR(KeyError, std::out_of_range, Key)
QXDCS_DEFINE_ERROR(IndexError, std::out_of_range, Index)
QXDCS_DEFINE_ERROR(ZeroDivisionError, std::domain_error, ZeroDivision)
QXDCS_DEFINE_ERROR(OverflowError, std::overflow_error, Overflow)
QXDCS_DEFINE_ERROR(AssertionError, std::logic_error, Assertion)

#undef QXDCS_DEFINE_ERROR

class OSError : public std::system_error, public Error {
public:
    OSError(int errno_value, const std::string &what)
        : std::system_error(errno_value, std::generic_category(), what) {}
    ErrorKind kind() const noexcept override { return ErrorKind::OS; }
};

// A key as Python's KeyError shows it: 'num_s'.
inline KeyError key_error(std::string_view key) {
    return KeyError("'" + std::string(key) + "'");
}

// Where a block sends the lines it prints (one line, no line break). An
// empty sink drops them; print_line() writes them to standard output.
using MessageSink = std::function<void(std::string_view line)>;
void print_line(std::string_view line);

} // namespace qxdcs
