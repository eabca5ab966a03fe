// The behaviours the project's own test programs check on the console, a
// group per behaviour.
#include <gtest/gtest.h>

#include "programs.h"

namespace {

TEST(Programs, MemoryMirrors) { test::expect_program_passes("memory_mirrors", 10); }

TEST(Programs, UndocumentedInstructionsOnRegisters) { test::expect_program_passes("unofficial_on_registers", 10); }

TEST(Programs, HardwareBusTiming) { test::expect_program_passes("hardware_bus_timing", 20, NES::Accuracy::hardware); }

// Each board's banks, arrangement and counter, in both models.
TEST(Programs, Boards) {
    for (const char* name :
         {"axrom",  "color_dreams", "gxrom",    "nina03",   "multicart113", "unrom180", "camerica", "unrom512",
          "bnrom",  "nina001",      "namco108", "action53", "fme7",         "mmc2",     "mmc4",     "mmc5",
          "vrc4ac", "vrc4ef",       "vrc4bd",   "vrc2a",    "vrc6a",        "vrc6b"}) {
        for (NES::Accuracy accuracy : {NES::Accuracy::standard, NES::Accuracy::hardware})
            test::expect_program_passes(name, 30, accuracy);
    }
}

}  // namespace
