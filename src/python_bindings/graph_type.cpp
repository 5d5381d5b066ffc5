#include <memory>

#include "python_bindings/arguments.hpp"
#include "python_bindings/entry_point.hpp"
#include "python_bindings/py_node_function.hpp"
#include "python_bindings/types.hpp"

namespace pelmo {

PyTypeObject* graph_type = nullptr;

namespace {

constexpr const char* kTaken = "Graph has already been built or consumed";

PyGraph* as_graph(PyObject* self) { return reinterpret_cast<PyGraph*>(self); }

// Exclusive use of a Graph for one call; cleared on every way out.
class GraphAccess {
 public:
  explicit GraphAccess(PyObject* object) : graph_(as_graph(object)) {
    if (graph_->busy) raise(PyExc_RuntimeError, "Graph is already in use by a call in progress");
    graph_->busy = true;
  }
  GraphAccess(const GraphAccess&) = delete;
  GraphAccess& operator=(const GraphAccess&) = delete;
  ~GraphAccess() { graph_->busy = false; }

  // The builder, or the "taken" error.
  GraphBuilder& builder() {
    if (!graph_->builder) raise(PyExc_ValueError, kTaken);
    return *graph_->builder;
  }
  std::optional<GraphBuilder>& slot() { return graph_->builder; }
  ReferenceHolders& holders() { return graph_->holders; }

 private:
  PyGraph* graph_;
};

const Signature kAddSignature{"add", {"function", "label", "inputs", "outputs"}, 0};
const Signature kVariantsSignature{"variants", {"functions", "label", "inputs", "outputs"}, 1};
const Signature kBranchSignature{"branch", {"subgraph"}, 1};

// The arguments of a node-adding method, parsed, and the builder they go to.
template <typename First>
struct NodeArguments {
  First first;
  std::optional<std::string> label;
  GraphBuilder& builder;
  PairList inputs;
  PairList outputs;
};

// Parses the arguments of `add` or `variants`. The checks come in this
// order, the first failure being the one reported: binding (count, keywords,
// required), the first argument by `convert_first` and then `label`, in
// parameter order, the "taken" check, then `inputs` and `outputs`. So a
// taken graph still reports a bad `functions` or `label`, but not bad pairs.
template <typename ConvertFirst>
auto node_arguments(GraphAccess& access, const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, ConvertFirst&& convert_first) {
  std::vector<PyObject*> bound = bind_arguments(signature, args, nargs, kwnames);
  auto first = convert_first(bound[0]);
  std::optional<std::string> label = label_argument(signature, bound[1]);
  GraphBuilder& builder = access.builder();
  PairList inputs = pairs_argument(signature, "inputs", bound[2]);
  PairList outputs = pairs_argument(signature, "outputs", bound[3]);
  return NodeArguments<decltype(first)>{std::move(first), std::move(label), builder,
                                        std::move(inputs), std::move(outputs)};
}

PyObject* graph_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    GraphAccess access(self);
    auto call = node_arguments(access, kAddSignature, args, nargs, kwnames,
                               [](PyObject* function) { return function; });
    SharedNodeFunction node_function =
        is_absent(call.first) ? noop_node_function() : access.holders().function_for(call.first);
    call.builder.add(std::move(node_function), call.label, call.inputs, call.outputs);
    Py_RETURN_NONE;
  });
}

PyObject* graph_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    GraphAccess access(self);
    auto call = node_arguments(
        access, kVariantsSignature, args, nargs, kwnames,
        [](PyObject* functions) { return callables_argument(kVariantsSignature, functions); });
    std::vector<SharedNodeFunction> functions;
    functions.reserve(call.first.size());
    for (const PyObjectRef& callable : call.first)
      functions.push_back(access.holders().function_for(callable.get()));
    call.builder.variants(functions, call.label, call.inputs, call.outputs);
    Py_RETURN_NONE;
  });
}

PyObject* graph_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    GraphAccess access(self);
    std::vector<PyObject*> bound = bind_arguments(kBranchSignature, args, nargs, kwnames);
    PyObject* subgraph_object = bound[0];
    if (Py_TYPE(subgraph_object) != graph_type) {
      raise(PyExc_TypeError, "branch() argument 'subgraph' must be Graph, not %.200s",
            Py_TYPE(subgraph_object)->tp_name);
    }
    if (subgraph_object == self) raise(PyExc_RuntimeError, "a Graph cannot be a branch of itself");
    GraphAccess subgraph_access(subgraph_object);
    GraphBuilder& builder = access.builder();
    std::optional<GraphBuilder> subgraph = std::exchange(subgraph_access.slot(), std::nullopt);
    if (!subgraph) raise(PyExc_ValueError, "Subgraph has already been built or consumed");
    // Its functions come with its builder and belong to this graph alone.
    access.holders().take_all(std::move(subgraph_access.holders()));
    std::uint64_t branch_id = builder.branch(std::move(*subgraph));
    return PyLong_FromUnsignedLongLong(branch_id);
  });
}

