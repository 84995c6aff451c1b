from .former import LacetConfig, LacetExtension, LacetIngestResult

__all__ = ["LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]


def build_extension(service, graph, config=None):
    return LacetExtension(service=service, graph=graph, config=config)
