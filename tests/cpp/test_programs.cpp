// The behaviours the project's own test programs check on the console, a
// group per behaviour.
#include <gtest/gtest.h>

#include "programs.h"

namespace {

TEST(Programs, MemoryMirrors) { test::expect_program_passes("memory_mirrors", 10); }

TEST(Programs, UndocumentedInstructionsOnRegisters) { test::expect_program_passes("unofficial_on_registers", 10); }

}  // namespace
