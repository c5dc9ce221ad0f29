#include "reference/simple_json.h"

#include <iostream>

simple_json::simple_json(const std::string& text) : text(text) {}

std::vector<unsigned long> simple_json::getPairPosition(const std::string& s, char open, char close,
                                                        unsigned long start) {
    std::vector<unsigned long> result(2, 0);
    result[0] = s.find(open, start);
    // Unsigned arithmetic: when there is no opening character the scan starts
    // at 0; its result then carries no meaning and callers test result[0].
    unsigned long depth = 0;
    for (unsigned long k = result[0] + 1; k < s.size(); ++k) {
        if (s[k] == open) ++depth;
        if (s[k] == close) {
            if (depth == 0) {
                result[1] = k;
                break;
            }
            --depth;
        }
    }
    if (result[0] == result[1]) std::cout << "Invalid pair chars." << std::endl;
    return result;
}

std::string simple_json::getSubJSON(char open, char close, unsigned long start) const {
    const std::vector<unsigned long> r = getPairPosition(text, open, close, start);
    // Without a matching close the length wraps and the stretch runs to the end.
    return text.substr(r[0], r[1] - r[0] + 1);
}

unsigned long simple_json::findKey(const std::string& key) const {
    const unsigned long p = text.find('"' + key + '"');
    if (p == npos) std::cout << "invalid keyword" << std::endl;
    return p;
}

unsigned long simple_json::valueStart(unsigned long p) const { return text.find(':', p + 1) + 1; }

int simple_json::getInteger(const std::string& key) const {
    const unsigned long p = findKey(key);
    if (p == npos) return -1;
    std::string digits;
    for (unsigned long k = valueStart(p); k < text.size(); ++k) {
        const char ch = text[k];
        if (ch == ' ') continue;
        if (ch < '0' || ch > '9') break;
        digits += ch;
    }
    return std::stoi(digits, nullptr, 10);
}

double simple_json::getDouble(const std::string& key) const {
    const unsigned long p = findKey(key);
    if (p == npos) return 4294967295.0;
    std::string number;
    for (unsigned long k = valueStart(p); k < text.size(); ++k) {
        const char ch = text[k];
        if (ch == ' ') continue;
        const bool sign = (ch == '+' || ch == '-') && number.empty();
        if (!sign && ch != '.' && (ch < '0' || ch > '9')) break;  // no exponents
        number += ch;
    }
    return std::stod(number);
}

std::string simple_json::getString(const std::string& key) const {
    const unsigned long p = findKey(key);
    if (p == npos) return "";
    const unsigned long colon = text.find(':', p + 1);
    const unsigned long q = text.find('"', colon + 1) + 1;
    const unsigned long end = text.find('"', q);
    return text.substr(q, end == npos ? npos : end - q);
}

std::vector<std::string> simple_json::getJSONArray(const std::string& key) const {
    std::vector<std::string> objects;
    const unsigned long p = findKey(key);
    if (p == npos) return objects;
    const std::string sub = getSubJSON('[', ']', p + 1);
    if (sub.empty()) {
        std::cout << "Invalid keyword" << std::endl;
        return objects;
    }
    std::vector<unsigned long> r = getPairPosition(sub, '{', '}', 1);
    while (r[0] < r[1] && r[0] != npos) {
        objects.push_back(sub.substr(r[0], r[1] - r[0] + 1));
        r = getPairPosition(sub, '{', '}', r[1] + 1);
    }
    return objects;
}
