#pragma once

// The lines of the relay adversary's worker, made again from its seed by
// the test that checks them: "L<n> <payload>\n". No payload holds 'L', '#'
// (the relay shows a zero byte as "#000"), '\r' or '\n', so a line's start
// is unmistakable in any record.

#include <stdint.h>

#include <string>

struct ChaosLineKinds {
    bool longLines = false; // some longer than a record (1023 bytes)
    bool oddBytes = false;  // zero bytes and invalid UTF-8
};

inline uint64_t chaosMix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

inline std::string chaosLine(uint64_t seed, uint64_t n, const ChaosLineKinds &kinds)
{
    uint64_t s = chaosMix(seed * 1000003 + n);
    size_t len = s % 100;
    if (kinds.longLines && s % 7 == 0)
        len = 900 + (s >> 8) % 2400;
    std::string line = "L" + std::to_string(n) + " ";
    static const char plain[] = "abcdefghijkmnopqrstuvwxyz0123456789 ,.;:-_=+()[]{}%$";
    for (size_t i = 0; i < len; i++) {
        s = chaosMix(s);
        if (kinds.oddBytes && s % 23 == 0)
            line += (s >> 8) % 3 == 0 ? '\0' : (s >> 8) % 3 == 1 ? '\xff' : '\xc3';
        else
            line += plain[(s >> 8) % (sizeof plain - 1)];
    }
    return line + "\n";
}
