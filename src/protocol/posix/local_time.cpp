// Local calendar time with the reentrant C library call of POSIX systems.
#include "protocol/local_time.h"

namespace voxtrel {

bool LocalCalendarTime(time_t time, std::tm& calendar) {
    return localtime_r(&time, &calendar) != nullptr;
}

}  // namespace voxtrel
