#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int run = 0;
    for (const auto& c : check::registry()) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr) continue;
        int before = check::failures();
        c.body();
        ++run;
        if (check::failures() != before) std::cerr << "FAILED: " << c.name << "\n";
    }
    std::cout << run << " test cases run, " << check::failures() << " failed checks\n";
    return check::failures() == 0 && run > 0 ? 0 : 1;
}
