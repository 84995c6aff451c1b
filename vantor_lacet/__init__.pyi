from vantor_lacet import former as former
from vantor_lacet.former import LacetConfig as LacetConfig
from vantor_lacet.former import LacetExtension as LacetExtension
from vantor_lacet.former import LacetIngestResult as LacetIngestResult
from vantor_lacet.protocols import Graph, SimilarityService

__all__ = ["LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]

def build_extension(
    service: SimilarityService, graph: Graph, config: LacetConfig | None = None
) -> LacetExtension: ...
