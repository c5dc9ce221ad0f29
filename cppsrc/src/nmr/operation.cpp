#include "nmr/operation.h"

#include <cstdio>
#include <locale>
#include <sstream>
#include <stdexcept>

Operation::Operation(const char* type, int timeslot, int qubit)
    : qubitIndex(qubit), timeslot(timeslot), type(type) {}

Operation::Operation(const char* type, int timeslot, int qubit, double angle)
    : angle(angle), qubitIndex(qubit), timeslot(timeslot), type(type) {}

Operation::Operation(const char* type, int timeslot, int control, int target)
    : controlQubit(control), qubitIndex(target), timeslot(timeslot), type(type) {}

Operation::Operation(const char* type, int timeslot, int control1, int control2, int target)
    : controlQubit(control1), controlQubit2(control2), qubitIndex(target), timeslot(timeslot), type(type) {}

std::string Operation::to_string() const {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << "{\"angle\":" << angle << ",\"controlQubit\":" << controlQubit
        << ",\"controlQubit2\":" << controlQubit2 << ",\"delay\":" << delay
        << ",\"qubitIndex\":" << qubitIndex << ",\"timeslot\":" << timeslot
        << ",\"type\":" << json_quoted(type) << "}";
    return out.str();
}

std::string json_quoted(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

bool is_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        int extra;
        unsigned long code;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1;
            code = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            code = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xc0) != 0x80) return false;
            code = (code << 6) | (p[k] & 0x3f);
        }
        static const unsigned long smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        p += extra + 1;
    }
    return true;
}

std::string printable_utf8(const std::string& text) {
    if (is_utf8(text)) return text;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string task_document(const std::vector<Operation>& operations, int qnum, const std::vector<int>* measured) {
    std::string document = "{\"gates\":[";
    for (std::size_t i = 0; i < operations.size(); ++i) {
        if (i > 0) document += ",\n";
        document += operations[i].to_string();
    }
    document += "]";
    if (measured != nullptr) {
        std::vector<int> flags(static_cast<std::size_t>(qnum), 0);
        for (int q : *measured) {
            if (q < 0 || q >= qnum) {
                throw std::invalid_argument("\"mqubits\" names qubit " + std::to_string(q) + ", outside [0, " +
                                            std::to_string(qnum) + ")");
            }
            flags[static_cast<std::size_t>(q)] = 1;
        }
        document += ",\n\"measures\":[";
        for (int q = 0; q < qnum; ++q) {
            if (q > 0) document += ",";
            document += flags[static_cast<std::size_t>(q)] ? "1" : "0";
        }
        document += "]";
    }
    return document + "}";
}

