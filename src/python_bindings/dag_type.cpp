#include <cassert>
#include <memory>

#include "dag/execute.hpp"
#include "dag/mermaid.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversions.hpp"
#include "python_bindings/entry_point.hpp"
#include "python_bindings/name_keys.hpp"
#include "python_bindings/node_records.hpp"
#include "python_bindings/python_run.hpp"
#include "python_bindings/run_stops.hpp"
#include "python_bindings/types.hpp"

namespace pelmo {

PyTypeObject* dag_type = nullptr;

namespace {

PyDag* as_dag(PyObject* self) { return reinterpret_cast<PyDag*>(self); }

// Shared use of a Dag for one call. Only counted: nothing ever needs the
// Dag exclusively, but a count that is not zero at deallocation is a bug.
class DagAccess {
 public:
  explicit DagAccess(PyObject* object) : dag_(as_dag(object)) {
    dag_->active_calls.fetch_add(1, std::memory_order_relaxed);
  }
  DagAccess(const DagAccess&) = delete;
  DagAccess& operator=(const DagAccess&) = delete;
  ~DagAccess() { dag_->active_calls.fetch_sub(1, std::memory_order_relaxed); }
  const Dag& dag() const { return dag_->dag; }
  NameKeys& keys() { return dag_->keys; }

  // A context for a run: the spare one if there is one. Requires the lock.
  RunContext take_context() {
    std::optional<RunContext> spare = std::exchange(dag_->spare_context, std::nullopt);
    return spare ? std::move(*spare) : RunContext(dag().store().names().size());
  }
  // Keeps an emptied context for the next run. Requires the lock.
  void give_back(RunContext&& context) {
    if (!dag_->spare_context) dag_->spare_context.emplace(std::move(context));
  }

 private:
  PyDag* dag_;
};

const Signature kExecuteSignature{
    "execute", {"parallel", "max_threads", "inputs", "outputs", "on_error"}, 0, 2};

// `inputs` of execute: each name of the Dag goes into the context. The
// others go into a dict of their own, in order, to be returned as they are;
// null when there are none.
PyObjectRef put_inputs(PyObject* argument, const NameKeys& keys, RunContext& context) {
  PyObjectRef unknown;
  if (is_absent(argument)) return unknown;
  // What dict() takes as a mapping: an object with keys (here: items).
  if (!PyDict_Check(argument) && !PyObject_HasAttrString(argument, "items")) {
    raise(PyExc_TypeError,
          "execute() argument 'inputs' must be a mapping of str to values, not %.200s",
          Py_TYPE(argument)->tp_name);
  }
  PyObjectRef items = checked(PyMapping_Items(argument));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      raise(PyExc_TypeError, "execute() argument 'inputs': items() must give pairs");
    }
    PyObject* name = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_Check(name)) {
      raise(PyExc_TypeError, "execute() argument 'inputs': names must be str, not %.200s (%R)",
            Py_TYPE(name)->tp_name, name);
    }
    if (const std::optional<NameId> id = keys.find(name)) {
      context.put(*id, python_value(PyObjectRef::borrow(value)));
      continue;
    }
    if (!unknown) unknown = checked(PyDict_New());
    // A plain str, so that no method of a str subclass runs from here on.
    const PyObjectRef plain = checked(PyUnicode_FromObject(name));
    if (PyDict_SetItem(unknown.get(), plain.get(), value) < 0) throw PythonErrorAlreadySet();
  }
  return unknown;
}

// `outputs` of execute: the names asked for, each once, in order. A name
// that no node writes and that is not an input is a mistake, found before
// the run.
struct ChosenOutput {
  PyObjectRef name;
  std::optional<NameId> id;  // absent: one of the unknown inputs
};

