#include <gtest/gtest.h>

#include "tests/ui/UiTestSupport.h"

namespace {

// Every widget test of this program runs with one QApplication.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { vorn::test::EnsureApplication(); }
};

[[maybe_unused]] auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
