// Tests of the layout pass: the spans it finds for statements, headers,
// comments, arrays and inline tables, and the paths that tie them to data.
#include <string>
#include <string_view>

#include "check.hpp"
#include "toml/lossless.hpp"
#include "toml/toml.hpp"

namespace {

using namespace toml::lossless;

struct Laid {
    std::string text;
    Layout layout;

    explicit Laid(std::string t) : text(std::move(t)) {
        CHECK(toml::parse(text).ok());
        build_layout(text, layout);
    }
    std::string_view at(Span s) const { return std::string_view(text).substr(s.begin, s.end - s.begin); }
    std::string_view from(std::size_t begin, std::size_t end) const {
        return std::string_view(text).substr(begin, end - begin);
    }
};

Path keys(std::initializer_list<const char*> parts) {
    Path path;
    for (const char* part : parts) {
        Step step;
        step.key = part;
        path.push_back(step);
    }
    return path;
}

Path with_index(Path path, std::size_t index) {
    Step step;
    step.is_index = true;
    step.index = index;
    path.push_back(step);
    return path;
}

}  // namespace

TEST("layout: a statement's line, key parts, value, comment and the comments above") {
    Laid d("# above\r\n  a . b  =  \"x\"  # after\r\nc = 1");
    const Layout& L = d.layout;
    CHECK_EQ(L.statements.size(), std::size_t(2));
    const Statement& s = L.statements[0];
    CHECK_EQ(d.from(s.leading, s.line.begin), std::string_view("# above\r\n"));
    CHECK_EQ(d.at(s.line), std::string_view("  a . b  =  \"x\"  # after\r\n"));
    CHECK_EQ(d.at(s.comment), std::string_view("# after"));
    CHECK_EQ(d.at(L.values[s.value].span), std::string_view("\"x\""));
    CHECK_EQ(d.at(s.parts[1]), std::string_view("b"));
    CHECK(L.full_path(s) == keys({"a", "b"}));
    const Statement& last = L.statements[1];
    CHECK_EQ(d.at(last.line), std::string_view("c = 1"));
    CHECK_EQ(L.newline, std::string("\r\n"));
}

TEST("layout: headers, their comments and bodies, and array-of-tables element paths") {
    Laid d("x = 1\n\n# about t\n[t] # head\ny = 2\n# end of t\n\n[[p]]\n[p.q]\n[[p]]\n");
    const Layout& L = d.layout;
    CHECK_EQ(L.sections.size(), std::size_t(5));
    const Section& t = L.sections[1];
    CHECK_EQ(d.at(t.header), std::string_view("[t]"));
    CHECK_EQ(d.at(t.comment), std::string_view("# head"));
    CHECK_EQ(d.from(t.leading, t.header.begin), std::string_view("# about t\n"));
    CHECK_EQ(d.from(t.body_begin, t.content_end), std::string_view("y = 2\n# end of t\n"));
    CHECK_EQ(d.from(t.content_end, t.next), std::string_view("\n"));
    CHECK_EQ(L.sections[0].next, t.leading);
    CHECK(L.sections[2].path == with_index(keys({"p"}), 0));
    Path q = with_index(keys({"p"}), 0);
    q.push_back(keys({"q"})[0]);
    CHECK(L.sections[3].path == q);
    CHECK(L.sections[4].path == with_index(keys({"p"}), 1));
}

TEST("layout: array elements with their commas, inline tables, date-times with a space") {
    Laid d("a = [ 1, [2, 3], { b.c = 'x', d = 4 }, ]\ndt = 1979-05-27 07:32:00 # c\n");
    const Layout& L = d.layout;
    std::size_t a = L.find_value(keys({"a"}));
    CHECK(a != npos);
    CHECK_EQ(L.values[a].element_count, std::uint32_t(3));
    std::size_t nested = L.find_value(with_index(keys({"a"}), 1));
    CHECK_EQ(d.at(L.values[nested].span), std::string_view("[2, 3]"));
    CHECK_EQ(d.text[L.values[nested].comma], ',');
    std::size_t table = L.find_value(with_index(keys({"a"}), 2));
    CHECK(L.values[table].kind == ValueKind::InlineTable);
    CHECK(L.values[L.element_ids[L.values[a].first_element + 2]].comma != npos);  // the trailing comma
    Path inner = with_index(keys({"a"}), 2);
    inner.push_back(keys({"b"})[0]);
    inner.push_back(keys({"c"})[0]);
    CHECK_EQ(d.at(L.values[L.find_value(inner)].span), std::string_view("'x'"));
    CHECK_EQ(d.at(L.values[L.find_value(keys({"dt"}))].span), std::string_view("1979-05-27 07:32:00"));
    CHECK_EQ(d.at(value_span_at(d.text, L.values[a].span.begin)), d.at(L.values[a].span));
}

TEST("layout: quoted keys decode as the data tree has them") {
    Laid d("\"a\\u00e9\\\"\".'b.c' = 1\n");
    const Statement& s = d.layout.statements[0];
    CHECK_EQ(s.key[0].key, std::string_view("a\xC3\xA9\""));
    CHECK_EQ(s.key[1].key, std::string_view("b.c"));
}

TEST("layout: a byte order mark and a text without statements") {
    Laid d("\xEF\xBB\xBF# only a comment");
    CHECK_EQ(d.layout.body_start, std::size_t(3));
    CHECK(d.layout.statements.empty());
    CHECK_EQ(d.layout.sections[0].next, d.text.size());
}