std::optional<std::vector<ChosenOutput>> chosen_outputs(PyObject* argument, const NameKeys& keys,
                                                        const RunContext& context,
                                                        PyObject* unknown_inputs) {
  if (is_absent(argument)) return std::nullopt;
  if (PyUnicode_Check(argument)) {
    raise(PyExc_TypeError, "execute() argument 'outputs' must be an iterable of str, not a str");
  }
  PyObjectRef iterator = PyObjectRef::steal(PyObject_GetIter(argument));
  if (!iterator) {
    PyErr_Clear();
    raise(PyExc_TypeError, "execute() argument 'outputs' must be an iterable of str, not %.200s",
          Py_TYPE(argument)->tp_name);
  }
  std::vector<ChosenOutput> chosen;
  PyObjectRef seen = checked(PySet_New(nullptr));
  while (PyObjectRef given = PyObjectRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(given.get())) {
      raise(PyExc_TypeError, "execute() argument 'outputs': names must be str, not %.200s (%R)",
            Py_TYPE(given.get())->tp_name, given.get());
    }
    // A plain str, so that no method of a str subclass runs from here on.
    PyObjectRef name = checked(PyUnicode_FromObject(given.get()));
    const int again = PySet_Contains(seen.get(), name.get());
    if (again < 0 || (!again && PySet_Add(seen.get(), name.get()) < 0))
      throw PythonErrorAlreadySet();
    if (again) continue;
    const std::optional<NameId> id = keys.find(name.get());
    bool known = id && (keys.written(*id) || context.get(*id) != nullptr);
    if (!id && unknown_inputs != nullptr) {
      const int input = PyDict_Contains(unknown_inputs, name.get());
      if (input < 0) throw PythonErrorAlreadySet();
      known = input == 1;
    }
    if (!known) {
      raise(PyExc_ValueError,
            "execute() argument 'outputs': no node writes %R and it is not among the inputs",
            name.get());
    }
    chosen.push_back(ChosenOutput{std::move(name), id});
  }
  if (PyErr_Occurred()) throw PythonErrorAlreadySet();
  return chosen;
}

// The run's final context: every filled name under its key, then the
// inputs that no node mentions; or only the names chosen, in their order.
// Filling a dict with a million names takes tens of milliseconds, which
// other threads wait for unless the run yields now and then, as it does
// between nodes.
constexpr NameId kNamesPerYieldCheck = 256;

PyObjectRef result_dict(const RunContext& context, const NameKeys& keys, PyObject* unknown_inputs,
                        const std::optional<std::vector<ChosenOutput>>& chosen, RunHost& host) {
  if (chosen) {
    PyObjectRef dict = new_dict(chosen->size());
    for (const ChosenOutput& output : *chosen) {
      if (output.id) {
        const Value* value = context.get(*output.id);
        if (value != nullptr && !store_named(dict.get(), keys, *output.id, *value))
          throw PythonErrorAlreadySet();
        continue;
      }
      PyObject* value = PyDict_GetItemWithError(unknown_inputs, output.name.get());
      if (value == nullptr || PyDict_SetItem(dict.get(), output.name.get(), value) < 0)
        throw PythonErrorAlreadySet();
    }
    return dict;
  }
  const std::size_t unknown = unknown_inputs != nullptr ? PyDict_GET_SIZE(unknown_inputs) : 0;
  PyObjectRef dict = new_dict(context.filled() + unknown);
  for (NameId name = 0; name < context.size(); ++name) {
    const Value* value = context.get(name);
    if (value != nullptr && !store_named(dict.get(), keys, name, *value))
      throw PythonErrorAlreadySet();
    if (name % kNamesPerYieldCheck == kNamesPerYieldCheck - 1) host.between_nodes();
  }
  if (unknown_inputs != nullptr && PyDict_Update(dict.get(), unknown_inputs) < 0)
    throw PythonErrorAlreadySet();
  return dict;
}

bool raises_node_errors(PyObject* argument) {
  if (argument == nullptr) return false;
  if (PyUnicode_Check(argument)) {
    if (PyUnicode_CompareWithASCIIString(argument, "print") == 0) return false;
    if (PyUnicode_CompareWithASCIIString(argument, "raise") == 0) return true;
  }
  raise(PyExc_ValueError, "execute() argument 'on_error' must be 'print' or 'raise', not %R",
        argument);
}

