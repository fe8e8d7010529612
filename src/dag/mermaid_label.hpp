#pragma once

#include <string>
#include <string_view>

// How names and labels are written into Mermaid flowchart text so that
// Mermaid's parser accepts every one of them. Text that Mermaid already reads
// as it is stays byte for byte the same; only what would break the parse is
// changed, using Mermaid's own entity codes (`#quot;` for a double quote,
// `#96;` for a backtick, `#37;` and `#61;` for `%` and `=`), which it shows as the character they
// stand for. HTML tags, entity codes and well-formed markdown strings are left alone: Mermaid reads
// them as markup, and users may write them for rich labels.

namespace corvane::dag {

// Appends `label` as the text between the quotes of `["…"]`.
void append_node_label(std::string& text, std::string_view label);

// Appends `label` as the text between the pipes of `-->|…|`: bare where
// Mermaid reads it bare, in double quotes otherwise.
void append_edge_label(std::string& text, std::string_view label);

// Mermaid rewrites `="…"` as `='…'` inside anything that looks like an HTML
// tag (`<` and a word character up to the next `>`), across lines too. Where
// a label ending in `=` lies in such a span, that would turn its closing
// quote into an apostrophe and merge it with the text up to the next quote;
// this returns `text` with the `=` of each such label written as `#61;`.
// Text without such a label is returned unchanged.
std::string escape_equals_in_tag_spans(std::string text);

}  // namespace corvane::dag
