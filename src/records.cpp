// The two records, built the way a class statement with annotations builds
// them, then passed through dataclasses.dataclass.
#include "calls.hpp"
#include "former_module.hpp"
#include "globals.hpp"

#include <initializer_list>
#include <vector>

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
    // The defaults are taken over first, so that each is released on every
    // path out of here.
    std::vector<OwnedRef> defaults;
    defaults.reserve(fields.size());
    for (const FieldSpec& f : fields) {
        defaults.push_back(OwnedRef::consuming(f.default_value));
    }
    for (const OwnedRef& value : defaults) {
        if (!value) return {};
    }
    OwnedRef body = OwnedRef::consuming(PyDict_New());
    if (!body) return {};
    OwnedRef annotations = OwnedRef::consuming(PyDict_New());
    if (!annotations) return {};
    if (PyDict_SetItem(body.get(), st->str___module__, st->str_former_module_name) < 0) return {};
    if (PyDict_SetItem(body.get(), st->str___qualname__, name) < 0) return {};
    if (PyDict_SetItem(body.get(), st->str___annotations__, annotations.get()) < 0) return {};
    std::size_t n = 0;
    for (const FieldSpec& f : fields) {
        if (PyDict_SetItem(annotations.get(), f.name, f.annotation) < 0) return {};
        if (PyDict_SetItem(body.get(), f.name, defaults[n++].get()) < 0) return {};
    }
    OwnedRef bases = OwnedRef::consuming(PyTuple_New(0));
    if (!bases) return {};
    OwnedRef plain = call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases.get(), body.get());
    if (!plain) return {};
    OwnedRef dataclass = former_global(st, st->str_dataclass);
    if (!dataclass) return {};
    OwnedRef record = call(dataclass.get(), plain.get());
    if (!record) return {};
    if (setattr(record.get(), st->str___doc__, Py_None) < 0) return {};
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
    if (PyErr_Occurred()) return nullptr;
    OwnedRef field = former_global(st, st->str_field);
    if (!field) return nullptr;
    return call_kw(field.get(), st->kw_default_factory, reinterpret_cast<PyObject*>(&PyList_Type))
        .relinquish();  // handed to make_record, which takes it over
}

}  // namespace

OwnedRef make_config_record(State* st)
{
    return make_record(
        st, st->str_LacetConfig,
        {
            {st->str_similarity_threshold, st->str_type_float,
             constant(st, st->str_DEFAULT_SIMILARITY_THRESHOLD)},
            {st->str_max_semantic_edges_per_node, st->str_type_int,
             constant(st, st->str_DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE)},
            {st->str_temporal_chain, st->str_type_bool, Py_NewRef(Py_True)},
            {st->str_seed_count, st->str_type_int, constant(st, st->str_DEFAULT_SEED_COUNT)},
            {st->str_max_iterations, st->str_type_int,
             constant(st, st->str_DEFAULT_MAX_ITERATIONS)},
            {st->str_coverage_gossip_weight, st->str_type_float,
             PyErr_Occurred() ? nullptr : PyFloat_FromDouble(0.25)},
        });
}

OwnedRef make_result_record(State* st)
{
    return make_record(st, st->str_LacetIngestResult,
                       {
                           {st->str_created, st->str_type_list_edges, new_list_field(st)},
                           {st->str_evicted_edge_ids, st->str_type_list_str, new_list_field(st)},
                       });
}

}  // namespace lacet
