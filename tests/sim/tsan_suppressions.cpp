#include "tests/sim/tsan_suppressions.h"

namespace sim {

const char* tsanSuppressionText()
{
    return "called_from_lib:libumockdev.so.0\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libusb-1.0.so.0\n"
           "called_from_lib:libudev.so.1\n"
           "race:libzmq.so\n"
           "race:libczmq.so\n";
}

const bool kTsanSuppressions = true;

} // namespace sim

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return sim::tsanSuppressionText();
}
#endif
