#include <cassert>
#include <memory>

#include "dag/execute.hpp"
#include "dag/mermaid.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/conversions.hpp"
#include "python_bindings/entry_point.hpp"
#include "python_bindings/name_keys.hpp"
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

 private:
  PyDag* dag_;
};

// The run's final context, every filled name under its key.
PyObjectRef result_dict(const RunContext& context, const NameKeys& keys) {
  PyObjectRef dict = new_dict(context.filled());
  for (NameId name = 0; name < context.size(); ++name) {
    const Value* value = context.get(name);
    if (value != nullptr && !store_named(dict.get(), keys, name, *value))
      throw PythonErrorAlreadySet();
  }
  return dict;
}

const Signature kExecuteSignature{"execute", {"parallel", "max_threads"}, 0};

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    std::vector<PyObject*> bound = bind_arguments(kExecuteSignature, args, nargs, kwnames);
    const bool parallel = bool_argument(kExecuteSignature, "parallel", bound[0]);
    const std::optional<std::uint64_t> max_threads =
        count_argument(kExecuteSignature, "max_threads", bound[1]);

    const Dag& dag = access.dag();
    if (!access.keys().ready()) access.keys().make(dag.store());
    // Made and destroyed with the lock held, so the values it releases are
    // released at once; only a parallel level's merge queues releases.
    RunContext context(dag.store().names().size());
    const RunOptions options{parallel, max_threads, signal_handling_poll(), &access.keys()};
    std::exception_ptr failure = call_without_gil([&] { run(dag, context, options); });
    if (failure) std::rethrow_exception(failure);
    return result_dict(context, access.keys()).release();
  });
}

PyObject* dag_to_mermaid(PyObject* self, PyObject*) {
  return entry_point([&]() -> PyObject* {
    DagAccess access(self);
    const std::string text = to_mermaid_text(access.dag());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
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
                  "cannot create 'builtins.Dag' instances directly; use Graph.build()");
  return nullptr;
}

void dag_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ModuleGilScope scope;
  PyTypeObject* type = Py_TYPE(self);
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
  } catch (const std::bad_alloc&) {
    // No memory for an empty Dag: this one stays whole, and uncollected.
  }
  return 0;
}

PyMethodDef dag_methods[] = {
    {"execute", fast_method(dag_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, parallel=False, max_threads=None)\n"
     "--\n"
     "\n"
     "Execute the DAG\n"
     "\n"
     "Args:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = "
     "unlimited. Default: None\n"
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

PyType_Spec dag_spec = {"builtins.Dag", sizeof(PyDag), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
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
  std::construct_at(&payload->active_calls, 0);
  PyObject_GC_Track(object);
  return object;
}

}  // namespace pelmo
