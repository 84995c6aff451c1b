// The per-node cap on semantic edges. Each endpoint of a proposed edge is
// planned on one fetch of its edges: while it holds `cap` or more semantic
// edges, the weakest of the package's own ("auto_discovered...") semantic
// edges is marked to go, as long as it is strictly weaker than the proposal.
// Nothing is removed until both endpoints admit the proposal, so a refused
// proposal never costs the graph an edge.
#include "extension.hpp"
#include "pyops.hpp"

#include <vector>

namespace lacet {

namespace {

using EdgeList = std::vector<OwnedRef>;

// edge.weight.current
OwnedRef strength(State* st, PyObject* edge)
{
    OwnedRef weight = getattr(edge, st->weight);
    return weight ? getattr(weight.get(), st->current) : OwnedRef();
}

// The edges of `node_id` whose relationship.type == RelationshipType.SEMANTIC,
// in the order the graph returns them.
int fetch_semantic(State* st, PyObject* graph, PyObject* node_id, EdgeList& semantic)
{
    OwnedRef types = former_global(st, st->RelationshipType);
    OwnedRef semantic_type = types ? getattr(types.get(), st->SEMANTIC) : OwnedRef();
    OwnedRef edges = semantic_type ? call_method(graph, st->get_edges_for_node, node_id) : OwnedRef();
    if (!edges) {
        return -1;
    }
    Iteration iteration(edges.get());
    if (!iteration) {
        return -1;
    }
    while (OwnedRef edge = iteration.next()) {
        OwnedRef relationship = getattr(edge.get(), st->relationship);
        OwnedRef type = relationship ? getattr(relationship.get(), st->type) : OwnedRef();
        if (!type) {
            return -1;
        }
        int is_semantic = py_eq(type.get(), semantic_type.get());
        if (is_semantic < 0) {
            return -1;
        }
        if (is_semantic) {
            semantic.push_back(std::move(edge));
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Keeps the edges whose `id != gone_id`.
int drop_edge_id(State* st, EdgeList& edges, PyObject* gone_id)
{
    EdgeList kept;
    kept.reserve(edges.size());
    for (OwnedRef& edge : edges) {
        OwnedRef id = getattr(edge.get(), st->id);
        if (!id) {
            return -1;
        }
        int other = py_ne(id.get(), gone_id);
        if (other < 0) {
            return -1;
        }
        if (other) {
            kept.push_back(std::move(edge));
        }
    }
    edges.swap(kept);
    return 0;
}

// (edge.relationship.subtype or "").startswith(SEMANTIC_SUBTYPE)
int is_prunable(State* st, PyObject* edge)
{
    OwnedRef relationship = getattr(edge, st->relationship);
    OwnedRef subtype = relationship ? getattr(relationship.get(), st->subtype) : OwnedRef();
    if (!subtype) {
        return -1;
    }
    int named = truth(subtype.get());
    if (named < 0) {
        return -1;
    }
    if (!named) {
        subtype = OwnedRef::owning(st->empty);
    }
    if (PyUnicode_CheckExact(subtype.get())) {
        OwnedRef prefix = former_global(st, st->SEMANTIC_SUBTYPE);
        if (!prefix) {
            return -1;
        }
        if (PyUnicode_CheckExact(prefix.get())) {
            Py_ssize_t match = PyUnicode_Tailmatch(subtype.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
            return match < 0 ? -1 : match > 0;
        }
    }
    Method startswith(subtype.get(), st->startswith);
    OwnedRef prefix = startswith ? former_global(st, st->SEMANTIC_SUBTYPE) : OwnedRef();
    OwnedRef answer = prefix ? startswith(prefix.get()) : OwnedRef();
    return answer ? truth(answer.get()) : -1;
}

// The first of the edges with the smallest weight.current, as min() with a
// key function finds it. Returns its index, or -1 with an exception set.
Py_ssize_t weakest_of(State* st, const EdgeList& prunable)
{
    Py_ssize_t weakest = 0;
    OwnedRef least = strength(st, prunable[0].get());
    if (!least) {
        return -1;
    }
    for (std::size_t i = 1; i < prunable.size(); ++i) {
        OwnedRef current = strength(st, prunable[i].get());
        if (!current) {
            return -1;
        }
        int weaker = py_lt(current.get(), least.get());
        if (weaker < 0) {
            return -1;
        }
        if (weaker) {
            weakest = static_cast<Py_ssize_t>(i);
            least = std::move(current);
        }
    }
    return weakest;
}

// Plans the evictions at one endpoint, leaving out the edges already planned
// to go at the other. 1 with `plan` filled when the endpoint admits the
// proposal, 0 when it refuses, -1 with an exception set.
int plan_evictions(State* st, PyObject* graph, PyObject* node_id, PyObject* cap,
                   PyObject* similarity, const EdgeList& already, EdgeList& plan)
{
    EdgeList semantic;
    if (fetch_semantic(st, graph, node_id, semantic) < 0) {
        return -1;
    }
    for (const OwnedRef& gone : already) {
        OwnedRef gone_id = getattr(gone.get(), st->id);
        if (!gone_id || drop_edge_id(st, semantic, gone_id.get()) < 0) {
            return -1;
        }
    }
    for (;;) {
        int full = count_at_least(static_cast<Py_ssize_t>(semantic.size()), cap);
        if (full <= 0) {
            return full < 0 ? -1 : 1;
        }
        EdgeList prunable;
        for (const OwnedRef& edge : semantic) {
            int own = is_prunable(st, edge.get());
            if (own < 0) {
                return -1;
            }
            if (own) {
                prunable.push_back(edge);
            }
        }
        if (prunable.empty()) {
            return 0;
        }
        Py_ssize_t index = weakest_of(st, prunable);
        if (index < 0) {
            return -1;
        }
        OwnedRef weakest = prunable[static_cast<std::size_t>(index)];
        prunable.clear();
        OwnedRef current = strength(st, weakest.get());
        if (!current) {
            return -1;
        }
        int holds = py_ge(current.get(), similarity);
        if (holds) {
            return holds < 0 ? -1 : 0;
        }
        plan.push_back(weakest);
        OwnedRef weakest_id = getattr(weakest.get(), st->id);
        if (!weakest_id || drop_edge_id(st, semantic, weakest_id.get()) < 0) {
            return -1;
        }
    }
}

// graph.remove_edge(edge.id); result.evicted_edge_ids.append(edge.id)
int evict(State* st, PyObject* graph, PyObject* edge, PyObject* result)
{
    Method remove_edge(graph, st->remove_edge);
    OwnedRef id = remove_edge ? getattr(edge, st->id) : OwnedRef();
    OwnedRef removed = id ? remove_edge(id.get()) : OwnedRef();
    if (!removed) {
        return -1;
    }
    removed.reset();
    OwnedRef evicted = getattr(result, st->evicted_edge_ids);
    id = evicted ? getattr(edge, st->id) : OwnedRef();
    if (!id) {
        return -1;
    }
    return append_to(st, evicted.get(), id.get());
}

}  // namespace

int enforce_cap(State* st, PyObject* self, PyObject* graph, PyObject* a_id, PyObject* b_id,
                PyObject* similarity, PyObject* result)
{
    OwnedRef config = instance_attr(self, st->_config);
    OwnedRef cap = config ? getattr(config.get(), st->max_semantic_edges_per_node) : OwnedRef();
    if (!cap) {
        return -1;
    }
    if (cap.is_none()) {
        return 1;
    }
    int off = at_most_zero(cap.get());
    if (off) {
        return off < 0 ? -1 : 1;
    }
    EdgeList plan_a;
    int admitted = plan_evictions(st, graph, a_id, cap.get(), similarity, {}, plan_a);
    if (admitted <= 0) {
        return admitted;
    }
    EdgeList plan_b;
    admitted = plan_evictions(st, graph, b_id, cap.get(), similarity, plan_a, plan_b);
    if (admitted <= 0) {
        return admitted;
    }
    for (const EdgeList* plan : {&plan_a, &plan_b}) {
        for (const OwnedRef& edge : *plan) {
            if (evict(st, graph, edge.get(), result) < 0) {
                return -1;
            }
        }
    }
    return 1;
}

}  // namespace lacet
