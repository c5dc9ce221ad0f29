// A keyword reader for the circuit text. Not a JSON parser: a key is found by
// plain substring search (its first occurrence anywhere counts), and a value
// by scanning the characters after the colon that follows it.
#pragma once

#include <string>
#include <vector>

class simple_json {
public:
    explicit simple_json(const std::string& text);

    // Positions of the first `open` at or after `start` in s and of its
    // matching `close` (0 if there is none). Prints "Invalid pair chars." when
    // the two positions coincide.
    static std::vector<unsigned long> getPairPosition(const std::string& s, char open, char close,
                                                      unsigned long start);

    // The balanced stretch of the text from the first `open` at or after
    // `start` to its matching `close`, both included.
    std::string getSubJSON(char open, char close, unsigned long start) const;

    // Missing keys print "invalid keyword" and give -1, 4294967295.0, "" or
    // an empty list. Values without digits throw std::invalid_argument.
    int getInteger(const std::string& key) const;
    double getDouble(const std::string& key) const;
    std::string getString(const std::string& key) const;
    // The texts of the objects in the array under the key, in text order.
    std::vector<std::string> getJSONArray(const std::string& key) const;

private:
    static constexpr unsigned long npos = std::string::npos;

    // Position of "key" (with its quotes), or npos after reporting it missing.
    unsigned long findKey(const std::string& key) const;
    // First position after the colon that follows a key at p.
    unsigned long valueStart(unsigned long p) const;

    std::string text;
};
