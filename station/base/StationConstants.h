#pragma once

namespace vorn::station {

// The content network's host-name suffix, the same value the client appends to
// a media host's name (with ":port" when not 80) to fetch through the mirror:
// "127.0.0.1:8000" becomes "127.0.0.1:8000.vorn-cdn.invalid", asked for on
// port 8090. It lies under the reserved top-level domain "invalid", so such a
// name never resolves by accident and a client without a proxy fails over to
// the origin at once; through the station as proxy it reaches the mirror.
inline constexpr const char* kCdnHostSuffix = ".vorn-cdn.invalid";

inline constexpr int kDefaultProtocolPort = 8080;
inline constexpr int kDefaultMediaPort = 8000;
inline constexpr int kDefaultMirrorPort = 8090;
inline constexpr int kDefaultAdminPort = 8091;

// Connections each port holds at most, and one client address at most on each
// port (an IPv6 client: its /64 network). A held connection costs the station
// about a kilobyte and a descriptor, a media answer one more for its file.
inline constexpr int kDefaultMaxConnections = 2048;
inline constexpr int kDefaultMaxConnectionsPerAddress = 64;

}  // namespace vorn::station
