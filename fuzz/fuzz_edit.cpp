// libFuzzer target for the editor's text layer: a fuzzed document, then
// fuzzed edits made as text patches over its layout.
//
// Input: a document, then (after the first NUL byte, if any) edit bytes.
// For a document that parses, the layout must agree with the data tree:
// every statement's path leads to a value that starts where the statement's
// value span starts, arrays have as many element spans as elements, inline
// tables' entries lead where their spans say, and every section's path is a
// table. Then each edit splices new text into the document and the result
// must parse and read back as the edited data:
//   - a value replaced by an integer or a string (the writers' text),
//   - a key/value line removed with the comment lines above it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "toml/lossless.hpp"
#include "toml/toml.hpp"
#include "toml/writer.hpp"

using namespace toml::lossless;

namespace {

bool walk(const toml::Document& doc, const Path& path, toml::Value* out, bool* root) {
    toml::Table table = doc.root();
    toml::Value value{nullptr};
    *root = true;
    for (const Step& step : path) {
        if (step.is_index) {
            if (*root || value.type() != toml::Type::Array) return false;
            toml::Array array = value.array();
            if (step.index >= array.size()) return false;
            value = array[step.index];
        } else {
            if (!*root && value.type() != toml::Type::Table) return false;
            toml::Table t = *root ? table : value.table();
            if (!t.find(step.key, &value)) return false;
        }
        *root = false;
    }
    *out = value;
    return true;
}

// The written value `id` and the data value `v` agree, all the way down.
void check_value(const Layout& L, std::string_view text, std::uint32_t id, toml::Value v) {
    const ValueText& vt = L.values[id];
    REQUIRE(vt.span.begin < vt.span.end && vt.span.end <= text.size());
    REQUIRE(v.offset() == vt.span.begin);
    Span again = value_span_at(text, vt.span.begin);
    REQUIRE(again.begin == vt.span.begin && again.end == vt.span.end);
    if (vt.kind == ValueKind::Array) {
        REQUIRE(v.type() == toml::Type::Array);
        toml::Array array = v.array();
        REQUIRE(array.size() == vt.element_count);
        for (std::uint32_t k = 0; k < vt.element_count; ++k) {
            check_value(L, text, L.element_ids[vt.first_element + k], array[k]);
        }
    } else if (vt.kind == ValueKind::InlineTable) {
        REQUIRE(v.type() == toml::Type::Table);
        const Section& sec = L.sections[vt.section];
        for (std::uint32_t k = 0; k < sec.statement_count; ++k) {
            const Statement& s = L.statements[sec.first_statement + k];
            toml::Value inner = v;
            for (const Step& step : s.key) {
                REQUIRE(inner.type() == toml::Type::Table);
                REQUIRE(inner.table().find(step.key, &inner));
            }
            check_value(L, text, s.value, inner);
        }
    } else {
        REQUIRE(v.type() != toml::Type::Array || text[vt.span.begin] == '[');
        REQUIRE(v.type() != toml::Type::Table);
    }
}

void check_layout(const toml::Document& doc, const Layout& L, std::string_view text) {
    for (const Section& sec : L.sections) {
        if (sec.kind == SectionKind::Inline) {
            // The braces; the entries are checked through their value.
            REQUIRE(sec.header.begin < sec.body_begin && sec.body_begin < sec.header.end);
            REQUIRE(text[sec.header.begin] == '{' && text[sec.header.end - 1] == '}');
            continue;
        }
        REQUIRE(sec.leading <= sec.header.begin && sec.header.end <= sec.body_begin);
        REQUIRE(sec.body_begin <= sec.content_end && sec.content_end <= sec.next && sec.next <= text.size());
        toml::Value v{nullptr};
        bool root = false;
        REQUIRE(walk(doc, sec.path, &v, &root));
        REQUIRE(root || v.type() == toml::Type::Table);
        for (std::uint32_t k = 0; k < sec.statement_count; ++k) {
            const Statement& s = L.statements[sec.first_statement + k];
            REQUIRE(sec.body_begin <= s.leading && s.leading <= s.line.begin && s.line.end <= sec.next);
            toml::Value value{nullptr};
            REQUIRE(walk(doc, L.full_path(s), &value, &root));
            check_value(L, text, s.value, value);
        }
    }
}

std::string splice(std::string_view text, Span span, std::string_view with) {
    std::string out(text.substr(0, span.begin));
    out.append(with);
    out.append(text.substr(span.end));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t cut = input.find('\0');
    std::string_view text = input.substr(0, cut);
    std::string_view edits = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
    toml::ParseResult parsed = toml::parse(text);
    if (!parsed) return 0;
    Layout L;
    build_layout(text, L);
    check_layout(parsed.document(), L, text);
    if (L.statements.empty()) return 0;

    for (std::size_t e = 0; e + 3 <= edits.size() && e < 24; e += 3) {
        const auto pick = static_cast<unsigned char>(edits[e]) | (static_cast<unsigned char>(edits[e + 1]) << 8);
        const Statement& s = L.statements[pick % L.statements.size()];
        const Path path = L.full_path(s);
        const unsigned op = static_cast<unsigned char>(edits[e + 2]) % 3;
        std::string edited;
        if (op == 0) {
            std::string number;
            toml::write_integer(number, static_cast<std::int64_t>(pick) * 7919 - 100000);
            edited = splice(text, L.values[s.value].span, number);
            toml::ParseResult again = toml::parse(edited);
            REQUIRE(again.ok());
            toml::Value v{nullptr};
            bool root = false;
            REQUIRE(walk(again.document(), path, &v, &root));
            REQUIRE(v.type() == toml::Type::Integer);
        } else if (op == 1) {
            std::string_view content = edits.substr(e, 3);
            bool ascii = false;
            if (!valid_utf8(content, &ascii)) content = "x\"'\n";
            std::string string;
            toml::write_string(string, content);
            edited = splice(text, L.values[s.value].span, string);
            toml::ParseResult again = toml::parse(edited);
            REQUIRE(again.ok());
            toml::Value v{nullptr};
            bool root = false;
            REQUIRE(walk(again.document(), path, &v, &root));
            REQUIRE(v.type() == toml::Type::String && v.string() == content);
        } else {
            if (L.sections[s.section].kind == SectionKind::Inline) continue;
            edited = splice(text, Span{s.leading, s.line.end}, "");
            toml::ParseResult again = toml::parse(edited);
            REQUIRE(again.ok());
            toml::Value v{nullptr};
            bool root = false;
            REQUIRE(!walk(again.document(), path, &v, &root));
        }
        // The edited text has a layout that agrees with its data too.
        toml::ParseResult again = toml::parse(edited);
        Layout L2;
        build_layout(edited, L2);
        check_layout(again.document(), L2, edited);
    }
    return 0;
}
