"""The host's edge classes rebuilt as dataclasses with slots=True (--edge-slots):
what a host gains by declaring its own edge dataclasses that way.

The package builds every edge from the classes it finds in its module
vantor_lacet.former, so the rebuilt classes are put there for the run, and the
host's own put back afterwards."""
from __future__ import annotations

import dataclasses
from contextlib import contextmanager
from typing import Any, Iterator

EDGE_CLASSES = ("WeightMetadata", "RelationshipMetadata", "MemoryEdge")  # factories first


def with_slots(cls: type, replaced: dict[Any, Any]) -> type:
    """cls as a dataclass of the same fields, defaults and parameters, with slots=True;
    a default factory found in replaced is swapped for its replacement."""
    params = cls.__dataclass_params__  # type: ignore[attr-defined]
    namespace: dict[str, Any] = {"__annotations__": {}, "__module__": cls.__module__,
                                 "__qualname__": cls.__qualname__, "__doc__": cls.__doc__}
    for f in dataclasses.fields(cls):
        namespace["__annotations__"][f.name] = f.type
        namespace[f.name] = dataclasses.field(
            default=f.default, default_factory=replaced.get(f.default_factory, f.default_factory),
            init=f.init, repr=f.repr, hash=f.hash, compare=f.compare)
    return dataclasses.dataclass(type(cls.__name__, (), namespace), init=params.init,
                                 repr=params.repr, eq=params.eq, order=params.order,
                                 unsafe_hash=params.unsafe_hash, frozen=params.frozen,
                                 slots=True)


@contextmanager
def edge_classes_with_slots(module: Any) -> Iterator[dict[str, type]]:
    saved = {name: getattr(module, name) for name in EDGE_CLASSES}
    replaced: dict[Any, Any] = {}
    try:
        for name in EDGE_CLASSES:
            replaced[saved[name]] = with_slots(saved[name], replaced)
            setattr(module, name, replaced[saved[name]])
        yield {name: getattr(module, name) for name in EDGE_CLASSES}
    finally:
        for name, cls in saved.items():
            setattr(module, name, cls)