// A pelmo.NodeError for the node at `position`, caused by `failure`.
PyObjectRef node_error(const Dag& dag, Dag::Position position, const NodeFailure& failure) {
  const Node& node = dag.nodes()[position];
  const std::optional<std::string_view> label = dag.store().label(node);
  PyObjectRef type = record_class("NodeError");
  PyObjectRef id = checked(PyLong_FromUnsignedLongLong(node.id));
  PyObjectRef label_object = label ? text_to_python(*label) : PyObjectRef::borrow(Py_None);
  const FetchedError& cause = failure.error();
  if (cause.traceback() != nullptr) PyException_SetTraceback(cause.value(), cause.traceback());
  PyObject* arguments[] = {id.get(), label_object.get(), cause.value()};
  return checked(PyObject_Vectorcall(type.get(), arguments, 3, nullptr));
}

// Raises what stopped a run in which nodes failed: the first in level order
// of whatever must end the program (SystemExit, KeyboardInterrupt, an
// internal failure) as it is; else a NodeError for the first failed node,
// holding those of the others.
[[noreturn]] void raise_failures(const NodesFailed& failed, const Dag& dag) {
  std::vector<std::pair<Dag::Position, const NodeFailure*>> node_failures;
  for (const NodesFailed::Failure& failure : failed.failures()) {
    try {
      std::rethrow_exception(failure.error);
    } catch (const NodeFailure& node_failure) {
      node_failures.emplace_back(failure.node, &node_failure);
    }
  }
  PyObjectRef first = node_error(dag, node_failures[0].first, *node_failures[0].second);
  PyObjectRef others = checked(PyTuple_New(static_cast<Py_ssize_t>(node_failures.size() - 1)));
  for (std::size_t i = 1; i < node_failures.size(); ++i) {
    PyTuple_SET_ITEM(others.get(), static_cast<Py_ssize_t>(i - 1),
                     node_error(dag, node_failures[i].first, *node_failures[i].second).release());
  }
  if (PyObject_SetAttrString(first.get(), "others", others.get()) < 0)
    throw PythonErrorAlreadySet();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(first.get())), first.get());
  throw PythonErrorAlreadySet();
}

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    std::vector<PyObject*> bound = bind_arguments(kExecuteSignature, args, nargs, kwnames);
    const bool parallel = bool_argument(kExecuteSignature, "parallel", bound[0]);
    const std::optional<std::uint64_t> max_threads =
        count_argument(kExecuteSignature, "max_threads", bound[1]);
    const bool raise_errors = raises_node_errors(bound[4]);

    const Dag& dag = access.dag();
    NameKeys& keys = access.keys();
    if (!keys.ready()) keys.make(dag.store());
    // Made and destroyed with the lock held, as every value it holds is
    // put in and released with the lock held.
    RunContext context = access.take_context();
    const PyObjectRef unknown_inputs = put_inputs(bound[2], keys, context);
    const std::optional<std::vector<ChosenOutput>> chosen =
        chosen_outputs(bound[3], keys, context, unknown_inputs.get());

    PythonRunHost host;
    const PythonRun environment{keys, raise_errors, !host.on_main_thread()};
    try {
      run(dag, context, RunOptions{parallel, max_threads, &host, &environment});
    } catch (const NodesFailed& failed) {
      raise_failures(failed, dag);
    }
    PyObjectRef result = result_dict(context, keys, unknown_inputs.get(), chosen, host);
    // Released here rather than all at once when the context goes, for the
    // reason result_dict yields.
    for (NameId name = 0; name < context.size(); ++name) {
      context.release(name);
      if (name % kNamesPerYieldCheck == kNamesPerYieldCheck - 1) host.between_nodes();
    }
    access.give_back(std::move(context));
    return result.release();
  });
}

PyObject* dag_to_mermaid(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    const std::string text = to_mermaid_text(access.dag());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* dag_nodes(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    if (!access.keys().ready()) access.keys().make(access.dag().store());
    return node_records(access.dag(), access.keys()).release();
  });
}

PyObject* dag_node_count(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    return PyLong_FromUnsignedLongLong(access.dag().node_count());
  });
}

PyObject* dag_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot create 'pelmo.Dag' instances directly; use Graph.build()");
  return nullptr;
}

