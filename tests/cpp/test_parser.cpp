// Document structure: entry order, table rules, arrays of tables, inline
// tables, and the offsets recorded for values and tables.
#include <string>
#include <vector>

#include "check.hpp"
#include "toml_helpers.hpp"

namespace {

std::vector<std::string> keys(toml::Table t) {
    std::vector<std::string> out;
    for (auto e : t) out.emplace_back(e.key.text);
    return out;
}

std::string joined(toml::Table t) {
    std::string s;
    for (auto& k : keys(t)) s += k + ",";
    return s;
}

toml::Value at(const th::Parsed& p, std::string_view path) {
    toml::Value v(nullptr);
    if (!th::lookup(p.root(), path, &v)) ::check::fail(__FILE__, __LINE__, "missing " + std::string(path));
    return v;
}

}  // namespace

TEST("entries keep the order in which their keys first appear") {
    th::Parsed p("b = 1\na = 2\n[z]\nx = 1\n[c.d]\n[c]\ny = 2\n[z.w]\n[[arr]]\nk = 1\n");
    CHECK_PARSES(p);
    CHECK_EQ(joined(p.root()), std::string("b,a,z,c,arr,"));
    CHECK_EQ(joined(at(p, "z").table()), std::string("x,w,"));
    CHECK_EQ(joined(at(p, "c").table()), std::string("d,y,"));
}

TEST("dotted keys and headers build the same nested tables") {
    th::Parsed p("fruit.apple.color = \"red\"\nfruit.apple.taste.sweet = true\nfruit. orange = 2\n"
                 "site.\"google.com\" = true\n3.14159 = \"pi\"\n[dog.\"tater.man\"]\ntype.name = \"pug\"\n");
    CHECK_PARSES(p);
    CHECK_EQ(at(p, "fruit.apple.color").string(), std::string_view("red"));
    CHECK(at(p, "fruit.apple.taste.sweet").boolean());
    CHECK_EQ(at(p, "fruit.orange").integer().magnitude == 2, true);
    toml::Value site = at(p, "site");
    toml::Value g(nullptr);
    CHECK(site.table().find("google.com", &g));
    toml::Value three = at(p, "3");
    CHECK_EQ(joined(three.table()), std::string("14159,"));
    toml::Value dog = at(p, "dog");
    toml::Value tater(nullptr);
    CHECK(dog.table().find("tater.man", &tater));
    CHECK_EQ(joined(tater.table()), std::string("type,"));
}

TEST("valid table layouts") {
    const char* cases[] = {
        // super-table defined after a sub-table
        "[x.y.z.w]\n[x]\n",
        // sub-tables inside tables made by dotted keys
        "[fruit]\napple.color = \"red\"\napple.taste.sweet = true\n[fruit.apple.texture]\nsmooth = true\n",
        "a.b.c = 1\n[a.b.d]\n",
        "a.x = 1\n[a.y]\n",
        // dotted keys out of order within one section
        "apple.type = 1\norange.type = 2\napple.skin = 3\norange.skin = 4\n",
        // arrays of tables with sub-tables and nested arrays
        ("[[fruits]]\nname = 1\n[fruits.physical]\ncolor = 2\n[[fruits.varieties]]\nname = 3\n"
         "[[fruits.varieties]]\nname = 4\n[[fruits]]\nname = 5\n[[fruits.varieties]]\nname = 6\n"),
        "[[a.b]]\n[a]\n[[a.b]]\n",
        "[[a]]\n[a.b]\n[[a]]\n[a.b]\n",
        // TOML 1.1 inline tables: newlines, comments, trailing commas
        "t = {\n  a = 1, # one\n  b = { c = 2, },\n}\n",
        "t = { a.b = 1, a.c = 2 }\n",
        "t = {}\ne = []\n",
        // headers with whitespace and quoted parts
        "[ a . \"b c\" . 'd' ]\n[\"\"]\n",
        "\"\" = 1\n'a' . x = 2\n",
    };
    for (const char* c : cases) {
        th::Parsed p(c);
        if (!p.ok()) ::check::fail(__FILE__, __LINE__, std::string(c) + " -> " + p.error().message);
    }
}

