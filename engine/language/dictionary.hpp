// The packed word lists built into the library.
//
// A list is a byte string of records ended by a 0 byte. A record is a header
// byte h (never 0), then h & 0x0F bytes (1 to 15) that are appended to the
// first h >> 4 bytes (0 to 15) of the word before it; words are UTF-8. The
// word before carries over from chunk to chunk of one language and starts
// empty with each language.
#pragma once

#include <span>

namespace quorvane::engine::language::dictionary {

struct chunk_type {
    const wchar_t* code;  // starts a language; null continues the one before
    const char* words;
};

// Generated from the plain lists by the packer at build time.
extern const std::span<const chunk_type> chunks;

}  // namespace quorvane::engine::language::dictionary
