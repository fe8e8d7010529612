#include "python_bindings/conversion.hpp"

#include <charconv>
#include <cstdint>
#include <string>

namespace corvane::python_bindings {

namespace {

Py_ssize_t python_size(std::size_t size) {
  return static_cast<Py_ssize_t>(size);
}

// Fills a list of known length slot by slot. An element that could not be
// made is left out and the list ends up shorter; unfilled slots stay NULL,
// which the list's own clean-up skips.
class ListFiller {
 public:
  explicit ListFiller(std::size_t capacity)
      : list_(OwnedRef::new_reference(PyList_New(python_size(capacity)))) {}

  void push(OwnedRef element) noexcept {
    PyList_SET_ITEM(list_.get(), filled_++, element.release());
  }

  OwnedRef finish() && {
    Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list_.get()), filled_);
    return std::move(list_);
  }

 private:
  OwnedRef list_;
  Py_ssize_t filled_ = 0;
};

// Runs `make` for one element of a container; a failure leaves the element
// out (null result) and clears the error so that the conversion goes on.
template <class Make>
OwnedRef element_or_nothing(Make&& make) noexcept {
  try {
    return make();
  } catch (const PythonError&) {
    PyErr_Clear();
    return {};
  }
}

template <class Number, class Make>
OwnedRef list_of_numbers(const std::vector<Number>& numbers, Make make_number) {
  ListFiller list(numbers.size());
  for (Number number : numbers) {
    OwnedRef element = OwnedRef::new_reference_or_null(make_number(number));
    if (element) {
      list.push(std::move(element));
    } else {
      PyErr_Clear();
    }
  }
  return std::move(list).finish();
}

// True when `key` is the canonical decimal text (digits only, no sign, no
// leading zero except "0" itself) of an index below `count`.
bool is_index_key(std::string_view key, std::size_t count) noexcept {
  if (key.empty() || (key.size() > 1 && key.front() == '0')) return false;
  std::uint64_t index = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), index);
  return error == std::errc() && end == key.data() + key.size() && index < count;
}

// Keys unique and all index keys below the entry count means exactly the
// keys "0" to "n-1". A key like "01" or "+1" is not an index key, so such a
// map stays a dict and no element goes missing.
bool is_list_shaped(const Context& entries) noexcept {
  for (const auto& entry : entries)
    if (!is_index_key(entry.first, entries.size())) return false;
  return true;
}

bool is_complex_shaped(const GraphData& value) noexcept {
  const auto* map = std::get_if<graph_data::Map>(&value);
  if (map == nullptr) return false;
  const Context& parts = map->entries();
  return parts.find(std::string_view("re")) != parts.end() &&
         parts.find(std::string_view("im")) != parts.end();
}

double complex_part(const Context& parts, std::string_view name) noexcept {
  const GraphData& part = parts.find(name)->second;
  if (const auto* integer = std::get_if<graph_data::Int>(&part))
    return static_cast<double>(*integer);
  if (const auto* number = std::get_if<graph_data::Float>(&part)) return *number;
  return 0.0;
}

OwnedRef complex_tuple(const GraphData& value) {
  const Context& parts = std::get<graph_data::Map>(value).entries();
  return OwnedRef::new_reference(
      Py_BuildValue("(dd)", complex_part(parts, "re"), complex_part(parts, "im")));
}

// Element i of a list-shaped map, by the canonical text of i.
const GraphData& element_at(const Context& entries, std::size_t index) {
  char digits[24];  // Enough for every 64-bit index, so `to_chars` cannot fail.
  const char* end = std::to_chars(digits, digits + sizeof digits, index).ptr;
  return entries.find(std::string_view(digits, static_cast<std::size_t>(end - digits)))->second;
}

OwnedRef list_from_map(const Context& entries) {
  bool complex = true;
  for (const auto& entry : entries) complex = complex && is_complex_shaped(entry.second);

  ListFiller list(entries.size());
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const GraphData& value = element_at(entries, index);
    OwnedRef element = element_or_nothing(
        [&] { return complex ? complex_tuple(value) : graph_data_to_python(value); });
    if (element) list.push(std::move(element));
  }
  return std::move(list).finish();
}

OwnedRef map_to_python(const graph_data::Map& map) {
  const Context& entries = map.entries();
  if (!entries.empty() && is_list_shaped(entries)) return list_from_map(entries);
  // An entry that cannot be stored is left out.
  return context_to_dict(entries, [](const std::string&) { PyErr_Clear(); });
}

[[noreturn]] void raise_not_str(BorrowedRef object) {
  const std::string message = "expected str, got " + std::string(type_name_of(object));
  throw_python_error(PyExc_TypeError, message.c_str());
}

node::NamePair pair_from_tuple(BorrowedRef item) {
  if (!PyTuple_Check(item.get())) {
    const std::string message = "expected tuple, got " + std::string(type_name_of(item));
    throw_python_error(PyExc_TypeError, message.c_str());
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(item.get());
  if (length != 2) {
    const std::string message =
        "expected tuple of length 2, but got tuple of length " + std::to_string(length);
    throw_python_error(PyExc_ValueError, message.c_str());
  }
  std::string first = text_from_str(BorrowedRef(PyTuple_GET_ITEM(item.get(), 0)));
  std::string second = text_from_str(BorrowedRef(PyTuple_GET_ITEM(item.get(), 1)));
  return {std::move(first), std::move(second)};
}

}  // namespace

