"""What an all-zero embedding costs a fed reference service: it is held like
any vector (so it never sets off the read of missing candidates), scores 0.0,
and only a zero query without a positive threshold walks the candidates."""
import numpy as np
import pytest

from test_ann_similarity import Probe, clustered_nodes, fed_graph, ids, search

from vantor.core.ann_similarity import ApproximateSimilarityService
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService


@pytest.mark.parametrize("kind", [SimilarityService, ApproximateSimilarityService])
def test_a_zero_vector_is_held_and_costs_no_walk(kind):
    lookup = {k: MemoryNode(id=k, content_embedding=n.content_embedding)
              for k, n in clustered_nodes(1000).items()}
    lookup["zero"] = MemoryNode(id="zero", content_embedding=np.zeros(32, dtype=np.float32))
    service = kind()
    fed_graph(service, lookup)
    assert len(service) == len(lookup)  # as many held as there are candidates
    for threshold in (0.2, None):
        # Probe raises if the set or dict is walked
        got = search(service, lookup["n00042"], Probe(set(lookup)), Probe(lookup), top_k=8, threshold=threshold)
        assert len(got) == 8 and "zero" not in ids(got)
    assert search(service, lookup["zero"], Probe(set(lookup)), Probe(lookup), threshold=0.2) == []
    with_all = search(service, lookup["zero"], set(lookup), lookup, top_k=None, threshold=None)
    assert len(with_all) == 1000 and {s for _, s in with_all} == {0.0}