TEST("invalid table layouts are rejected with the reason") {
    struct Case {
        const char* doc;
        const char* message;
    };
    const Case cases[] = {
        {"[fruit]\napple = 1\n[fruit]\n", "table `fruit` defined twice"},
        {"[a]\n[a.b]\n[a]\n", "table `a` defined twice"},
        {"[fruit]\napple.color = 1\n[fruit.apple]\n", "table `fruit.apple` defined twice"},
        {"[t1]\nt2.t3.v = 0\n[t1.t2.t3]\n", "table `t1.t2.t3` defined twice"},
        {"a.b.c = 1\n[a]\n", "table `a` defined twice"},
        {"[a]\nb = 1\n[a.b]\n", "cannot define table `a.b`: the key is already an integer"},
        {"[a.b.c]\nz = 9\n[a]\nb.c.t = 1\n", "cannot add to table `b` with dotted keys: it is defined elsewhere"},
        {"[a.b]\n[a]\nb.x = 1\n", "cannot add to table `b` with dotted keys: it is defined elsewhere"},
        {"[[a.b]]\n[a]\nb.y = 2\n", "cannot add to the array of tables `b` with dotted keys"},
        {"a = 1\na.b = 2\n", "cannot use `a` as a table: it is already an integer"},
        {"a.b.c = 1\na.b = 2\n", "duplicate key: `b`"},
        {"name = 1\nname = 2\n", "duplicate key: `name`"},
        {"spelling = 1\n\"spelling\" = 2\n", "duplicate key: `spelling`"},
        {"a = {k1 = 1, k1.name = 2}\n", "cannot use `k1` as a table: it is already an integer"},
        {"[product]\ntype = { name = 1 }\ntype.edible = false\n",
         "cannot add to the inline table `type`: inline tables are closed"},
        {"[product]\ntype.name = 1\ntype = { edible = false }\n", "duplicate key: `type`"},
        {"a = {}\n[a.b]\n", "cannot add to the inline table `a`: inline tables are closed"},
        {"a = {}\n[a]\n", "table `a` defined twice"},
        {"a = {b = {}}\n[a.b]\n", "cannot add to the inline table `a`: inline tables are closed"},
        {"fruits = []\n[[fruits]]\n", "cannot append to the array `fruits`: it is a static array, not an array of tables"},
        {"a = [{}]\n[a.b]\n", "cannot use `a` as a table: it is already an array"},
        {"[fruit.physical]\n[[fruit]]\n", "array of tables `fruit` conflicts with the table of the same name"},
        {"[[fruits]]\n[[fruits.varieties]]\n[fruits.varieties]\n",
         "table `fruits.varieties` conflicts with the array of tables of the same name"},
        {"[[a]]\n[a]\n", "table `a` conflicts with the array of tables of the same name"},
        {"a = true\n[[a]]\n", "cannot define array of tables `a`: the key is already a boolean"},
        {"t = {a = 1, a = 2}\n", "duplicate key: `a`"},
        {"t = {a.b = 1, a = 2}\n", "duplicate key: `a`"},
        {"[\"a\\u0000b\"]\n[\"a\\u0000b\"]\n", "table `\"a\\u0000b\"` defined twice"},
    };
    for (const Case& c : cases) CHECK_EQ(th::error_of(c.doc), std::string(c.message));
}

TEST("arrays of tables collect one table per header, nested in the latest element") {
    th::Parsed p("[[p]]\nn = 1\n[[p]]\n[[p]]\nn = 3\n[p.q]\nx = 1\n[[p.r]]\n[[p.r]]\ny = 2\n");
    CHECK_PARSES(p);
    toml::Value arr = at(p, "p");
    CHECK(arr.type() == toml::Type::Array);
    CHECK_EQ(arr.array().size(), std::size_t(3));
    CHECK(arr.array()[1].table().empty());
    CHECK_EQ(joined(arr.array()[2].table()), std::string("n,q,r,"));
    CHECK_EQ(at(p, "p.2.r").array().size(), std::size_t(2));
    CHECK(at(p, "p.2.r.1.y").integer().magnitude == 2);
}

