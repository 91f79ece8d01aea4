#include "scan/filter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <optional>

#include "format/type_codes.h"

namespace varn::scan {

namespace {

using format::ColumnKind;

ColumnKind kind_of_column(const VarnReader& reader, size_t col) {
    return format::kind_of(reader.columns()[col].type_code);
}

// Joins message pieces (appending to one string: GCC 12 warns, wrongly,
// about the overlap of "literal" + std::string at -O3).
std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out.append(p.data(), p.size());
    return out;
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// A value as written: trimmed, and unquoted when it is in double quotes.
Result<std::string> unquote(std::string_view raw) {
    const std::string_view s = trim(raw);
    if (s.empty() || s.front() != '"') return std::string(s);
    std::string out;
    size_t i = 1;
    for (;;) {
        if (i >= s.size()) return Status::invalid_input(join({"a quoted value lacks its closing quote: ", s}));
        if (s[i] == '"') {
            if (i + 1 < s.size() && s[i + 1] == '"') {
                out += '"';
                i += 2;
                continue;
            }
            break;
        }
        out += s[i++];
    }
    if (i + 1 != s.size()) {
        return Status::invalid_input(join({"text after the closing quote of a value: ", s}));
    }
    return out;
}

// The items of "A, B, ..." (the text inside the parentheses), split at
// commas outside quotes.
Result<std::vector<std::string>> list_items(std::string_view s) {
    std::vector<std::string> items;
    if (trim(s).empty()) return items;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] == '"') quoted = !quoted;
        if (i == s.size() || (s[i] == ',' && !quoted)) {
            Result<std::string> item = unquote(s.substr(start, i - start));
            if (item.failed()) return item.status();
            items.push_back(item.take());
            start = i + 1;
        }
    }
    return items;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<size_t> column_named(const VarnReader& reader, std::string_view name) {
    if (auto col = reader.find_column(name)) return col;
    const std::string_view trimmed = trim(name);
    if (trimmed.size() != name.size() && !trimmed.empty()) return reader.find_column(trimmed);
    return std::nullopt;
}

// "in" or "not in" at `at` (after a space), followed by "(": the operator and
// where the text after "(" starts.
std::optional<std::pair<FilterOp, size_t>> set_op_at(std::string_view text, size_t at) {
    size_t i = at;
    FilterOp op = FilterOp::In;
    if (text.substr(i, 3) == "not" && i + 3 < text.size() && is_space(text[i + 3])) {
        op = FilterOp::NotIn;
        i += 3;
        while (i < text.size() && is_space(text[i])) ++i;
    }
    if (text.substr(i, 2) != "in") return std::nullopt;
    i += 2;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i >= text.size() || text[i] != '(') return std::nullopt;
    return std::make_pair(op, i + 1);
}

constexpr std::string_view kCompareOps[] = {"==", "!=", "<=", ">=", "=", "<", ">"};

}  // namespace

Result<FilterOp> filter_op_from_text(std::string_view text) {
    if (text == "==" || text == "=") return FilterOp::Eq;
    if (text == "!=") return FilterOp::Ne;
    if (text == "<") return FilterOp::Lt;
    if (text == "<=") return FilterOp::Le;
    if (text == ">") return FilterOp::Gt;
    if (text == ">=") return FilterOp::Ge;
    if (text == "in") return FilterOp::In;
    if (text == "not in") return FilterOp::NotIn;
    return Status::invalid_input(join({"unknown filter operator '", text, "' (==, !=, <, <=, >, >=, in or not in)"}));
}

const char* filter_op_text(FilterOp op) {
    switch (op) {
        case FilterOp::Eq: return "==";
        case FilterOp::Ne: return "!=";
        case FilterOp::Lt: return "<";
        case FilterOp::Le: return "<=";
        case FilterOp::Gt: return ">";
        case FilterOp::Ge: return ">=";
        case FilterOp::In: return "in";
        case FilterOp::NotIn: return "not in";
    }
    return "?";
}

Status check_filters(const VarnReader& reader, const std::vector<Filter>& filters) {
    const size_t n = reader.column_count();
    for (const Filter& f : filters) {
        if (f.column >= n) {
            return Status::invalid_input("filter column number " + std::to_string(f.column) + " is out of range");
        }
        const KColumn& col = reader.columns()[f.column];
        if (kind_of_column(reader, f.column) == ColumnKind::Nested) {
            return Status::invalid_input("column '" + col.name + "' holds json values, which filters do not compare");
        }
        if (!is_set_op(f.op) && f.values.size() != 1) {
            return Status::invalid_input("a comparison filter takes one value");
        }
    }
    return Status::ok();
}

