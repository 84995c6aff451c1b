// The body of vantor_lacet.former. Globals are bound in this order:
//   annotations, logging, dataclass, field, Any, Optional,
//   MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata,
//   share_edge_fields_set, logger, the six constants,
//   LacetConfig, LacetIngestResult, LacetExtension.
#include "calls.hpp"
#include "extension.hpp"
#include "former_module.hpp"
#include "imports.hpp"

#include <initializer_list>
#include <vector>

namespace lacet {

namespace {

// from <module> import <names...>, bound into `globals` in order.
int bind_from(PyObject* globals, PyObject* module_name, std::initializer_list<PyObject*> names)
{
    OwnedRef fromlist = OwnedRef::consuming(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject* name : names) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    }
    std::vector<OwnedRef> values(names.size());
    if (import_from(globals, module_name, fromlist.get(), values.data()) < 0) return -1;
    i = 0;
    for (PyObject* name : names) {
        if (PyDict_SetItem(globals, name, values[static_cast<std::size_t>(i++)].get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int bind(PyObject* globals, PyObject* name, const OwnedRef& value)
{
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
}

}  // namespace

int populate_former(State* st, PyObject* package)
{
    PyObject* globals = st->former_dict;
    if (bind_from(globals, st->str_future_module_name, {st->str_annotations}) < 0) return -1;
    OwnedRef logging = OwnedRef::consuming(
        PyImport_ImportModuleLevelObject(st->str_logging, globals, nullptr, nullptr, 0));
    if (bind(globals, st->str_logging, logging) < 0) return -1;
    if (bind_from(globals, st->str_dataclasses_module_name, {st->str_dataclass, st->str_field}) <
        0) {
        return -1;
    }
    if (bind_from(globals, st->str_typing_module_name, {st->str_Any, st->str_Optional}) < 0) {
        return -1;
    }
    if (bind_from(globals, st->str_edge_module_name,
                  {st->str_MemoryEdge, st->str_RelationshipMetadata, st->str_RelationshipType,
                   st->str_WeightMetadata, st->str_share_edge_fields_set}) < 0) {
        return -1;
    }
    OwnedRef logger = call_method(logging.get(), st->str_getLogger, st->str_former_module_name);
    if (bind(globals, st->str_logger, logger) < 0) return -1;
    struct Constant {
        PyObject* name;
        OwnedRef value;
    };
    const Constant constants[] = {
        {st->str_DEFAULT_SIMILARITY_THRESHOLD, OwnedRef::consuming(PyFloat_FromDouble(0.7))},
        {st->str_DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE, OwnedRef::consuming(PyLong_FromLong(8))},
        {st->str_DEFAULT_SEED_COUNT, OwnedRef::consuming(PyLong_FromLong(5))},
        {st->str_DEFAULT_MAX_ITERATIONS, OwnedRef::consuming(PyLong_FromLong(3))},
        {st->str_SEMANTIC_SUBTYPE, OwnedRef::owning(st->str_auto_discovered)},
        {st->str_CHAIN_SUBTYPE, OwnedRef::owning(st->str_auto_chain)},
    };
    for (const Constant& constant : constants) {
        if (bind(globals, constant.name, constant.value) < 0) return -1;
    }
    OwnedRef config_class = make_config_record(st);
    if (bind(globals, st->str_LacetConfig, config_class) < 0) return -1;
    st->python_init_slot = reinterpret_cast<PyTypeObject*>(config_class.get())->tp_init;
    OwnedRef result_class = make_result_record(st);
    if (bind(globals, st->str_LacetIngestResult, result_class) < 0) return -1;
    auto* result_type = reinterpret_cast<PyTypeObject*>(result_class.get());
    if (unsigned int tag = compat::assign_version_tag(result_type)) {
        OwnedRef built = OwnedRef::consuming(PyType_GetDict(result_type));
        st->result_class_namespace = PyDict_Copy(built.get());
        if (!st->result_class_namespace) return -1;
        st->result_class_version = tag;
        st->result_class = result_class.relinquish();
    }
    PyTypeObject* extension_type = create_extension_type(st, package);
    if (!extension_type) return -1;
    st->extension_type = extension_type;
    return PyDict_SetItem(globals, st->str_LacetExtension,
                          reinterpret_cast<PyObject*>(extension_type));
}

}  // namespace lacet
