// Every string the package passes to the C API more than once, interned
// once per module instance and kept in the module state.
#pragma once

// Identifiers whose text is the identifier itself.
#define LACET_IDENTIFIERS(X)                                                  \
    /* instance attributes */                                                 \
    X(_service) X(_config) X(_last_id) X(_candidate_ids) X(_node_lookup)      \
    /* members called through the instance */                                \
    X(on_ingest) X(_are_connected) X(_enforce_cap)                            \
    /* node, edge and record attributes */                                    \
    X(id) X(content_embedding) X(relationship) X(type) X(subtype) X(weight)   \
    X(current) X(created) X(evicted_edge_ids)                                 \
    /* configuration fields */                                                \
    X(similarity_threshold) X(max_semantic_edges_per_node) X(temporal_chain)  \
    X(seed_count) X(max_iterations) X(coverage_gossip_weight)                 \
    /* host calls */                                                          \
    X(all_nodes) X(has_node) X(add_edge) X(get_edge_between)                  \
    X(get_edges_for_node) X(remove_edge) X(find_similar)                      \
    X(TEMPORAL) X(SEMANTIC)                                                   \
    /* builtin methods used on host-supplied containers */                    \
    X(append) X(extend) X(add) X(discard) X(pop) X(startswith)                \
    /* logging */                                                             \
    X(debug) X(warning) X(getLogger) X(exc_info)                              \
    /* module globals of vantor_lacet.former */                               \
    X(annotations) X(logging) X(dataclass) X(field) X(Any) X(Optional)        \
    X(MemoryEdge) X(RelationshipMetadata) X(RelationshipType)                 \
    X(WeightMetadata) X(share_edge_fields_set) X(logger)                      \
    X(DEFAULT_SIMILARITY_THRESHOLD) X(DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE)    \
    X(DEFAULT_SEED_COUNT) X(DEFAULT_MAX_ITERATIONS)                           \
    X(SEMANTIC_SUBTYPE) X(CHAIN_SUBTYPE)                                      \
    X(LacetConfig) X(LacetIngestResult) X(LacetExtension)                     \
    /* keywords of host constructors and calls */                             \
    X(source_node) X(target_node) X(description) X(bidirectional) X(initial)  \
    X(top_k) X(threshold) X(exclude_self) X(candidate_ids) X(node_lookup)     \
    X(max_results) X(degree_normalization) X(use_volume_termination)          \
    X(strengthen_on_retrieval) X(coverage_harvest)                            \
    X(MAX_RESULTS_CEILING) X(SEED_COUNT_CEILING) X(RetrievalContext)          \
    X(service) X(graph) X(config) X(default_factory) X(build_extension)                          \
    /* names of a module or class namespace */                                \
    X(__all__) X(__annotations__) X(__doc__) X(__file__) X(__loader__)        \
    X(__module__) X(__name__) X(__package__) X(__qualname__) X(__spec__)      \
    X(__set_name__) X(former) X(origin) X(name) X(loader)

// Strings with a fixed text of their own.
#define LACET_TEXTS(X)                                                        \
    X(msg_chain_rejected, "lacet: chain edge rejected")                       \
    X(msg_search_failed, "lacet: similarity search failed")                   \
    X(msg_semantic_rejected, "lacet: semantic edge rejected")                 \
    X(msg_batch_failed, "lacet: batched formation failed for %s")             \
    X(chain_description, "adjacent ingest order")                             \
    X(auto_discovered, "auto_discovered")                                     \
    X(auto_chain, "auto_chain")                                               \
    X(empty, "")                                                              \
    X(former_module_name, "vantor_lacet.former")                              \
    X(package_name, "vantor_lacet")                                           \
    X(edge_module_name, "vantor.core.edge")                                   \
    X(retriever_module_name, "vantor.agents.gossip_retriever")                \
    X(future_module_name, "__future__")                                       \
    X(dataclasses_module_name, "dataclasses")                                 \
    X(typing_module_name, "typing")                                           \
    X(type_float, "float") X(type_int, "int") X(type_bool, "bool")            \
    X(type_list_edges, "list[MemoryEdge]") X(type_list_str, "list[str]")
