// The two records, built the way a class statement with annotations builds
// them, then passed through dataclasses.dataclass.
#include "namespace.hpp"
#include "pyops.hpp"

#include <initializer_list>

namespace lacet {

namespace {

struct FieldSpec {
    PyObject* name;
    PyObject* annotation;
    PyObject* default_value;  // new reference
};

// class <name>: <field>: "<annotation>" = <default> ...
//   then dataclass(cls), with no docstring.
OwnedRef make_record(State* st, PyObject* name, std::initializer_list<FieldSpec> fields)
{
    bool ok = true;
    OwnedRef defaults[8];
    std::size_t n = 0;
    for (const FieldSpec& f : fields) {
        defaults[n] = OwnedRef::consuming(f.default_value);
        ok = ok && defaults[n];
        ++n;
    }
    if (!ok) {
        return {};
    }
    OwnedRef body = OwnedRef::consuming(PyDict_New());
    OwnedRef annotations = OwnedRef::consuming(PyDict_New());
    if (!body || !annotations || PyDict_SetItem(body.get(), st->__module__, st->former_module_name) < 0 ||
        PyDict_SetItem(body.get(), st->__qualname__, name) < 0 ||
        PyDict_SetItem(body.get(), st->__annotations__, annotations.get()) < 0) {
        return {};
    }
    n = 0;
    for (const FieldSpec& f : fields) {
        if (PyDict_SetItem(annotations.get(), f.name, f.annotation) < 0 ||
            PyDict_SetItem(body.get(), f.name, defaults[n++].get()) < 0) {
            return {};
        }
    }
    OwnedRef bases = OwnedRef::consuming(PyTuple_New(0));
    if (!bases) {
        return {};
    }
    OwnedRef plain = call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases.get(), body.get());
    OwnedRef dataclass = plain ? former_global(st, st->dataclass) : OwnedRef();
    OwnedRef record = dataclass ? call(dataclass.get(), plain.get()) : OwnedRef();
    if (!record || setattr(record.get(), st->__doc__, Py_None) < 0) {
        return {};
    }
    return record;
}

// The value a module constant holds now.
// Field defaults are evaluated one after another; once one has failed, the
// rest are skipped so that no call runs with an exception set.
PyObject* constant(State* st, PyObject* name)
{
    return PyErr_Occurred() ? nullptr : former_global(st, name).relinquish();
}

// field(default_factory=list)
PyObject* new_list_field(State* st)
{
    if (PyErr_Occurred()) {
        return nullptr;
    }
    OwnedRef field = former_global(st, st->field);
    if (!field) {
        return nullptr;
    }
    return call_kw(field.get(), st->kw_default_factory, reinterpret_cast<PyObject*>(&PyList_Type))
        .relinquish();
}

}  // namespace

OwnedRef make_config_record(State* st)
{
    return make_record(
        st, st->LacetConfig,
        {
            {st->similarity_threshold, st->type_float, constant(st, st->DEFAULT_SIMILARITY_THRESHOLD)},
            {st->max_semantic_edges_per_node, st->type_int,
             constant(st, st->DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE)},
            {st->temporal_chain, st->type_bool, Py_NewRef(Py_True)},
            {st->seed_count, st->type_int, constant(st, st->DEFAULT_SEED_COUNT)},
            {st->max_iterations, st->type_int, constant(st, st->DEFAULT_MAX_ITERATIONS)},
            {st->coverage_gossip_weight, st->type_float,
             PyErr_Occurred() ? nullptr : PyFloat_FromDouble(0.25)},
        });
}

OwnedRef make_result_record(State* st)
{
    return make_record(st, st->LacetIngestResult,
                       {
                           {st->created, st->type_list_edges, new_list_field(st)},
                           {st->evicted_edge_ids, st->type_list_str, new_list_field(st)},
                       });
}

}  // namespace lacet
