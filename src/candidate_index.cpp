// Construction of the extension, which seeds the candidate index from the
// graph, and on_forget, which keeps the index in step with deletions.
#include "extension.hpp"
#include "pyops.hpp"

namespace lacet {

namespace {

// `config or LacetConfig()`
OwnedRef config_or_default(State* st, PyObject* config)
{
    int given = truth(config);
    if (given < 0) {
        return {};
    }
    if (given) {
        return OwnedRef::owning(config);
    }
    OwnedRef record_class = former_global(st, st->LacetConfig);
    if (!record_class) {
        return {};
    }
    return call(record_class.get());
}

// `container.discard(item)`. set.discard also accepts a set, looked up as
// the equal frozenset; PySet_Discard does not, so that case goes through
// the method.
int discard_from(State* st, PyObject* container, PyObject* item)
{
    if (PySet_CheckExact(container) && !PySet_Check(item)) {
        return PySet_Discard(container, item) < 0 ? -1 : 0;
    }
    return call_method(container, st->discard, item) ? 0 : -1;
}

}  // namespace

int extension_init(State* st, PyObject* self, PyObject* service, PyObject* graph,
                   PyObject* config)
{
    if (setattr(self, st->_service, service) < 0) {
        return -1;
    }
    OwnedRef stored_config = config_or_default(st, config);
    if (!stored_config || setattr(self, st->_config, stored_config.get()) < 0) {
        return -1;
    }
    if (setattr(self, st->_last_id, Py_None) < 0) {
        return -1;
    }
    OwnedRef candidate_ids = OwnedRef::consuming(PySet_New(nullptr));
    if (!candidate_ids || setattr(self, st->_candidate_ids, candidate_ids.get()) < 0) {
        return -1;
    }
    OwnedRef node_lookup = OwnedRef::consuming(PyDict_New());
    if (!node_lookup || setattr(self, st->_node_lookup, node_lookup.get()) < 0) {
        return -1;
    }

    OwnedRef nodes = call_method(graph, st->all_nodes);
    if (!nodes) {
        return -1;
    }
    Iteration iteration(nodes.get());
    if (!iteration) {
        return -1;
    }
    while (OwnedRef node = iteration.next()) {
        OwnedRef embedding = getattr(node.get(), st->content_embedding);
        if (!embedding) {
            return -1;
        }
        if (embedding.is_none()) {
            continue;
        }
        OwnedRef id = getattr(node.get(), st->id);
        if (!id || PySet_Add(candidate_ids.get(), id.get()) < 0) {
            return -1;
        }
        id = getattr(node.get(), st->id);
        if (!id || PyDict_SetItem(node_lookup.get(), id.get(), node.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* on_forget(State* st, PyObject* self, PyObject* node_ids)
{
    Iteration iteration(node_ids);
    if (!iteration) {
        return nullptr;
    }
    while (OwnedRef node_id = iteration.next()) {
        OwnedRef candidate_ids = instance_attr(self, st->_candidate_ids);
        if (!candidate_ids) {
            return nullptr;
        }
        if (discard_from(st, candidate_ids.get(), node_id.get()) < 0) {
            return nullptr;
        }

        OwnedRef node_lookup = instance_attr(self, st->_node_lookup);
        if (!node_lookup) {
            return nullptr;
        }
        OwnedRef dropped =
            PyDict_CheckExact(node_lookup.get())
                ? OwnedRef::consuming(compat::dict_pop(node_lookup.get(), node_id.get(), Py_None))
                : call_method(node_lookup.get(), st->pop, node_id.get(), Py_None);
        if (!dropped) {
            return nullptr;
        }
        dropped.reset();

        OwnedRef last_id = instance_attr(self, st->_last_id);
        if (!last_id) {
            return nullptr;
        }
        int same = py_eq(last_id.get(), node_id.get());
        if (same < 0) {
            return nullptr;
        }
        if (same && setattr(self, st->_last_id, Py_None) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace lacet
