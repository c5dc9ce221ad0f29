// Typed reads of an `execute` configuration dict.
//
// Each key is read in two steps: a membership test, then a conversion through
// pybind11's standard casters. A failed conversion raises
// kovra_backends.ConfigTypeError, a TypeError and (as these refusals always
// were) a RuntimeError: pybind11's cast message, followed by the key, what it
// takes and the value given.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

// Whether `value` is a complex number, Python's or another registered with
// numbers.Complex but not numbers.Real (numpy's complex64): float() of one
// of numpy's drops the imaginary part with only a warning.
bool is_complex_number(const py::handle& value);

// Adds ConfigTypeError(RuntimeError, TypeError) to the module.
void install_config_errors(py::module_& m);

class config_reader {
public:
    // `known`: every key the back end reads (config_keys), which outlives
    // the reader.
    config_reader(py::dict config, const std::vector<std::string>& known)
        : config_(std::move(config)), known_(&known) {}

    // ValueError naming the first key of the dict that is not known, with
    // the known key it was likely meant to be.
    void refuse_unknown_keys() const;

    bool has(const char* key) const;
    bool get_bool(const char* key, bool fallback) const;
    int get_int(const char* key, int fallback) const;
    long long get_long(const char* key, long long fallback) const;
    std::uint16_t get_u16(const char* key, std::uint16_t fallback) const;
    double get_number(const char* key, double fallback) const;
    // str as UTF-8, bytes and bytearray byte for byte.
    std::string get_text(const char* key, const std::string& fallback) const;
    // The items of any iterable, taken once before any is converted; every
    // element read as a 32-bit int.
    std::vector<int> get_int_list(const char* key) const;
    // Any Python integer (or object with __index__), unbounded; None when
    // the key is absent or None.
    py::object get_integer(const char* key) const;

    // The value of a text key that names one of `choices`, the first of
    // them when the key is absent; ValueError listing them otherwise.
    template <class Choice>
    Choice get_choice(const char* key, const std::vector<std::pair<std::string, Choice>>& choices) const {
        const std::string given = get_text(key, choices.front().first);
        std::string listed;
        for (std::size_t k = 0; k < choices.size(); ++k) {
            if (choices[k].first == given) return choices[k].second;
            listed += (k == 0 ? "\"" : k + 1 == choices.size() ? " or \"" : ", \"") + choices[k].first + "\"";
        }
        throw std::invalid_argument("\"" + std::string(key) + "\" is \"" + given + "\"; it takes " + listed);
    }

    // The value itself, for keys whose structure the caller reads.
    py::object item(const char* key) const;

private:
    // A read of a key the back end does not list would be refused before
    // it: a fault of this code, raised at the read.
    void require_known(const char* key) const;

    py::dict config_;
    const std::vector<std::string>* known_;
};
