// The typed user-info tree of a distributed notification.
//
// A value is a string, a boolean, an integer, a double, an array or a dictionary with string keys, so that a
// receiver can apply type rules exactly. `Unsupported` stands for anything a transport could carry but this
// tree cannot express (a dictionary with integer keys, a file descriptor...): no type rule accepts it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace vantorix {

struct PropertyValue {
    struct Unsupported {
        bool operator==(const Unsupported&) const = default;
    };
    using Array = std::vector<PropertyValue>;
    using Dictionary = std::map<std::string, PropertyValue>;
    using Storage = std::variant<Unsupported, std::string, bool, std::int64_t, double, Array, Dictionary>;

    Storage value;

    PropertyValue() = default;
    PropertyValue(std::string text) : value(std::move(text)) {}
    PropertyValue(const char* text) : value(std::string(text)) {}
    PropertyValue(bool flag) : value(flag) {}
    PropertyValue(std::int64_t number) : value(number) {}
    PropertyValue(int number) : value(std::int64_t{number}) {}
    PropertyValue(double number) : value(number) {}
    PropertyValue(Array items) : value(std::move(items)) {}
    PropertyValue(Dictionary entries) : value(std::move(entries)) {}

    template <typename T>
    const T* as() const { return std::get_if<T>(&value); }

    bool operator==(const PropertyValue&) const = default;
};

}  // namespace vantorix
