// The behaviours the project's own test programs check on the console, a
// group per behaviour.
#include <gtest/gtest.h>

#include "programs.h"

namespace {

TEST(Programs, MemoryMirrors) { test::expect_program_passes("memory_mirrors", 10); }

TEST(Programs, UndocumentedInstructionsOnRegisters) {
    for (const char* name : {"unofficial_rmw_mapper", "unofficial_on_registers"}) test::expect_program_passes(name, 10);
}

}  // namespace
