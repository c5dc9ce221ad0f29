// One timed operation of an NMR task.
#pragma once

#include <string>
#include <vector>

class Operation {
public:
    double angle = 0;        // degrees in [0, 720) for a one-qubit rotation, else 0
    int controlQubit = -1;   // first control of a two- or three-qubit operation
    int controlQubit2 = -1;  // second control of a three-qubit operation
    int delay = 0;
    int qubitIndex = -1;     // the target (the last qubit of the operation)
    int timeslot = 0;
    std::string type;        // the operation name

    Operation() = default;
    Operation(const char* type, int timeslot, int qubit);
    Operation(const char* type, int timeslot, int qubit, double angle);
    Operation(const char* type, int timeslot, int control, int target);
    Operation(const char* type, int timeslot, int control1, int control2, int target);

    // The operation as one compact JSON object with its members in the
    // order of the fields above.
    std::string to_string() const;
};

// `text` as a JSON string literal, quotes included. Ordinary names come out
// byte for byte; quotes, backslashes and control characters are escaped.
std::string json_quoted(const std::string& text);

// True when `text` is well-formed UTF-8.
bool is_utf8(const std::string& text);
// `text` itself when it is UTF-8, else with every byte above 0x7f written as
// \xNN: for messages that must become Python str.
std::string printable_utf8(const std::string& text);

// The task document: the operations, then the measured-qubit flags when
// `measured` is given (every listed qubit must lie in [0, qnum), else
// std::invalid_argument names it).
std::string task_document(const std::vector<Operation>& operations, int qnum,
                          const std::vector<int>* measured = nullptr);
