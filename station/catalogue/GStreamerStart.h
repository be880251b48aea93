#pragma once

#include <string>

namespace vorn::station {

// Initialises GStreamer for the process (again and again is harmless); false
// with `error` set when it cannot start.
bool StartGStreamer(std::string& error);

}  // namespace vorn::station