TEST("offsets of values and tables") {
    //                0         1          2          3          4          5
    //                0123456789012345678 90123456789 0123456789 01234567890123456789
    std::string doc = "a = 1\nb = [2, \"x\"]\nc.d.e = {f = 3}\n[g.h]\n[[i]]\n";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    CHECK_EQ(p.root().offset(), std::size_t(0));
    CHECK_EQ(at(p, "a").offset(), doc.find('1'));
    CHECK_EQ(at(p, "b").offset(), doc.find('['));
    CHECK_EQ(at(p, "b.0").offset(), doc.find('2'));
    CHECK_EQ(at(p, "b.1").offset(), doc.find('"'));
    // Tables made by a dotted key start where that key starts.
    CHECK_EQ(at(p, "c").offset(), doc.find("c.d"));
    CHECK_EQ(at(p, "c.d").offset(), doc.find("c.d"));
    CHECK_EQ(at(p, "c.d").table().offset(), doc.find("c.d"));
    CHECK_EQ(at(p, "c.d.e").offset(), doc.find('{'));
    CHECK_EQ(at(p, "c.d.e.f").offset(), doc.find('3'));
    // Tables made by a header (and the parents it creates) start at its `[`.
    CHECK_EQ(at(p, "g").offset(), doc.find("[g"));
    CHECK_EQ(at(p, "g.h").table().offset(), doc.find("[g"));
    CHECK_EQ(at(p, "i").offset(), doc.find("[[i"));
    CHECK_EQ(at(p, "i.0").offset(), doc.find("[[i"));
    // A BOM counts in offsets.
    th::Parsed bom("\xEF\xBB\xBFk = 7\n");
    CHECK_PARSES(bom);
    CHECK_EQ(at(bom, "k").offset(), std::size_t(7));
}

TEST("an implicit table keeps its first position when a header defines it later") {
    std::string doc = "[a.b]\nx = 1\n[a]\ny = 2\n";
    th::Parsed p(doc);
    CHECK_PARSES(p);
    CHECK_EQ(at(p, "a").offset(), std::size_t(0));
    CHECK_EQ(joined(at(p, "a").table()), std::string("b,y,"));
}

TEST("lookups agree with the entries, below and above the hash-index threshold") {
    for (int n : {1, 7, 8, 9, 40, 1000}) {
        std::string doc;
        for (int i = 0; i < n; ++i) doc += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        th::Parsed p(doc);
        CHECK_PARSES(p);
        toml::Table root = p.root();
        CHECK_EQ(root.size(), static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            toml::Value v(nullptr);
            bool found = root.find("k" + std::to_string(i), &v);
            CHECK(found);
            if (found) CHECK(v.integer().magnitude == static_cast<unsigned>(i));
            CHECK(root[static_cast<std::size_t>(i)].key.text == "k" + std::to_string(i));
        }
        CHECK(!root.find("k" + std::to_string(n), nullptr));
        CHECK(!root.find("", nullptr));
        // Duplicates are caught in large tables too.
        CHECK_EQ(th::error_of(doc + "k0 = 1\n"), std::string("duplicate key: `k0`"));
    }
}

TEST("a default-constructed document has an empty root") {
    toml::Document d;
    CHECK(d.root().empty());
    CHECK(!d.root().find("a", nullptr));
    th::Parsed empty("");
    CHECK_PARSES(empty);
    CHECK(empty.root().empty());
    th::Parsed blank(" \t\n\r\n# only a comment\n");
    CHECK_PARSES(blank);
    CHECK(blank.root().empty());
}

TEST("keys: bare, quoted, escaped, with U+0000, and the ascii flag") {
    th::Parsed p("bare-key_1 = 1\n\"quoted key\" = 2\n'lit\"eral' = 3\n\"\\u00e9t\\u00e9\" = 4\n\"nul\\u0000x\" = 5\n\"ʎǝʞ\" = 6\n");
    CHECK_PARSES(p);
    toml::Table r = p.root();
    CHECK_EQ(r.size(), std::size_t(6));
    CHECK(r[0].key.text == "bare-key_1" && r[0].key.is_ascii);
    CHECK(r[1].key.text == "quoted key" && r[1].key.is_ascii);
    CHECK(r[2].key.text == "lit\"eral" && r[2].key.is_ascii);
    CHECK(r[3].key.text == "\xC3\xA9t\xC3\xA9" && !r[3].key.is_ascii);
    CHECK(r[4].key.text == std::string_view("nul\0x", 5) && r[4].key.is_ascii);
    CHECK(!r[5].key.is_ascii);
    CHECK(r.find(std::string_view("nul\0x", 5), nullptr));
}
