#include "check.hpp"
#include "version.hpp"

TEST("version string rewrites -alpha and -beta markers") {
    CHECK_EQ(vexil::version_string("1.2.0-beta2"), std::string("1.2.0b2"));
    CHECK_EQ(vexil::version_string("1.2.0-alpha1"), std::string("1.2.0a1"));
    CHECK_EQ(vexil::version_string("1.2.0"), std::string("1.2.0"));
    CHECK_EQ(vexil::version_string("1.2.0-rc1"), std::string("1.2.0-rc1"));
}
