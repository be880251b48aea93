#include "platform/Clock.h"

#include <ctime>

namespace vorn {
namespace {

class SystemClock final : public Clock {
public:
    std::int64_t NowSeconds() const override { return static_cast<std::int64_t>(std::time(nullptr)); }
};

}  // namespace

const Clock& Clock::System() {
    static const SystemClock clock;
    return clock;
}

}  // namespace vorn
