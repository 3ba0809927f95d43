// The one C++ run-time function the library's code can reach, defined here so
// the library does not load libstdc++ (with libm and libgcc_s) into every
// process: binding their ~1,500 symbol relocations cost some 1.6 million
// instructions a start. std::string_view::substr reports a position past the
// end through it; built without exceptions, that ends the process, as the
// uncaught exception would.
#include <cstdlib>

namespace std {
[[noreturn]] __attribute__((visibility("hidden"))) void __throw_out_of_range_fmt(const char *, ...) { abort(); }
}  // namespace std
