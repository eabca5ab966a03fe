// The board registry: which board class serves each mapper number.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "mapper.h"

namespace NES {

struct BoardEntry {
    int32_t number;                     // iNES / NES 2.0 mapper number
    const char* name;                   // the board family's name
    std::unique_ptr<Mapper> (*make)();  // a power-on board
};

// The boards, in increasing mapper number.
std::span<const BoardEntry> boards();

// The mapper object for a mapper number; prints "UNRECOGNIZED MAPPER!" and
// returns a DEFAULT_MAPPER for numbers without a class.
std::unique_ptr<Mapper> make_mapper(int number);
// The same; prints nothing when verbose is false.
std::unique_ptr<Mapper> make_mapper(int number, bool verbose);

}  // namespace NES
