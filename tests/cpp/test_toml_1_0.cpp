// Reading as TOML 1.0.0: each construct TOML 1.1.0 added is refused with a
// message naming it, at its place; everything 1.0.0 has reads as in 1.1.0.
#include <string>

#include "check.hpp"
#include "toml_helpers.hpp"

namespace {

toml::ParseOptions v1_0() {
    toml::ParseOptions options;
    options.version = toml::Version::V1_0_0;
    return options;
}

}  // namespace

TEST("TOML 1.0.0 refuses each TOML 1.1.0 construct by name, where it is") {
    struct Case {
        std::string doc;
        std::string construct;
        std::size_t offset;
    };
    const Case cases[] = {
        {"a = \"\\e[0m\"", "the escape sequence `\\e`", 5},
        {"a = \"\"\"x\\e\"\"\"", "the escape sequence `\\e`", 8},
        {"a = \"caf\\xE9\"", "the escape sequence `\\xHH`", 8},
        {"\"k\\x41\" = 1", "the escape sequence `\\xHH`", 2},
        {"t = 07:32", "a time without seconds", 4},
        {"t = 1979-05-27T07:32Z", "a time without seconds", 4},
        {"t = 1979-05-27 07:32", "a time without seconds", 4},
        {"t = [1979-05-27T07:32-07:00]", "a time without seconds", 5},
        {"t = {\n a = 1 }", "a newline in an inline table", 5},
        {"t = { a = 1\n}", "a newline in an inline table", 11},
        {"t = { a = 1,\r\n b = 2 }", "a newline in an inline table", 12},
        {"t = { a = 1 # note\n}", "a comment in an inline table", 12},
        {"t = { a = 1, }", "a trailing comma in an inline table", 11},
        {"t = { a = { b = 1, } }", "a trailing comma in an inline table", 17},
        {"t = {\n}", "a newline in an inline table", 5},
    };
    for (const Case& c : cases) {
        th::Parsed p(c.doc, v1_0());
        if (p.ok()) {
            ::check::fail(__FILE__, __LINE__, "accepted as TOML 1.0.0: " + c.doc);
            continue;
        }
        std::string expected = "TOML 1.0.0 does not allow " + c.construct + " (added in TOML 1.1.0)";
        if (p.error().message != expected || p.error().offset != c.offset)
            ::check::fail(__FILE__, __LINE__,
                          c.doc + ": got \"" + p.error().message + "\" at " + std::to_string(p.error().offset));
        // The same text is TOML 1.1.0.
        CHECK(th::Parsed(c.doc).ok());
    }
}

TEST("TOML 1.0.0 documents read the same in both modes") {
    const char* docs[] = {
        "a = \"tab\\t quote\\\" \\u00E9 \\U0001F600 \\b\\f\\n\\r\\\\\"",
        "t = 07:32:00\nu = 07:32:00.999\nd = 1979-05-27T07:32:00Z\ne = 1979-05-27 07:32:00-07:00",
        "t = { a = 1, b = { c = [1,\n 2, # arrays may span lines\n 3] } }\ne = {}\nf = { }",
        "s = { m = \"\"\"\nline\nline\"\"\" }",
        "x = 'lit\\e' # a backslash in a literal string is no escape\n",
        "[a]\nb.c = 1\n[[d]]\ne = 0x1F\n",
    };
    for (const char* doc : docs) {
        th::Parsed old(doc, v1_0());
        th::Parsed now(doc);
        if (!old.ok()) ::check::fail(__FILE__, __LINE__, std::string(doc) + ": " + old.error().message);
        CHECK(now.ok());
    }
}

TEST("TOML 1.0.0 mode keeps the other errors as they are") {
    th::Parsed p("t = { a = 1 b = 2 }", v1_0());
    CHECK(!p.ok());
    CHECK_EQ(p.error().message, std::string("expected `,` or `}` after a key/value pair in an inline table, found `b`"));
    th::Parsed q("a = \"\\q\"", v1_0());
    CHECK(!q.ok());
    CHECK_EQ(q.error().message, std::string("invalid escape sequence `\\q`"));
}
