#pragma once

// Conversions between Python objects and the core's values: mapping
// arguments to name pairs, `GraphData` to Python objects, and the
// dictionaries that cross a node function's boundary. All of them run with
// the interpreter lock held.

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "graph_data/graph_data.hpp"
#include "node/name_map.hpp"
#include "python_bindings/refs.hpp"

namespace corvane::python_bindings {

using graph_data::Context;
using graph_data::GraphData;

// The name of an object's type as Python programs write it ("int", "Graph").
std::string_view type_name_of(BorrowedRef object) noexcept;

// The UTF-8 text of a `str` (or `str` subclass). TypeError for any other
// type, UnicodeEncodeError for text that has no UTF-8 form.
std::string text_from_str(BorrowedRef object);

// A new `str` from UTF-8 text; UnicodeDecodeError for invalid bytes.
OwnedRef str_from_text(std::string_view text);

// The `inputs`/`outputs` argument of `Graph.add` as name pairs, in the
// object's own order: a dict (or subclass) of str to str, or a list (or
// subclass) of 2-tuples of str and plain str (the same name twice). Anything else is a ValueError;
// a malformed entry stops the conversion with its exception.
std::vector<node::NamePair> parse_mapping(BorrowedRef object);

// A new reference to the Python form of `value`: numbers, text and lists as
// new objects, maps as dicts or (when keyed "0".."n-1") lists, a held Python
// object as itself. Throws `PythonError` only when the outermost object
// cannot be made; an element that cannot be made is left out of its
// container.
OwnedRef graph_data_to_python(const GraphData& value);

// A new dict holding `graph_data_to_python` of every value of `context`
// under its name as a `str`. When an entry cannot be made or stored,
// `on_failure(name)` runs inside the exception handler, with the Python
// exception set: it rethrows to stop, or clears the error to leave the entry
// out and go on.
template <class OnFailure>
OwnedRef context_to_dict(const Context& context, OnFailure&& on_failure) {
  OwnedRef dict = OwnedRef::new_reference(PyDict_New());
  for (const auto& [name, value] : context) {
    try {
      OwnedRef key = str_from_text(name);
      OwnedRef converted = graph_data_to_python(value);
      require_status(PyDict_SetItem(dict.get(), key.get(), converted.get()));
    } catch (const PythonError&) {
      on_failure(name);
    }
  }
  return dict;
}

// The same, stopping at the first entry that cannot be stored, with its
// exception (a run's final context must come back whole or not at all).
inline OwnedRef context_to_dict(const Context& context) {
  return context_to_dict(context, [](const std::string&) { throw; });
}

// The entries of a `collections.abc.Mapping` (a dict fast) as a context of
// the very objects, in the mapping's order. TypeError naming `what` for an
// object that is not a mapping or a key that is not a `str`.
Context context_from_mapping(BorrowedRef mapping, std::string_view what);

// The context made from a dict that a node function returned: every entry
// with a `str` key, held as a reference to the very object returned. Other
// keys are skipped without a message. Never fails.
Context dict_to_context(BorrowedRef dict);

}  // namespace corvane::python_bindings