std::string_view type_name_of(BorrowedRef object) noexcept {
  const std::string_view full(Py_TYPE(object.get())->tp_name);
  const std::size_t dot = full.rfind('.');
  return dot == std::string_view::npos ? full : full.substr(dot + 1);
}

std::string text_from_str(BorrowedRef object) {
  if (!PyUnicode_Check(object.get())) raise_not_str(object);
  Py_ssize_t size = 0;
  const char* data = require(PyUnicode_AsUTF8AndSize(object.get(), &size));
  return std::string(data, static_cast<std::size_t>(size));
}

OwnedRef str_from_text(std::string_view text) {
  return OwnedRef::new_reference(
      PyUnicode_FromStringAndSize(text.data(), python_size(text.size())));
}

std::vector<node::NamePair> parse_mapping(BorrowedRef object) {
  std::vector<node::NamePair> pairs;
  if (PyDict_Check(object.get())) {
    pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object.get())));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object.get(), &position, &key, &value)) {
      std::string first = text_from_str(BorrowedRef(key));
      std::string second = text_from_str(BorrowedRef(value));
      pairs.emplace_back(std::move(first), std::move(second));
    }
    return pairs;
  }
  if (PyList_Check(object.get())) {
    pairs.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object.get())));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(object.get()); ++index) {
      const BorrowedRef item(PyList_GET_ITEM(object.get(), index));
      if (PyUnicode_Check(item.get())) {
        // A plain name stands for the same name on both sides.
        std::string name = text_from_str(item);
        pairs.emplace_back(name, std::move(name));
      } else {
        pairs.push_back(pair_from_tuple(item));
      }
    }
    return pairs;
  }
  throw_python_error(PyExc_ValueError, "inputs/outputs must be a dict or list of tuples");
}

OwnedRef graph_data_to_python(const GraphData& value) {
  using namespace graph_data;
  switch (value.kind()) {
    case Kind::Int:
      return OwnedRef::new_reference(PyLong_FromLongLong(std::get<Int>(value)));
    case Kind::Float:
      return OwnedRef::new_reference(PyFloat_FromDouble(std::get<Float>(value)));
    case Kind::String:
      return str_from_text(std::get<String>(value));
    case Kind::FloatList:
      return list_of_numbers(std::get<FloatList>(value), &PyFloat_FromDouble);
    case Kind::IntList:
      return list_of_numbers(std::get<IntList>(value),
                             [](Int number) { return PyLong_FromLongLong(number); });
    case Kind::Map:
      return map_to_python(std::get<Map>(value));
    case Kind::PyObject: {
      auto* object = static_cast<PyObject*>(std::get<PyObjectHandle>(value).get());
      if (object != nullptr) return OwnedRef::add_reference(BorrowedRef(object));
      break;  // Only a moved-from handle is empty; it reads as None.
    }
    case Kind::None:
      break;
  }
  return OwnedRef::add_reference(BorrowedRef(Py_None));
}

Context dict_to_context(BorrowedRef dict) {
  Context context;
  context.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict.get())));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.get(), &position, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) {
      PyErr_Clear();
      continue;
    }
    std::string text(name, static_cast<std::size_t>(size));
    GraphData held(
        graph_data::PyObjectHandle::adopt(OwnedRef::add_reference(BorrowedRef(value)).release()));
    context.insert_or_assign(std::move(text), std::move(held));
  }
  return context;
}

Context context_from_mapping(BorrowedRef mapping, std::string_view what) {
  OwnedRef items;
  if (PyDict_Check(mapping.get())) {
    items = OwnedRef::new_reference(PyDict_Items(mapping.get()));
  } else {
    OwnedRef abc = OwnedRef::new_reference(PyImport_ImportModule("collections.abc"));
    OwnedRef mapping_type = OwnedRef::new_reference(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (require_status(PyObject_IsInstance(mapping.get(), mapping_type.get())) == 0) {
      const std::string message = std::string(what) +
                                  " must be a mapping from str to objects, got " +
                                  std::string(type_name_of(mapping));
      throw_python_error(PyExc_TypeError, message.c_str());
    }
    items = OwnedRef::new_reference(PyMapping_Items(mapping.get()));
  }
  Context context;
  context.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
    PyObject* item = PyList_GET_ITEM(items.get(), index);
    const BorrowedRef key(PyTuple_GET_ITEM(item, 0));
    if (!PyUnicode_Check(key.get())) {
      const std::string message =
          std::string(what) + " keys must be str, got " + std::string(type_name_of(key));
      throw_python_error(PyExc_TypeError, message.c_str());
    }
    const BorrowedRef value(PyTuple_GET_ITEM(item, 1));
    context.insert_or_assign(
        text_from_str(key),
        GraphData(graph_data::PyObjectHandle::adopt(OwnedRef::add_reference(value).release())));
  }
  return context;
}

}  // namespace corvane::python_bindings
