// What the fuzz targets share: one input cut into the parts a target needs, and a broken invariant stopping the
// run where it happened (libFuzzer keeps the input; the corpus replay fails its test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_REQUIRE(condition) ((condition) ? void(0) : ::vantorix::fuzz::invariantBroken(__FILE__, __LINE__, #condition))

namespace vantorix::fuzz {

[[noreturn]] inline void invariantBroken(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    // The next byte; 0 once the input is used up.
    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        auto value = static_cast<std::uint8_t>(rest_[0]);
        rest_.remove_prefix(1);
        return value;
    }
    // The bytes before the next `separator` (all that is left when there is none); the separator is dropped.
    std::string_view upTo(char separator) {
        std::size_t end = rest_.find(separator);
        std::string_view part = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return part;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

}  // namespace vantorix::fuzz
