#pragma once

namespace vorn {

// The product's own web page, shown in the about box. The station serves it;
// the program wires the station's real address in here.
inline constexpr const char* kProductPageUrl = "http://localhost:8000/";

}  // namespace vorn
