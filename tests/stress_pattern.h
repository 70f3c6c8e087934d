// The bytes stress_command writes, shared with the tests that check them.
// A pattern whose period (251) is prime to every buffer size catches a piece
// sent twice or skipped, which a constant byte would not.
#ifndef SOCKHERD_STRESS_PATTERN_H
#define SOCKHERD_STRESS_PATTERN_H

#include <cstddef>

inline char stress_pattern_byte(size_t index)
{
    return static_cast<char>('!' + index % 251 % 94);
}

#endif
