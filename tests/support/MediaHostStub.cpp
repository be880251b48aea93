#include "tests/support/MediaHostStub.h"

#include <chrono>
#include <thread>

namespace vorn::test {

MediaHostStub::MediaHostStub(std::size_t bodySize)
    : bodySize_(bodySize),
      server_(
          [this](LoopbackServer::Connection& c) {
              const std::string request = c.ReadUntil("\r\n\r\n");
              ++requests_;
              const std::size_t start = request.find(' ');
              const std::size_t end = request.find(" HTTP/");
              if (start == std::string::npos || end == std::string::npos || end <= start) return;
              const std::string path = request.substr(start + 1, end - start - 1);
              {
                  std::lock_guard lock(mutex_);
                  requestLines_.push_back(request.substr(0, request.find_first_of("\r\n")));
              }
              if (path.find("missing") != std::string::npos) {
                  c.Write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                  return;
              }
              const std::string body = BodyFor(path);
              if (!c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")) return;
              for (std::size_t at = 0; at < body.size(); at += 1024) {
                  if (!c.Write(body.substr(at, 1024))) return;
                  if (blockDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(blockDelayMs_));
              }
          },
          true) {}

std::string MediaHostStub::Origin() const { return "127.0.0.1:" + std::to_string(server_.Port()); }

std::string MediaHostStub::Url(const std::string& path) const { return "http://" + Origin() + path; }

void MediaHostStub::SetFixedBody(std::string body) {
    std::lock_guard lock(mutex_);
    fixedBody_ = std::move(body);
}

void MediaHostStub::Serve(const std::string& pathEnd, std::string body) {
    std::lock_guard lock(mutex_);
    served_[pathEnd] = std::move(body);
}

std::vector<std::string> MediaHostStub::RequestLines() const {
    std::lock_guard lock(mutex_);
    return requestLines_;
}

std::string MediaHostStub::BodyFor(const std::string& path) const {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [end, body] : served_) {
            if (path.ends_with(end)) return body;
        }
        if (!fixedBody_.empty()) return fixedBody_;
    }
    std::string body(bodySize_, '\0');
    std::size_t seed = std::hash<std::string>{}(path);
    for (char& c : body) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(seed >> 56);
    }
    return body;
}

}  // namespace vorn::test
