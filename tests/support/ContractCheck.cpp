// Linked into every test program: a module that asks a host object for a
// contract name the host does not describe fails the run, whatever the test.

#include <gtest/gtest.h>

#include "RefHost/Contract.h"

namespace {

class ContractCheck final : public ::testing::Environment {
public:
    void SetUp() override { RefHost::ClearContractViolations(); }
    void TearDown() override
    {
        for (const auto& violation : RefHost::ContractViolations())
            ADD_FAILURE() << "contract violation: " << violation;
    }
};

[[maybe_unused]] auto* const kCheck = ::testing::AddGlobalTestEnvironment(new ContractCheck);

}  // namespace
