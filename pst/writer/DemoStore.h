// The demo store: one of everything the viewer shows, with fixed content.
#pragma once

#include "StoreDescription.h"

namespace dravik::pst::writer {

StoreDescription demoStore();

// FILETIME of a UTC date and time.
uint64_t fileTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace dravik::pst::writer
