// A signed integer of any width, as a condition's constant: classical
// registers of 64 or 132 bits compare with constants far beyond 64 bits, and
// a condition must compare the whole number, never a truncation of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class wide_integer {
public:
    wide_integer() = default;
    wide_integer(long long value)  // NOLINT: implicit, as for the built-in integers
        : negative_(value < 0) {
        // Negating in unsigned arithmetic keeps the lowest value defined.
        std::uint64_t magnitude = static_cast<std::uint64_t>(value);
        if (negative_) magnitude = ~magnitude + 1;
        if (magnitude != 0) words_.push_back(magnitude);
    }

    // From binary digits, most significant first (no sign, no prefix).
    // Returns false when a character is not a binary digit.
    static bool from_binary(bool negative, const std::string& digits, wide_integer& out) {
        out = wide_integer();
        const std::size_t count = digits.size();
        for (std::size_t i = 0; i < count; ++i) {
            const char c = digits[count - 1 - i];
            if (c != '0' && c != '1') return false;
            if (c == '1') out.set_bit(i);
        }
        out.negative_ = negative && !out.words_.empty();
        return true;
    }

    bool negative() const { return negative_; }
    bool is_zero() const { return words_.empty(); }

    // Bits of the magnitude up to its highest 1 (0 for zero).
    std::size_t bit_length() const {
        if (words_.empty()) return 0;
        std::size_t length = 64 * (words_.size() - 1);
        for (std::uint64_t top = words_.back(); top != 0; top >>= 1) ++length;
        return length;
    }

    // Bit `i` of the magnitude.
    bool bit(std::size_t i) const {
        const std::size_t word = i / 64;
        return word < words_.size() && ((words_[word] >> (i % 64)) & 1U) != 0;
    }

    // The lowest 64 bits in two's complement.
    std::uint64_t low_bits() const {
        const std::uint64_t low = words_.empty() ? 0 : words_[0];
        return negative_ ? ~low + 1 : low;
    }

    // The magnitude in binary, most significant digit first, with a '-'
    // before a negative value.
    std::string binary_text() const {
        if (words_.empty()) return "0";
        std::string text = negative_ ? "-" : "";
        for (std::size_t i = bit_length(); i-- > 0;) text += bit(i) ? '1' : '0';
        return text;
    }

    bool operator==(const wide_integer& other) const {
        return negative_ == other.negative_ && words_ == other.words_;
    }
    bool operator!=(const wide_integer& other) const { return !(*this == other); }

    // -1, 0 or 1 as the unsigned number whose binary digits are `bits`
    // (most significant first) is less than, equal to or greater than this.
    int compare_unsigned(const std::vector<char>& bits) const {
        if (negative_) return 1;
        const std::size_t width = bits.size();
        if (bit_length() > width) return -1;
        for (std::size_t i = 0; i < width; ++i) {
            const bool mine = bit(width - 1 - i), theirs = bits[i] != 0;
            if (mine != theirs) return theirs ? 1 : -1;
        }
        return 0;
    }

private:
    void set_bit(std::size_t i) {
        if (words_.size() <= i / 64) words_.resize(i / 64 + 1, 0);
        words_[i / 64] |= std::uint64_t{1} << (i % 64);
    }

    bool negative_ = false;
    std::vector<std::uint64_t> words_;  // magnitude, least significant word first, no zero top word
};
