// The local update service on the Windows RPC runtime. The endpoint and the event are the
// system's: only this program may use them while it runs.
#include <gtest/gtest.h>

class UpdateServiceContract : public ::testing::Test {};

#include "tests/updatelib/update_service_contract_tests.inc"