PyObject* graph_build(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    GraphAccess access(self);
    std::optional<GraphBuilder> builder = std::exchange(access.slot(), std::nullopt);
    if (!builder) raise(PyExc_ValueError, "Graph has already been built");
    // The functions go to the Dag with the nodes; it lists them itself.
    ReferenceHolders handed_over = std::exchange(access.holders(), ReferenceHolders());
    return new_dag_object(std::move(*builder).build());
  });
}

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point([&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
      raise(PyExc_TypeError, "Graph() takes no arguments");
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) throw PythonErrorAlreadySet();
    // Tracked by the allocation; not to be visited before it is built.
    PyObject_GC_UnTrack(object);
    PyGraph* graph = as_graph(object);
    std::construct_at(&graph->builder, std::in_place);
    std::construct_at(&graph->holders);
    graph->busy = false;
    PyObject_GC_Track(object);
    return object;
  });
}

void graph_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ModuleGilScope scope;
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_graph(self)->builder);
  std::destroy_at(&as_graph(self)->holders);
  type->tp_free(self);
  Py_DECREF(type);
}

int graph_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return as_graph(self)->holders.traverse(visit, arg);
}

// Leaves the graph taken. A graph in the middle of a call is referenced by
// that call and so never garbage; it is left alone all the same.
int graph_clear(PyObject* self) {
  PyGraph* graph = as_graph(self);
  if (graph->busy) return 0;
  ModuleGilScope scope;
  // Taken out first: releasing a callable runs arbitrary code, which must
  // find the graph already empty.
  std::optional<GraphBuilder> builder = std::exchange(graph->builder, std::nullopt);
  ReferenceHolders holders = std::exchange(graph->holders, ReferenceHolders());
  return 0;
}

PyMethodDef graph_methods[] = {
    {"add", fast_method(graph_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, function=None, label=None, inputs=None, outputs=None)\n"
     "--\n"
     "\n"
     "Add a node to the graph\n"
     "\n"
     "Args:\n"
     "    function: Optional Python callable. If None, creates a no-op node.\n"
     "    label: Optional string label for the node\n"
     "    inputs: Optional dict {context_name: arg_name} or list of (context_name, arg_name) "
     "tuples\n"
     "    outputs: Optional dict {result_name: context_name} or list of (result_name, "
     "context_name) tuples\n"
     "\n"
     "Returns:\n"
     "    None"},
    {"branch", fast_method(graph_branch), METH_FASTCALL | METH_KEYWORDS,
     "branch($self, subgraph)\n"
     "--\n"
     "\n"
     "Create a branch in the graph\n"
     "\n"
     "Args:\n"
     "    subgraph: Graph instance representing the branch\n"
     "\n"
     "Returns:\n"
     "    Branch ID (int)"},
    {"variants", fast_method(graph_variants), METH_FASTCALL | METH_KEYWORDS,
     "variants($self, functions, label=None, inputs=None, outputs=None)\n"
     "--\n"
     "\n"
     "Create variant nodes (parameter sweep)\n"
     "\n"
     "Args:\n"
     "    functions: List of Python callables, each with signature (inputs) -> dict\n"
     "    label: Optional string label for the variant nodes\n"
     "    inputs: Optional dict {context_name: arg_name} or list of (context_name, arg_name) "
     "tuples\n"
     "    outputs: Optional dict {result_name: context_name} or list of (result_name, "
     "context_name) tuples, shared by all the variants\n"
     "\n"
     "Returns:\n"
     "    None\n"
     "\n"
     "Example:\n"
     "    # Each variant writes a name of its own, so the run keeps every result.\n"
     "    factors = [0.5, 1.0, 2.0]\n"
     "    graph.variants(\n"
     "        [lambda inputs, k=k, f=f: {f\"scaled{k}\": inputs[\"x\"] * f}\n"
     "         for k, f in enumerate(factors)],\n"
     "        \"Scale\",\n"
     "        {\"data\": \"x\"},\n"
     "        {f\"scaled{k}\": f\"result{k}\" for k in range(len(factors))},\n"
     "    )\n"
     "    # With \"data\" = 2.0: result0 = 1.0, result1 = 2.0, result2 = 4.0"},
    {"build", graph_build, METH_NOARGS,
     "build($self)\n"
     "--\n"
     "\n"
     "Build the DAG from the graph\n"
     "\n"
     "Returns:\n"
     "    Dag instance ready for execution"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Graph builder")},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(graph_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(graph_clear)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

PyType_Spec graph_spec = {"pelmo.Graph", sizeof(PyGraph), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, graph_slots};

}  // namespace

PyObject* create_graph_type() { return PyType_FromSpec(&graph_spec); }

}  // namespace pelmo
