// The layout pass: finds the spans of a document that parse() accepted.
//
// Because the text is known to be valid, every construct is recognised by
// its first byte and read to its end without further checks: comments to
// the line end, arrays and inline tables to their closing bracket, numbers
// and date-times to the end of their token. Strings and keys go through the
// data parser's own scanners (scan.hpp), so keys decode exactly as the data
// tree has them and sections and statements match data paths.
#include "toml/lossless.hpp"

#include "toml/scan.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace toml::lossless {

bool starts_with(const Path& path, const Path& prefix, std::size_t prefix_size) noexcept {
    if (path.size() < prefix_size) return false;
    for (std::size_t i = 0; i < prefix_size; ++i) {
        if (!(path[i] == prefix[i])) return false;
    }
    return true;
}

bool starts_with(const Path& path, const Path& prefix) noexcept {
    return starts_with(path, prefix, prefix.size());
}

namespace {

// The rest of `path` after `prefix` equals `tail`.
bool ends_as(const Path& path, std::size_t prefix, const Path& tail) noexcept {
    if (path.size() != prefix + tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (!(path[prefix + i] == tail[i])) return false;
    }
    return true;
}

inline bool is_bare(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

inline bool is_scalar_char(char c) noexcept { return is_bare(c) || c == '+' || c == '.' || c == ':'; }

// The canonical form of a path, as a hash key for counting the elements of
// arrays of tables.
void canon_append(std::string& canon, const Step& step) {
    if (step.is_index) {
        canon += 'i';
        canon += std::to_string(step.index);
        canon += ';';
    } else {
        canon += 'k';
        canon += std::to_string(step.key.size());
        canon += ':';
        canon.append(step.key);
    }
}

class Scanner {
public:
    Scanner(std::string_view text, Layout& out) : t_(text), n_(text.size()), L_(out), cx_(text.data()) {}

    void run();
    Span value_at(std::size_t begin) {
        p_ = begin;
        Path path;
        return L_.values[value(path)].span;
    }

private:
    char at(std::size_t i) const noexcept { return i < n_ ? t_[i] : '\0'; }
    void ws() noexcept {
        while (p_ < n_ && (t_[p_] == ' ' || t_[p_] == '\t')) ++p_;
    }
    bool at_newline() const noexcept { return p_ < n_ && (t_[p_] == '\n' || (t_[p_] == '\r' && at(p_ + 1) == '\n')); }
    void skip_newline() noexcept { p_ += t_[p_] == '\r' ? 2 : 1; }
    std::size_t line_text_end(std::size_t i) const noexcept {
        while (i < n_ && t_[i] != '\n' && !(t_[i] == '\r' && at(i + 1) == '\n')) ++i;
        return i;
    }
    // Inside arrays and inline tables: blanks, comments and newlines.
    void ws_comments_newlines() noexcept {
        while (true) {
            ws();
            if (p_ < n_ && t_[p_] == '#') p_ = line_text_end(p_);
            if (at_newline()) {
                skip_newline();
                continue;
            }
            return;
        }
    }
    // After a value or header: blanks, a comment (recorded), the newline.
    Span line_end() noexcept {
        ws();
        Span comment{p_, p_};
        if (p_ < n_ && t_[p_] == '#') {
            p_ = line_text_end(p_);
            comment.end = p_;
        }
        if (at_newline()) skip_newline();
        return comment;
    }

    void key(Path& parts, std::vector<Span>& spans);
    void skip_string();
    std::uint32_t value(Path& path);
    void header(std::size_t leading);
    void keyval(std::size_t line_start, std::size_t leading);
    void flush_section();

    std::string_view t_;
    std::size_t n_;
    std::size_t p_ = 0;
    Layout& L_;
    scan::Context cx_;  // the shared scanners' state; the text is valid, so it records no failure
    std::uint32_t current_ = 0;              // the open header section
    std::vector<Statement> pending_;         // its statements so far
    Path path_;                              // the path of the line being read
    std::unordered_map<std::string, std::size_t> tables_arrays_;  // canonical path -> elements so far
};

void Scanner::skip_string() {
    const char q = t_[p_];
    const bool multiline = at(p_ + 1) == q && at(p_ + 2) == q;
    scan::Cursor cur{t_.data() + p_, t_.data() + n_};
    scan::StringToken token{};
    if (q == '"') {
        scan::scan_basic_string(cur, cx_, token, multiline);
    } else {
        scan::scan_literal_string(cur, cx_, token, multiline);
    }
    p_ = static_cast<std::size_t>(cur.p - t_.data());
}

void Scanner::key(Path& parts, std::vector<Span>& spans) {
    while (true) {
        ws();
        const std::size_t begin = p_;
        scan::Cursor cur{t_.data() + p_, t_.data() + n_};
        scan::StringToken token{};
        scan::scan_simple_key(cur, cx_, token);
        p_ = static_cast<std::size_t>(cur.p - t_.data());
        Step step;
        if (token.decoded) {
            step.key = L_.decoded.emplace_back(token.data, token.size);
        } else {
            step.key = std::string_view(token.data, token.size);
        }
        parts.push_back(step);
        spans.push_back(Span{begin, p_});
        ws();
        if (at(p_) != '.') return;
        ++p_;
    }
}

std::uint32_t Scanner::value(Path& path) {
    const auto id = static_cast<std::uint32_t>(L_.values.size());
    L_.values.emplace_back();
    ValueText v;
    v.span.begin = p_;
    const char c = at(p_);
    if (c == '"' || c == '\'') {
        skip_string();
    } else if (c == '[') {
        v.kind = ValueKind::Array;
        ++p_;
        std::vector<std::uint32_t> elements;
        while (true) {
            ws_comments_newlines();
            if (at(p_) == ']') {
                ++p_;
                break;
            }
            Step step;
            step.is_index = true;
            step.index = elements.size();
            path.push_back(step);
            std::uint32_t element = value(path);
            path.pop_back();
            elements.push_back(element);
            ws_comments_newlines();
            if (at(p_) == ',') {
                L_.values[element].comma = p_;
                ++p_;
            }
        }
        v.first_element = static_cast<std::uint32_t>(L_.element_ids.size());
        v.element_count = static_cast<std::uint32_t>(elements.size());
        L_.element_ids.insert(L_.element_ids.end(), elements.begin(), elements.end());
    } else if (c == '{') {
        v.kind = ValueKind::InlineTable;
        const auto section = static_cast<std::uint32_t>(L_.sections.size());
        L_.sections.emplace_back();
        ++p_;
        std::vector<Statement> entries;
        while (true) {
            ws_comments_newlines();
            if (at(p_) == '}') {
                ++p_;
                break;
            }
            Statement s;
            s.section = section;
            s.leading = p_;
            s.line.begin = p_;
            key(s.key, s.parts);
            ++p_;  // '='
            ws();
            const std::size_t depth = path.size();
            path.insert(path.end(), s.key.begin(), s.key.end());
            s.value = value(path);
            path.resize(depth);
            s.line.end = p_;
            ws();
            if (at(p_) == '#') {
                s.comment.begin = p_;
                s.comment.end = p_ = line_text_end(p_);
            }
            ws_comments_newlines();
            if (at(p_) == ',') {
                s.separator = p_;
                ++p_;
            }
            entries.push_back(std::move(s));
        }
        Section& sec = L_.sections[section];
        sec.kind = SectionKind::Inline;
        sec.path = path;
        sec.header = Span{v.span.begin, p_};
        sec.leading = v.span.begin;
        sec.body_begin = v.span.begin + 1;
        sec.content_end = sec.next = p_;
        sec.first_statement = static_cast<std::uint32_t>(L_.statements.size());
        sec.statement_count = static_cast<std::uint32_t>(entries.size());
        for (Statement& s : entries) L_.statements.push_back(std::move(s));
        v.section = section;
    } else {
        const std::size_t begin = p_;
        while (p_ < n_) {
            const char ch = t_[p_];
            if (is_scalar_char(ch)) {
                ++p_;
            } else if (ch == ' ' && p_ - begin == 10 && t_[begin + 4] == '-' && at(p_ + 1) >= '0' &&
                       at(p_ + 1) <= '9') {
                ++p_;  // the space between a date and a time
            } else {
                break;
            }
        }
    }
    v.span.end = p_;
    std::size_t comma = L_.values[id].comma;
    L_.values[id] = v;
    L_.values[id].comma = comma;
    return id;
}

void Scanner::flush_section() {
    Section& sec = L_.sections[current_];
    sec.first_statement = static_cast<std::uint32_t>(L_.statements.size());
    sec.statement_count = static_cast<std::uint32_t>(pending_.size());
    for (Statement& s : pending_) L_.statements.push_back(std::move(s));
    pending_.clear();
}

void Scanner::header(std::size_t leading) {
    const bool array = at(p_ + 1) == '[';
    Section sec;
    sec.kind = array ? SectionKind::ArrayTable : SectionKind::Table;
    sec.leading = leading;
    sec.header.begin = p_;
    p_ += array ? 2 : 1;
    Path keys;
    std::vector<Span> spans;
    key(keys, spans);
    p_ += array ? 2 : 1;
    sec.header.end = p_;
    sec.comment = line_end();
    sec.body_begin = p_;
    sec.content_end = p_;
    // Resolve the path: a part that names an array of tables goes on into
    // its latest element; the last part of [[...]] starts a new element.
    std::string canon;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sec.path.push_back(keys[i]);
        canon_append(canon, keys[i]);
        Step index;
        index.is_index = true;
        if (array && i + 1 == keys.size()) {
            std::size_t& count = tables_arrays_[canon];
            index.index = count++;
        } else {
            auto it = tables_arrays_.find(canon);
            if (it == tables_arrays_.end()) continue;
            index.index = it->second - 1;
        }
        sec.path.push_back(index);
        canon_append(canon, index);
    }
    flush_section();
    current_ = static_cast<std::uint32_t>(L_.sections.size());
    L_.sections.push_back(std::move(sec));
}

void Scanner::keyval(std::size_t line_start, std::size_t leading) {
    Statement s;
    s.section = current_;
    s.leading = leading;
    s.line.begin = line_start;
    key(s.key, s.parts);
    ++p_;  // '='
    ws();
    // One path buffer serves every line, so a line costs no allocation for it.
    Path& path = path_;
    path.assign(L_.sections[current_].path.begin(), L_.sections[current_].path.end());
    path.insert(path.end(), s.key.begin(), s.key.end());
    s.value = value(path);
    s.comment = line_end();
    s.line.end = p_;
    pending_.push_back(std::move(s));
}

void Scanner::run() {
    if (t_.size() >= 3 && t_.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
    L_.body_start = p_;
    std::size_t first_newline = t_.find('\n');
    if (first_newline != std::string_view::npos && first_newline > 0 && t_[first_newline - 1] == '\r') {
        L_.newline = "\r\n";
    }
    Section root;
    root.kind = SectionKind::Root;
    root.leading = root.header.begin = root.header.end = p_;
    root.comment = Span{p_, p_};
    root.body_begin = root.content_end = p_;
    L_.sections.push_back(std::move(root));
    current_ = 0;

    std::size_t pending_comments = npos;  // start of the comment lines just read
    std::size_t content_end = p_;         // end of the last non-blank line
    std::size_t content_before_comments = p_;
    while (p_ < n_) {
        const std::size_t line_start = p_;
        ws();
        if (p_ >= n_) break;
        if (at_newline()) {
            skip_newline();
            pending_comments = npos;
            continue;
        }
        if (t_[p_] == '#') {
            p_ = line_text_end(p_);
            if (at_newline()) skip_newline();
            if (pending_comments == npos) {
                pending_comments = line_start;
                content_before_comments = content_end;
            }
            content_end = p_;
            continue;
        }
        const std::size_t leading = pending_comments == npos ? line_start : pending_comments;
        if (t_[p_] == '[') {
            Section& previous = L_.sections[current_];
            previous.content_end = pending_comments == npos ? content_end : content_before_comments;
            previous.next = leading;
            header(leading);
        } else {
            keyval(line_start, leading);
        }
        pending_comments = npos;
        content_end = p_;
    }
    Section& last = L_.sections[current_];
    last.content_end = content_end;
    last.next = n_;
    flush_section();
}

}  // namespace

Path Layout::full_path(const Statement& s) const {
    Path path = sections[s.section].path;
    path.insert(path.end(), s.key.begin(), s.key.end());
    return path;
}

std::size_t Layout::find_statement(const Path& path) const noexcept {
    for (const Section& sec : sections) {
        if (path.size() <= sec.path.size() || !starts_with(path, sec.path)) continue;
        for (std::uint32_t i = 0; i < sec.statement_count; ++i) {
            const Statement& s = statements[sec.first_statement + i];
            if (ends_as(path, sec.path.size(), s.key)) return sec.first_statement + i;
        }
    }
    return npos;
}

std::size_t Layout::find_value(const Path& path) const noexcept {
    std::size_t s = find_statement(path);
    if (s != npos) return statements[s].value;
    if (path.empty() || !path.back().is_index) return npos;
    Path parent(path.begin(), path.end() - 1);
    std::size_t array = find_value(parent);
    if (array == npos || values[array].kind != ValueKind::Array) return npos;
    const ValueText& a = values[array];
    if (path.back().index >= a.element_count) return npos;
    return element_ids[a.first_element + path.back().index];
}

Span value_span_at(std::string_view text, std::size_t begin) {
    Layout scratch;
    return Scanner(text, scratch).value_at(begin);
}

void build_layout(std::string_view text, Layout& out) {
    Scanner(text, out).run();
}

}  // namespace toml::lossless