void dag_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ModuleGilScope scope;
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_dag(self)->spare_context);
  std::destroy_at(&as_dag(self)->keys);
  std::destroy_at(&as_dag(self)->holders);
  std::destroy_at(&as_dag(self)->dag);
  // Every call holds a reference to the Dag it uses.
  assert(as_dag(self)->active_calls.load(std::memory_order_relaxed) == 0);
  std::destroy_at(&as_dag(self)->active_calls);
  type->tp_free(self);
  Py_DECREF(type);
}

// May run while another thread executes this Dag without the lock: it reads
// only the list made at construction.
int dag_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return as_dag(self)->holders.traverse(visit, arg);
}

// Leaves an empty Dag. One that a call is using is referenced by that call
// and so never garbage; it is left alone all the same, since the call may be
// running on another thread without the lock.
int dag_clear(PyObject* self) {
  PyDag* payload = as_dag(self);
  if (payload->active_calls.load(std::memory_order_relaxed) != 0) return 0;
  ModuleGilScope scope;
  try {
    // Taken out first: releasing a callable runs arbitrary code, which must
    // find the Dag already empty.
    ReferenceHolders holders = std::exchange(payload->holders, ReferenceHolders());
    Dag dag = std::exchange(payload->dag, build_dag(NodeStore()));
    NameKeys keys = std::exchange(payload->keys, NameKeys());
    payload->spare_context.reset();
  } catch (const std::bad_alloc&) {
    // No memory for an empty Dag: this one stays whole, and uncollected.
  }
  return 0;
}

PyMethodDef dag_methods[] = {
    {"execute", fast_method(dag_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, parallel=False, max_threads=None, *, inputs=None, outputs=None, "
     "on_error='print')\n"
     "--\n"
     "\n"
     "Execute the DAG\n"
     "\n"
     "Args:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
     "unlimited. Default: None\n"
     "    inputs (Optional[Mapping[str, Any]]): Values put into the context before the first "
     "node runs. Default: None\n"
     "    outputs (Optional[Iterable[str]]): The names to return. None = the whole context. "
     "Default: None\n"
     "    on_error (str): 'print' reports a failing node and goes on; 'raise' stops the run "
     "and raises pelmo.NodeError. Default: 'print'\n"
     "\n"
     "Returns:\n"
     "    Dictionary containing the execution context"},
    {"to_mermaid", dag_to_mermaid, METH_NOARGS,
     "to_mermaid($self)\n"
     "--\n"
     "\n"
     "Get Mermaid diagram representation\n"
     "\n"
     "Returns:\n"
     "    String containing the Mermaid diagram"},
    {"nodes", dag_nodes, METH_NOARGS,
     "nodes($self)\n"
     "--\n"
     "\n"
     "List the nodes in execution order\n"
     "\n"
     "Returns:\n"
     "    A list of pelmo.Node records, in the order of a sequential run"},
    {"node_count", dag_node_count, METH_NOARGS,
     "node_count($self)\n"
     "--\n"
     "\n"
     "Get the number of nodes in the DAG\n"
     "\n"
     "Returns:\n"
     "    Number of nodes"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dag_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DAG executor")},
    {Py_tp_new, reinterpret_cast<void*>(dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(dag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dag_clear)},
    {Py_tp_methods, dag_methods},
    {0, nullptr},
};

PyType_Spec dag_spec = {"pelmo.Dag", sizeof(PyDag), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        dag_slots};

}  // namespace

PyObject* create_dag_type() { return PyType_FromSpec(&dag_spec); }

PyObject* new_dag_object(Dag&& dag) {
  ReferenceHolders holders = ReferenceHolders::of(dag.store().functions());
  PyObject* object = dag_type->tp_alloc(dag_type, 0);
  if (object == nullptr) return nullptr;
  // Tracked by the allocation; not to be visited before it is built.
  PyObject_GC_UnTrack(object);
  PyDag* payload = as_dag(object);
  std::construct_at(&payload->dag, std::move(dag));
  std::construct_at(&payload->holders, std::move(holders));
  std::construct_at(&payload->keys);
  std::construct_at(&payload->spare_context);
  std::construct_at(&payload->active_calls, 0);
  PyObject_GC_Track(object);
  return object;
}

}  // namespace pelmo
