// A minimal test harness: TEST(name) { CHECK(...); CHECK_EQ(a, b); }
// Tests register themselves; main() in check_main.cpp runs them all (or those
// whose name contains argv[1]) and exits non-zero if any check failed.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    if constexpr (requires { out << value; }) {
        out << value;
    } else {
        out << "<value>";
    }
    return out.str();
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                        \
    static void CHECK_CONCAT(test_body_, __LINE__)();                                     \
    static ::check::Register CHECK_CONCAT(test_reg_, __LINE__)(name, &CHECK_CONCAT(test_body_, __LINE__)); \
    static void CHECK_CONCAT(test_body_, __LINE__)()

#define CHECK(cond)                                        \
    do {                                                   \
        if (!(cond)) ::check::fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_EQ(a, b)                                                                              \
    do {                                                                                            \
        const auto& check_a_ = (a);                                                                 \
        const auto& check_b_ = (b);                                                                 \
        if (!(check_a_ == check_b_))                                                                \
            ::check::fail(__FILE__, __LINE__,                                                       \
                          std::string(#a " == " #b "  [") + ::check::show(check_a_) + " vs " +     \
                              ::check::show(check_b_) + "]");                                       \
    } while (0)
