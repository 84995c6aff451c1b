// The per-node cap on semantic edges. Each endpoint of a proposed edge is
// planned on one fetch of its edges: while it holds `cap` or more semantic
// edges, the weakest of the package's own ("auto_discovered...") semantic
// edges is marked to go, as long as it is strictly weaker than the proposal.
// Nothing is removed until both endpoints admit the proposal, so a refused
// proposal never costs the graph an edge.
#include "calls.hpp"  // first: Python.h before any standard header
#include "arena.hpp"
#include "comparisons.hpp"
#include "containers.hpp"
#include "extension.hpp"
#include "globals.hpp"
#include "iteration.hpp"

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace lacet {

namespace {

// The lists of one cap check live in an arena on the stack of enforce_cap
// (an endpoint at the cap holds about `cap` edges), reused from one pass
// and one endpoint to the next; only an unusually long list reaches the heap.
using EdgeList = std::vector<OwnedRef, ArenaAllocator<OwnedRef>>;
using IndexList = std::vector<std::size_t, ArenaAllocator<std::size_t>>;

// edge.weight.current
OwnedRef strength(State* st, PyObject* edge)
{
    return getattr_path(edge, st->at_edge_weight, st->at_weight_current);
}

// The edges of `node_id` whose relationship.type == RelationshipType.SEMANTIC,
// in the order the graph returns them.
int fetch_semantic(IngestContext& cx, PyObject* node_id, EdgeList& semantic)
{
    State* st = cx.st;
    OwnedRef semantic_type = relationship_type(st, st->at_type_SEMANTIC);
    if (!semantic_type) return -1;
    OwnedRef edges = call_method(cx.graph, st->at_graph_get_edges_for_node, node_id);
    if (!edges) return -1;
    Iteration iteration(edges.get());
    if (!iteration) return -1;
    while (OwnedRef edge = iteration.next()) {
        OwnedRef type =
            getattr_path(edge.get(), st->at_edge_relationship, st->at_relationship_type);
        if (!type) return -1;
        int is_semantic = py_eq(type.get(), semantic_type.get());
        if (is_semantic < 0) return -1;
        if (is_semantic) {
            semantic.push_back(std::move(edge));
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Keeps the edges whose `id != gone_id`, in order, compacted in place.
int drop_edge_id(State* st, EdgeList& edges, PyObject* gone_id)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        OwnedRef id = getattr(edges[i].get(), st->at_edge_id);
        if (!id) return -1;
        int other = py_ne(id.get(), gone_id);
        if (other < 0) return -1;
        if (other) {
            if (kept != i) {
                edges[kept] = std::move(edges[i]);
            }
            ++kept;
        }
    }
    edges.resize(kept);
    return 0;
}

// (edge.relationship.subtype or "").startswith(SEMANTIC_SUBTYPE)
int is_prunable(State* st, PyObject* edge)
{
    OwnedRef subtype = getattr_path(edge, st->at_edge_relationship, st->at_relationship_subtype);
    if (!subtype) return -1;
    int named = truth(subtype.get());
    if (named < 0) return -1;
    if (!named) {
        subtype = OwnedRef::owning(st->str_empty);
    }
    if (PyUnicode_CheckExact(subtype.get())) {
        OwnedRef prefix = former_global(st, st->global_SEMANTIC_SUBTYPE);
        if (!prefix) return -1;
        if (PyUnicode_CheckExact(prefix.get())) return str_startswith(subtype.get(), prefix.get());
    }
    Method startswith(subtype.get(), st->str_startswith);
    if (!startswith) return -1;
    OwnedRef prefix = former_global(st, st->global_SEMANTIC_SUBTYPE);
    if (!prefix) return -1;
    return truth_of(startswith(prefix.get()));
}

// A proposed edge as the cap weighs it, the edges planned to go for it
// (those of the first endpoint, then those of the second), and the working
// lists of the endpoint being planned.
struct Proposal {
    PyObject* cap;
    PyObject* similarity;
    EdgeList plan;
    EdgeList semantic;   // the endpoint's semantic edges not yet planned to go
    IndexList prunable;  // positions in `semantic` of the prunable ones
};

// The first of the prunable edges with the smallest weight.current, as
// min() with a key function finds it: its position in `semantic`, or -1
// with an exception set.
Py_ssize_t weakest_of(State* st, const Proposal& proposal)
{
    const EdgeList& semantic = proposal.semantic;
    std::size_t weakest = proposal.prunable[0];
    OwnedRef least = strength(st, semantic[weakest].get());
    if (!least) return -1;
    for (std::size_t k = 1; k < proposal.prunable.size(); ++k) {
        std::size_t i = proposal.prunable[k];
        OwnedRef current = strength(st, semantic[i].get());
        if (!current) return -1;
        int weaker = py_lt(current.get(), least.get());
        if (weaker < 0) return -1;
        if (weaker) {
            weakest = i;
            least = std::move(current);
        }
    }
    return static_cast<Py_ssize_t>(weakest);
}

// Plans the evictions at one endpoint, leaving out the edges already planned
// to go at the other. 1 when the endpoint admits the proposal (its own
// evictions appended to the plan), 0 when it refuses, -1 with an exception.
int plan_evictions(IngestContext& cx, PyObject* node_id, Proposal& proposal)
{
    State* st = cx.st;
    EdgeList& semantic = proposal.semantic;
    semantic.clear();
    if (fetch_semantic(cx, node_id, semantic) < 0) return -1;
    std::size_t planned_elsewhere = proposal.plan.size();
    for (std::size_t i = 0; i < planned_elsewhere; ++i) {
        OwnedRef gone_id = getattr(proposal.plan[i].get(), st->at_edge_id);
        if (!gone_id) return -1;
        if (drop_edge_id(st, semantic, gone_id.get()) < 0) return -1;
    }
    for (;;) {
        int full = count_at_least(static_cast<Py_ssize_t>(semantic.size()), proposal.cap);
        if (full <= 0) return full < 0 ? -1 : 1;
        IndexList& prunable = proposal.prunable;
        prunable.clear();
        for (std::size_t i = 0; i < semantic.size(); ++i) {
            int own = is_prunable(st, semantic[i].get());
            if (own < 0) return -1;
            if (own) {
                prunable.push_back(i);
            }
        }
        if (prunable.empty()) return 0;
        Py_ssize_t index = weakest_of(st, proposal);
        if (index < 0) return -1;
        OwnedRef weakest = semantic[static_cast<std::size_t>(index)];
        // weakest.weight.current is read again for the comparison, as the
        // Python `weakest.weight.current >= similarity` does after min().
        OwnedRef current = strength(st, weakest.get());
        if (!current) return -1;
        int holds = py_ge(current.get(), proposal.similarity);
        if (holds) return holds < 0 ? -1 : 0;
        proposal.plan.push_back(weakest);
        OwnedRef weakest_id = getattr(weakest.get(), st->at_edge_id);
        if (!weakest_id) return -1;
        if (drop_edge_id(st, semantic, weakest_id.get()) < 0) return -1;
    }
}

// graph.remove_edge(edge.id); result.evicted_edge_ids.append(edge.id)
int evict(IngestContext& cx, PyObject* edge)
{
    State* st = cx.st;
    Method remove_edge(cx.graph, st->at_graph_remove_edge);
    if (!remove_edge) return -1;
    OwnedRef id = getattr(edge, st->at_edge_id);
    if (!id) return -1;
    if (!remove_edge(id.get())) return -1;
    OwnedRef evicted = result_field(cx, st->at_result_evicted_edge_ids);
    if (!evicted) return -1;
    id = getattr(edge, st->at_edge_id);
    if (!id) return -1;
    return append_to(st, evicted.get(), id.get());
}

}  // namespace

int enforce_cap(IngestContext& cx, PyObject* a_id, PyObject* b_id, PyObject* similarity)
{
    State* st = cx.st;
    OwnedRef cap = config_field(st, cx.self, st->at_config_max_semantic_edges_per_node);
    if (!cap) return -1;
    if (cap.is_none()) return 1;
    int off = at_most_zero(cap.get());
    if (off) return off < 0 ? -1 : 1;
    alignas(std::max_align_t) std::byte arena_space[2048];
    Arena arena(arena_space, sizeof arena_space);
    ArenaAllocator<OwnedRef> in_arena(arena);
    Proposal proposal{cap.get(), similarity, EdgeList(in_arena), EdgeList(in_arena),
                      IndexList(in_arena)};
    proposal.semantic.reserve(32);
    proposal.prunable.reserve(32);
    for (PyObject* node_id : {a_id, b_id}) {
        int admitted = plan_evictions(cx, node_id, proposal);
        if (admitted <= 0) return admitted;
    }
    for (const OwnedRef& edge : proposal.plan) {
        if (evict(cx, edge.get()) < 0) return -1;
    }
    return 1;
}

}  // namespace lacet
