"""Loading the implementations that the differential tests compare.

LACET_DIFF_IMPLS names the pair, comma separated: "model" is the pure-Python
model under tests/lacet_model (each slot gets its own fresh copy of it, under
its own module name), "native" is the built package `vantor_lacet` with its
submodule `vantor_lacet.former`. Default: "model,model".
"""
from __future__ import annotations

import importlib
import importlib.util
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

MODEL_DIR = Path(__file__).resolve().parent.parent / "lacet_model"


@dataclass
class Impl:
    name: str
    package: ModuleType
    former: ModuleType


def load_model_copy(module_name: str) -> Impl:
    if module_name in sys.modules:
        package = sys.modules[module_name]
    else:
        spec = importlib.util.spec_from_file_location(
            module_name, MODEL_DIR / "__init__.py", submodule_search_locations=[str(MODEL_DIR)]
        )
        package = importlib.util.module_from_spec(spec)
        sys.modules[module_name] = package
        try:
            spec.loader.exec_module(package)
        except BaseException:
            sys.modules.pop(module_name, None)
            raise
    return Impl(module_name, package, sys.modules[module_name + ".former"])


def load_native() -> Impl:
    package = importlib.import_module("vantor_lacet")
    former = importlib.import_module("vantor_lacet.former")
    return Impl("vantor_lacet", package, former)


def load(kind: str, slot: str) -> Impl:
    kind = kind.strip()
    if kind == "model":
        return load_model_copy(f"_lacet_model_{slot}")
    if kind == "native":
        return load_native()
    raise ValueError(f"unknown implementation {kind!r} (expected 'model' or 'native')")


def selected_pair() -> tuple[Impl, Impl]:
    kinds = os.environ.get("LACET_DIFF_IMPLS", "model,model").split(",")
    if len(kinds) != 2:
        raise ValueError("LACET_DIFF_IMPLS must name two implementations, e.g. 'model,native'")
    return load(kinds[0], "x"), load(kinds[1], "y")


def load_model_mutant(name: str, old: str, new: str) -> Impl:
    """A copy of the model with one text edit applied to its former module."""
    module_name = f"_lacet_mutant_{name}"
    source = (MODEL_DIR / "former.py").read_text()
    if source.count(old) != 1:
        raise AssertionError(f"mutant {name}: {old!r} must occur exactly once in the model")
    former = ModuleType(module_name + ".former")
    former.__file__ = f"<{module_name}>"
    sys.modules[former.__name__] = former
    exec(compile(source.replace(old, new), former.__file__, "exec"), former.__dict__)
    package = ModuleType(module_name)
    package.former = former
    package.LacetExtension = former.LacetExtension

    def build_extension(service, graph, config=None):
        return package.LacetExtension(service=service, graph=graph, config=config)

    package.build_extension = build_extension
    return Impl(module_name, package, former)


def selected_kinds() -> list[str]:
    kinds = [k.strip() for k in os.environ.get("LACET_DIFF_IMPLS", "model,model").split(",")]
    return list(dict.fromkeys(kinds))
