// Shared pieces of the libFuzzer targets: quiet standard output (the readers
// report every missing key there) and the input as a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>
#include <string>

namespace fuzz {

// Discards everything written to it.
class null_buffer : public std::streambuf {
protected:
    int overflow(int ch) override { return ch == traits_type::eof() ? 0 : ch; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void silence_stdout() {
    static null_buffer sink;
    std::cout.rdbuf(&sink);
}

inline std::string text_of(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz

// Every target silences standard output once.
#define KOVRA_FUZZ_QUIET_INIT                                    \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {        \
        fuzz::silence_stdout();                                  \
        return 0;                                                \
    }
