#include "python_bindings/graph_check.hpp"

#include <algorithm>
#include <vector>

#include "python_bindings/conversion.hpp"

namespace corvane::python_bindings {

namespace {

OwnedRef problems_function(const char* name) {
  OwnedRef module = OwnedRef::new_reference(PyImport_ImportModule("corvane._problems"));
  return OwnedRef::new_reference(PyObject_GetAttrString(module.get(), name));
}

OwnedRef label_of(const node::Node& node) {
  return node.label ? str_from_text(*node.label) : OwnedRef::add_reference(BorrowedRef(Py_None));
}

// (kind, node id, label, name, ((writer id, writer label), ...), level).
OwnedRef raw_problem(const dag::Dag& dag, const dag::GraphProblem& problem) {
  const node::Node& node = dag.nodes()[problem.node];
  OwnedRef writers = OwnedRef::new_reference(PyTuple_New(std::ssize(problem.writers)));
  for (std::size_t i = 0; i < problem.writers.size(); ++i) {
    const node::Node& writer = dag.nodes()[problem.writers[i]];
    OwnedRef id = OwnedRef::new_reference(PyLong_FromUnsignedLongLong(writer.id));
    OwnedRef label = label_of(writer);
    PyTuple_SET_ITEM(writers.get(), static_cast<Py_ssize_t>(i),
                     OwnedRef::new_reference(PyTuple_Pack(2, id.get(), label.get())).release());
  }
  const bool missing = problem.kind == dag::GraphProblem::Kind::missing_input;
  OwnedRef kind = OwnedRef::new_reference(PyUnicode_FromString(missing ? "missing input" : "race"));
  OwnedRef id = OwnedRef::new_reference(PyLong_FromUnsignedLongLong(node.id));
  OwnedRef label = label_of(node);
  OwnedRef name = str_from_text(problem.name);
  OwnedRef level = OwnedRef::new_reference(PyLong_FromSize_t(problem.level));
  return OwnedRef::new_reference(
      PyTuple_Pack(6, kind.get(), id.get(), label.get(), name.get(), writers.get(), level.get()));
}

OwnedRef python_problems(const dag::Dag& dag, const std::vector<dag::GraphProblem>& found) {
  OwnedRef raw = OwnedRef::new_reference(PyList_New(0));
  for (const dag::GraphProblem& problem : found)
    require_status(PyList_Append(raw.get(), raw_problem(dag, problem).get()));
  OwnedRef convert = problems_function("problems_from_native");
  return OwnedRef::new_reference(PyObject_CallOneArg(convert.get(), raw.get()));
}

}  // namespace

OwnedRef check_problems(const dag::Dag& dag, std::span<const std::string> input_names,
                        dag::Visibility visibility, std::span<const bool> runs) {
  return python_problems(dag, dag::check_graph(dag, input_names, visibility, runs));
}

void raise_for_missing_inputs(const dag::Dag& dag, std::span<const std::string> input_names,
                              dag::Visibility visibility, std::span<const bool> runs) {
  std::vector<dag::GraphProblem> found = dag::check_graph(dag, input_names, visibility, runs);
  std::erase_if(found, [](const dag::GraphProblem& problem) {
    return problem.kind != dag::GraphProblem::Kind::missing_input;
  });
  if (found.empty()) return;
  OwnedRef problems = python_problems(dag, found);
  OwnedRef raise = problems_function("raise_missing_inputs");
  OwnedRef never = OwnedRef::new_reference(PyObject_CallOneArg(raise.get(), problems.get()));
}

}  // namespace corvane::python_bindings
