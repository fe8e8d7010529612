#include "dag/mermaid_label.hpp"

namespace corvane::dag {

namespace {

// Whitespace as Mermaid's lexer sees it (JavaScript's `\s`), in UTF-8.
constexpr std::string_view kWideSpaces[] = {"\u00a0", "\u1680", "\u2000", "\u2001", "\u2002",
                                            "\u2003", "\u2004", "\u2005", "\u2006", "\u2007",
                                            "\u2008", "\u2009", "\u200a", "\u2028", "\u2029",
                                            "\u202f", "\u205f", "\u3000", "\ufeff"};

// Length in bytes of the whitespace character `text` starts with; 0 when it
// starts with something else. Every wide space begins with a lead byte, so a
// byte-wise scan of valid UTF-8 never finds one inside another character.
std::size_t space_length(std::string_view text) {
  if (text.empty()) return 0;
  const char first = text.front();
  if (first == ' ' || (first >= '\t' && first <= '\r')) return 1;
  // Every wide space starts with one of these lead bytes, and those starting
  // with 0xE2 go on with 0x80 or 0x81; anything else (an arrow, a letter, a
  // continuation byte) is ruled out without comparing against the list.
  switch (static_cast<unsigned char>(first)) {
    case 0xC2:
    case 0xE1:
    case 0xE3:
    case 0xEF:
      break;
    case 0xE2:
      if (text.size() < 2 || (text[1] != '\x80' && text[1] != '\x81')) return 0;
      break;
    default:
      return 0;
  }
  for (std::string_view space : kWideSpaces)
    if (text.starts_with(space)) return space.size();
  return 0;
}

std::size_t leading_space_length(std::string_view text) {
  std::size_t at = 0;
  while (std::size_t length = space_length(text.substr(at))) at += length;
  return at;
}

// Whether `text` holds a space before byte `end`.
bool has_space_before(std::string_view text, std::size_t end) {
  for (std::size_t at = 0; at < end; ++at)
    if (space_length(text.substr(at)) > 0) return true;
  return false;
}

// A bare edge label is lexed as plain text except for: the bracket, pipe and
// quote characters, which open or close other tokens anywhere; an `@` in the
// label's first word, read as an edge id; and `~~~` after leading
// whitespace, read as an invisible link.
bool edge_label_needs_quotes(std::string_view label) {
  if (label.find_first_of("\"()[]{}|") != std::string_view::npos) return true;
  const std::size_t spaces = leading_space_length(label);
  if (label.substr(spaces).starts_with("~~~")) return true;
  const std::size_t at_sign = label.find('@');
  return spaces == 0 && at_sign != std::string_view::npos && !has_space_before(label, at_sign);
}

// Inside quotes, a leading backtick opens a markdown string, which must be
// "`…`" with at least one character and no other backtick in between.
bool opens_broken_markdown(std::string_view label) {
  if (!label.starts_with('`')) return false;
  const bool well_formed = label.size() >= 3 && label.ends_with('`') &&
                           label.substr(1, label.size() - 2).find('`') == std::string_view::npos;
  return !well_formed;
}

// Appends a label with `"` as its entity (they only occur in quoted labels)
// and the first `%` of a line starting with "%%" as its entity: Mermaid drops
// such a line as a comment before parsing, even inside a label.
void append_escaped(std::string& text, std::string_view label) {
  bool line_start = false;  // nothing but whitespace since the last line feed
  for (std::size_t at = 0; at < label.size();) {
    if (const std::size_t space = space_length(label.substr(at))) {
      line_start = line_start || label[at] == '\n';
      text += label.substr(at, space);
      at += space;
      continue;
    }
    if (label[at] == '"')
      text += "#quot;";
    else if (line_start && label.substr(at).starts_with("%%"))
      text += "#37;";
    else
      text += label[at];
    line_start = false;
    ++at;
  }
}

// Appends the text to go between double quotes: a backtick that would open a
// broken markdown string as its entity, and an empty text as one space,
// which Mermaid shows as an empty label.
void append_quoted(std::string& text, std::string_view label) {
  if (label.empty()) {
    text += ' ';
    return;
  }
  if (opens_broken_markdown(label)) {
    text += "#96;";
    label.remove_prefix(1);
  }
  append_escaped(text, label);
}

}  // namespace

void append_node_label(std::string& text, std::string_view label) {
  append_quoted(text, label);
}

void append_edge_label(std::string& text, std::string_view label) {
  if (!edge_label_needs_quotes(label)) {
    append_escaped(text, label);
    return;
  }
  text += '"';
  append_quoted(text, label);
  text += '"';
}

std::string escape_equals_in_tag_spans(std::string text) {
  const auto is_word = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  std::string escaped;
  std::size_t copied = 0;
  for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (at + 1 == text.size() || !is_word(text[at + 1])) continue;
    const std::size_t end = text.find('>', at);
    if (end == std::string::npos) break;
    for (std::size_t equals = text.find("=\"", at); equals < end;
         equals = text.find("=\"", equals + 1)) {
      if (text.find('"', equals + 2) >= end) break;
      escaped.append(text, copied, equals - copied);
      escaped += "#61;";
      copied = equals + 1;
    }
    at = end;
  }
  if (copied == 0) return text;
  escaped.append(text, copied);
  return escaped;
}

}  // namespace corvane::dag
