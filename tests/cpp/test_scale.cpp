// Large inputs: each must parse correctly, and in time roughly proportional
// to its size (a quadratic step would make these take minutes, not
// milliseconds; nothing here measures time).
#include <string>

#include "check.hpp"
#include "toml_helpers.hpp"

TEST("scale: 100,000 keys in one table") {
    std::string doc;
    doc.reserve(2000000);
    for (int i = 0; i < 100000; ++i) doc += "key" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    if (!p.ok()) return;
    toml::Table root = p.root();
    CHECK_EQ(root.size(), std::size_t(100000));
    CHECK(root[99999].key.text == "key99999");
    toml::Value v(nullptr);
    CHECK(root.find("key54321", &v) && v.integer().magnitude == 54321);
    // The duplicate check stays exact at this size.
    CHECK_EQ(th::error_of(doc + "key77777 = 0\n"), std::string("duplicate key: `key77777`"));
}

TEST("scale: 100,000 dotted keys under one table, and 100,000 keys in one inline table") {
    std::string doc = "[t]\n";
    for (int i = 0; i < 100000; ++i) doc += "sub.k" + std::to_string(i) + " = true\n";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    toml::Value sub(nullptr);
    CHECK(th::lookup(p.root(), "t.sub", &sub) && sub.table().size() == 100000);
    std::string inl = "t = {";
    for (int i = 0; i < 100000; ++i) inl += "k" + std::to_string(i) + " = 1,";
    inl += "}";
    th::Parsed q(inl);
    CHECK_PARSES(q);
    toml::Value t(nullptr);
    CHECK(q.root().find("t", &t) && t.table().size() == 100000);
}

TEST("scale: a 10 MB string, plain and with escapes") {
    std::string body(10 << 20, 'x');
    for (std::size_t i = 1000; i < body.size(); i += 4099) body[i] = ' ';
    th::Parsed plain("s = \"" + body + "\"\nl = '" + body + "'\nm = '''" + body + "'''\n# " + body + "\n");
    CHECK_PARSES(plain);
    toml::Value s(nullptr);
    CHECK(plain.root().find("s", &s) && s.string() == body);
    CHECK(plain.root().find("m", &s) && s.string().size() == body.size());
    std::string escaped;
    escaped.reserve(12 << 20);
    for (int i = 0; i < (1 << 20); ++i) escaped += "abcdefgh\\n";
    th::Parsed e("s = \"" + escaped + "\"\nt = \"\"\"" + escaped + "\"\"\"");
    CHECK_PARSES(e);
    CHECK(e.root().find("s", &s) && s.string().size() == std::size_t(9) << 20);
    CHECK(s.string().substr(0, 18) == "abcdefgh\nabcdefgh\n");
    // A 10 MB non-ASCII string is validated and kept as a view.
    std::string wide;
    wide.reserve(10 << 20);
    while (wide.size() < (10u << 20)) wide += "\xE5\x90\x8D\xF0\x9F\x98\x80 ";
    th::Parsed w("s = \"" + wide + "\"");
    CHECK_PARSES(w);
    CHECK(w.root().find("s", &s) && s.string() == wide && !s.string_is_ascii());
}

TEST("scale: an array of a million integers") {
    std::string doc = "a = [";
    doc.reserve(9000000);
    for (int i = 0; i < 1000000; ++i) {
        doc += std::to_string(i);
        doc += ", ";
    }
    doc += "]";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    toml::Value a(nullptr);
    CHECK(p.root().find("a", &a) && a.array().size() == 1000000);
    CHECK(a.array()[999999].integer().magnitude == 999999);
}

TEST("scale: a 10,000-component header path fails at the depth limit") {
    std::string path = "a";
    for (int i = 1; i < 10000; ++i) path += ".a";
    th::Parsed p("[" + path + "]\nx = 1\n");
    CHECK(!p.ok());
    CHECK_EQ(p.error().message, std::string("nesting too deep: more than 127 levels of arrays and tables"));
    CHECK_EQ(p.error().offset, std::size_t(1 + 2 * 127));
    th::Parsed q(path + " = 1\n");
    CHECK(!q.ok());
}

TEST("scale: 10,000 [[x]] headers, and 10,000 nested sub-array elements") {
    std::string doc;
    for (int i = 0; i < 10000; ++i) doc += "[[x]]\nn = " + std::to_string(i) + "\n[[x.y]]\n[x.z]\n";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    toml::Value x(nullptr);
    CHECK(p.root().find("x", &x) && x.array().size() == 10000);
    toml::Value n(nullptr);
    CHECK(th::lookup(p.root(), "x.9999.n", &n) && n.integer().magnitude == 9999);
    std::string many = "[a]\n";
    for (int i = 0; i < 10000; ++i) many += "[[a.b]]\n";
    th::Parsed q(many);
    CHECK_PARSES(q);
}

TEST("scale: deep inline nesting up to the limit, and many documents at the limit") {
    std::string inl = "a = ";
    for (int i = 0; i < 127; ++i) inl += "{b = ";
    inl += "1";
    for (int i = 0; i < 127; ++i) inl += "}";
    for (int i = 0; i < 200; ++i) {
        th::Parsed p(inl);
        if (!p.ok()) {
            CHECK_PARSES(p);
            break;
        }
    }
    // A million unclosed brackets stop at the limit without exhausting the stack.
    std::string open = "a = " + std::string(1000000, '[');
    CHECK_EQ(th::error_of(open), std::string("nesting too deep: more than 127 levels of arrays and tables"));
    std::string braces;
    for (int i = 0; i < 200000; ++i) braces += "{a=";
    CHECK_EQ(th::error_of("x = " + braces), std::string("nesting too deep: more than 127 levels of arrays and tables"));
}
