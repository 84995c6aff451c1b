// Every string the package passes to the C API more than once, interned
// once per module instance and kept in the module state as `str_<name>`,
// and every keyword-name tuple of a call the package makes.
#pragma once

// Identifiers whose text is the identifier itself: st->str_<identifier>.
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
    /* names imported from the retriever module */                            \
    X(MAX_RESULTS_CEILING) X(SEED_COUNT_CEILING) X(RetrievalContext)          \
    /* names of a module or class namespace */                                \
    X(__all__) X(__annotations__) X(__doc__) X(__file__) X(__loader__)        \
    X(__module__) X(__name__) X(__package__) X(__qualname__) X(__spec__)      \
    X(__set_name__) X(__init__) X(former) X(origin) X(name) X(loader) X(config)           \
    X(build_extension)

// Strings with a fixed text of their own: st->str_<name>.
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

// Globals of vantor_lacet.former that the hooks look up at every use, each
// with a cache of its own: st->global_<name>.
#define LACET_CACHED_GLOBALS(X)                                               \
    X(share_edge_fields_set) X(MemoryEdge) X(RelationshipMetadata)            \
    X(RelationshipType) X(WeightMetadata) X(CHAIN_SUBTYPE)                    \
    X(SEMANTIC_SUBTYPE) X(LacetIngestResult) X(LacetConfig) X(logger)

// Places that read an attribute or look up a method, each with a cache of
// its own (st->at_<site>) for the attribute named second.
#define LACET_ATTRIBUTE_SITES(X)                                              \
    X(node_id, id) X(node_embedding, content_embedding) X(edge_id, id)        \
    X(edge_relationship, relationship) X(relationship_type, type)             \
    X(relationship_subtype, subtype) X(edge_weight, weight)                   \
    X(weight_current, current)                                                \
    X(self_service, _service) X(self_config, _config) X(self_last_id, _last_id) \
    X(self_candidate_ids, _candidate_ids) X(self_node_lookup, _node_lookup)   \
    X(graph_has_node, has_node) X(graph_add_edge, add_edge)                   \
    X(graph_get_edge_between, get_edge_between)                               \
    X(graph_get_edges_for_node, get_edges_for_node)                           \
    X(graph_remove_edge, remove_edge) X(service_find_similar, find_similar)   \
    X(type_SEMANTIC, SEMANTIC) X(type_TEMPORAL, TEMPORAL)                     \
    X(result_created, created) X(result_evicted_edge_ids, evicted_edge_ids)   \
    X(one_created, created) X(one_evicted_edge_ids, evicted_edge_ids)         \
    X(config_temporal_chain, temporal_chain)                                  \
    X(config_max_semantic_edges_per_node, max_semantic_edges_per_node)        \
    X(config_similarity_threshold, similarity_threshold)                      \
    X(config_seed_count, seed_count) X(config_max_iterations, max_iterations) \
    X(config_coverage_gossip_weight, coverage_gossip_weight)

// Tuples of names, one per call shape: st->kw_<name> (keyword names of a
// vectorcall) or st->fromlist_<name>. The names are interned: an item is the
// very object kept under str_<name> when the name is also listed above, but
// a keyword needs no entry there.
#define LACET_NAME_TUPLES(X)                                                  \
    X(kw_chain_relationship, "type", "subtype", "description")                \
    X(kw_semantic_relationship, "type", "subtype", "bidirectional")           \
    X(kw_weight, "current", "initial")                                        \
    X(kw_chain_edge, "source_node", "target_node", "relationship")            \
    X(kw_semantic_edge, "source_node", "target_node", "relationship", "weight") \
    X(kw_find_similar, "top_k", "threshold", "exclude_self", "candidate_ids", \
      "node_lookup")                                                          \
    X(kw_exc_info, "exc_info")                                                \
    X(kw_retrieval_context, "seed_count", "max_iterations", "max_results",    \
      "degree_normalization", "use_volume_termination",                       \
      "strengthen_on_retrieval", "coverage_harvest", "coverage_gossip_weight") \
    X(kw_build_extension, "service", "graph", "config")                       \
    X(kw_default_factory, "default_factory")                                  \
    X(fromlist_retriever, "MAX_RESULTS_CEILING", "SEED_COUNT_CEILING",        \
      "RetrievalContext")
