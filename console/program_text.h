// A port program as text, for `teldo run`: one operation a line, read into
// the operations that TELDOX_Run sends, and checked whole with the rules of
// port_program.h before anything is opened. No platform header.
//   rd|rd16|rd32 PORT
//   wr|wr16|wr32 PORT VALUE
//   modify|modify16|modify32 PORT MASK BITS
//   wait N us|ms
//   poll|poll16|poll32 PORT MASK VALUE N us|ms
// PORT, VALUE, MASK and BITS are hex, as in the other commands; N is a time,
// in decimal. `#` starts a comment, to the end of its line; blank lines are
// skipped.
#pragma once

#include <cstdint>
#include <string_view>

#include "command.h"
#include "port_program.h"

namespace teldo::console {

// The longest program text taken, in bytes.
constexpr std::uint32_t max_program_text = 64 * 1024;

struct Program {
    std::uint32_t count;
    program::Operation operations[program::max_operations];
    std::uint32_t lines[program::max_operations];  // each operation's line, the first line 1
};

// Reads the whole of `text` into `result`, or gives the first thing wrong
// with it and, in `line`, the line it is on (0 when it is about no one line).
Usage parse_program(std::string_view text, Program& result, std::uint32_t& line);

}  // namespace teldo::console
