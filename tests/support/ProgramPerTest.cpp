#include <gtest/gtest.h>

#include <memory>

#include "program/Program.h"

// Every test runs in a program of its own: windows, image list, slide show and
// message sinks are made afresh as the test starts and go when it ends.
namespace {
class ProgramPerTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { program_ = std::make_unique<Program>(); }
    void OnTestEnd(const ::testing::TestInfo&) override { program_.reset(); }

    std::unique_ptr<Program> program_;
};

[[maybe_unused]] const bool installed = (::testing::UnitTest::GetInstance()->listeners().Append(new ProgramPerTest), true);
}  // namespace
