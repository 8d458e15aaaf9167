// Every public header, compiled once in the library with its warning flags
// (-Wall -Wextra), so that a warning in a header-only block shows up in the
// build even where no source of the library includes it.
#include "qxdcs/qxdcs.hpp"
