#pragma once

namespace vorn {

// The rating control's waiting animation: how many stars to light at each
// step, sweeping 0, 1, 2, 3, 4, 5, 4, 3, 2, 1, 0, 1, ... without end.
class StarSweep {
public:
    // The number to show now; the following call gives the next step.
    int Next();

private:
    int stars_ = 0;
    bool upwards_ = true;
};

}  // namespace vorn
