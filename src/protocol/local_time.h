// Thread-safe conversion of a time to local calendar time, one implementation per platform.
#pragma once

#include <ctime>

namespace voxtrel {

bool LocalCalendarTime(time_t time, std::tm& calendar);

}  // namespace voxtrel
