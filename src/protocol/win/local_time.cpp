// Local calendar time with the thread-safe C runtime call of Windows.
#include "protocol/local_time.h"

namespace voxtrel {

bool LocalCalendarTime(time_t time, std::tm& calendar) {
    return localtime_s(&calendar, &time) == 0;
}

}  // namespace voxtrel
