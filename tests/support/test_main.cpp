#include <gtest/gtest.h>

#include <memory>

#include "program_run.h"

namespace {

// A run that names an NT version has every qelsvc.exe that the tests start
// (console commands and the service the Service Control Manager starts) run
// as that version.  qelsvc9x.exe is started by one test program, which sets
// its version per test.
class ShippedProgramVersion : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (const char* version = qeltest::TestedWindowsVersion("qelsvc.exe", nullptr))
            emulation_ = std::make_unique<qeltest::WindowsVersionEmulation>("qelsvc.exe", version);
    }
    void TearDown() override { emulation_.reset(); }

private:
    std::unique_ptr<qeltest::WindowsVersionEmulation> emulation_;
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ShippedProgramVersion);
    return RUN_ALL_TESTS();
}
