#include "module_state.hpp"

#include <initializer_list>

namespace lacet {

namespace {

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* name_tuple(std::initializer_list<PyObject*> names)
{
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject* name : names) {
        PyTuple_SET_ITEM(tuple, i++, Py_NewRef(name));
    }
    return tuple;
}

}  // namespace

int state_init(State* st)
{
#define LACET_INIT_NAME(name)          \
    if (!(st->name = intern(#name))) { \
        return -1;                     \
    }
#define LACET_INIT_TEXT(name, text)   \
    if (!(st->name = intern(text))) { \
        return -1;                    \
    }
    LACET_IDENTIFIERS(LACET_INIT_NAME)
    LACET_TEXTS(LACET_INIT_TEXT)
#undef LACET_INIT_NAME
#undef LACET_INIT_TEXT

    bool made =
        (st->kw_chain_relationship = name_tuple({st->type, st->subtype, st->description})) &&
        (st->kw_semantic_relationship = name_tuple({st->type, st->subtype, st->bidirectional})) &&
        (st->kw_weight = name_tuple({st->current, st->initial})) &&
        (st->kw_chain_edge = name_tuple({st->source_node, st->target_node, st->relationship})) &&
        (st->kw_semantic_edge =
             name_tuple({st->source_node, st->target_node, st->relationship, st->weight})) &&
        (st->kw_find_similar = name_tuple({st->top_k, st->threshold, st->exclude_self,
                                           st->candidate_ids, st->node_lookup})) &&
        (st->kw_exc_info = name_tuple({st->exc_info})) &&
        (st->kw_retrieval_context = name_tuple(
             {st->seed_count, st->max_iterations, st->max_results, st->degree_normalization,
              st->use_volume_termination, st->strengthen_on_retrieval, st->coverage_harvest,
              st->coverage_gossip_weight})) &&
        (st->kw_build_extension = name_tuple({st->service, st->graph, st->config})) &&
        (st->kw_default_factory = name_tuple({st->default_factory})) &&
        (st->fromlist_retriever =
             name_tuple({st->MAX_RESULTS_CEILING, st->SEED_COUNT_CEILING, st->RetrievalContext}));
    return made ? 0 : -1;
}

int state_traverse(State* st, visitproc visit, void* arg)
{
    Py_VISIT(st->former_dict);
    Py_VISIT(st->extension_type);
    Py_VISIT(st->own_on_ingest);
    Py_VISIT(st->own_enforce_cap);
    Py_VISIT(st->own_are_connected);
    Py_VISIT(st->result_class);
    return 0;
}

void state_clear(State* st)
{
#define LACET_CLEAR_NAME(name) Py_CLEAR(st->name);
#define LACET_CLEAR_TEXT(name, text) Py_CLEAR(st->name);
    LACET_IDENTIFIERS(LACET_CLEAR_NAME)
    LACET_TEXTS(LACET_CLEAR_TEXT)
#undef LACET_CLEAR_NAME
#undef LACET_CLEAR_TEXT
    Py_CLEAR(st->kw_chain_relationship);
    Py_CLEAR(st->kw_semantic_relationship);
    Py_CLEAR(st->kw_weight);
    Py_CLEAR(st->kw_chain_edge);
    Py_CLEAR(st->kw_semantic_edge);
    Py_CLEAR(st->kw_find_similar);
    Py_CLEAR(st->kw_exc_info);
    Py_CLEAR(st->kw_retrieval_context);
    Py_CLEAR(st->kw_build_extension);
    Py_CLEAR(st->kw_default_factory);
    Py_CLEAR(st->fromlist_retriever);
    Py_CLEAR(st->former_dict);
    Py_CLEAR(st->extension_type);
    Py_CLEAR(st->own_on_ingest);
    Py_CLEAR(st->own_enforce_cap);
    Py_CLEAR(st->own_are_connected);
    Py_CLEAR(st->result_class);
}

State* state_of_module(PyObject* module)
{
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st && !st->former_dict) {
        PyErr_SetString(PyExc_RuntimeError, "vantor_lacet has been unloaded");
        return nullptr;
    }
    return st;
}

State* state_of_type(PyTypeObject* cls)
{
    PyObject* module = PyType_GetModuleByDef(cls, &package_def);
    if (!module) {
        return nullptr;
    }
    return state_of_module(module);
}

}  // namespace lacet