bool filter_matches_null(const VarnReader& reader, const Filter& f) {
    const ColumnKind kind = kind_of_column(reader, f.column);
    if (kind != ColumnKind::Text && kind != ColumnKind::Bytes) return false;
    if (f.op != FilterOp::Eq && f.op != FilterOp::In) return false;
    return std::any_of(f.values.begin(), f.values.end(), [](const FilterValue& v) { return v.text.empty(); });
}

Result<FilterValue> filter_value_from_text(const VarnReader& reader, size_t col, std::string_view text) {
    FilterValue v;
    const std::string name = "column '" + reader.columns()[col].name + "'";
    const std::string_view s = trim(text);
    const ColumnKind kind = kind_of_column(reader, col);
    if (s.empty() && (kind == ColumnKind::Int || kind == ColumnKind::Float || kind == ColumnKind::Flags)) {
        // An empty field is how varn cat writes a null, but a null matches
        // no filter: asking for one is a mistake, not a filter of no rows.
        return Status::invalid_input(join({name, " is of type ", format::type_info(reader.columns()[col].type_code).name,
                                           ": an empty value is none of its values, and a null cell matches "
                                           "no filter"}));
    }
    switch (kind) {
        case ColumnKind::Text: v.text.assign(text); return v;
        case ColumnKind::Bytes: {
            if (s.size() % 2 != 0) {
                return Status::invalid_input(name + " holds bytes, written as hex digits: '" + std::string(text) +
                                             "' has an odd number of digits");
            }
            for (size_t i = 0; i < s.size(); i += 2) {
                const int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
                if (hi < 0 || lo < 0) {
                    return Status::invalid_input(name + " holds bytes, written as hex digits: '" +
                                                 std::string(text) + "' is not hex");
                }
                v.text += static_cast<char>(hi * 16 + lo);
            }
            return v;
        }
        case ColumnKind::Int: {
            std::string_view digits = s;
            if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v.integer);
            if (digits.empty() || ec == std::errc::invalid_argument || end != digits.data() + digits.size()) {
                return Status::invalid_input(name + " holds integers: '" + std::string(text) + "' is not one");
            }
            if (ec == std::errc::result_out_of_range) {
                return Status::invalid_input(name + " holds 64-bit integers: '" + std::string(text) +
                                             "' is out of their range");
            }
            return v;
        }
        case ColumnKind::Float: {
            std::string_view digits = s;
            if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v.real);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
                return Status::invalid_input(name + " holds decimals: '" + std::string(text) + "' is not one");
            }
            return v;
        }
        case ColumnKind::Flags: {
            std::string lower(s);
            for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            if (lower == "true" || lower == "1") {
                v.integer = 1;
            } else if (lower == "false" || lower == "0") {
                v.integer = 0;
            } else {
                return Status::invalid_input(name + " holds true or false, not '" + std::string(text) + "'");
            }
            return v;
        }
        case ColumnKind::Nested: break;
    }
    return Status::invalid_input(name + " holds json values, which filters do not compare");
}

Result<Filter> parse_filter_text(const VarnReader& reader, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        // NAME in (...) / NAME not in (...)
        if (i > 0 && is_space(text[i - 1])) {
            if (auto set = set_op_at(text, i)) {
                if (auto col = column_named(reader, text.substr(0, i))) {
                    const std::string_view rest = trim(text.substr(set->second));
                    if (rest.empty() || rest.back() != ')') {
                        return Status::invalid_input(join({"'", text, "': the list of values ends with ')'"}));
                    }
                    Result<std::vector<std::string>> items = list_items(rest.substr(0, rest.size() - 1));
                    if (items.failed()) return items.status();
                    Filter f{*col, set->first, {}};
                    for (const std::string& item : items.value()) {
                        Result<FilterValue> v = filter_value_from_text(reader, *col, item);
                        if (v.failed()) return v.status();
                        f.values.push_back(v.take());
                    }
                    VARN_RETURN_IF_ERROR(check_filters(reader, {f}));
                    return f;
                }
            }
        }
        for (std::string_view op : kCompareOps) {
            if (text.substr(i, op.size()) != op) continue;
            if (auto col = column_named(reader, text.substr(0, i))) {
                Result<std::string> value = unquote(text.substr(i + op.size()));
                if (value.failed()) return value.status();
                Result<FilterValue> v = filter_value_from_text(reader, *col, value.value());
                if (v.failed()) return v.status();
                Filter f{*col, filter_op_from_text(op).value(), {v.take()}};
                VARN_RETURN_IF_ERROR(check_filters(reader, {f}));
                return f;
            }
            break;  // the longest operator at this place
        }
    }
    return Status::invalid_input(
        join({"'", text, "' names no column followed by an operator (=, !=, <, <=, >, >=, in, not in)"}));
}

}  // namespace varn::scan
