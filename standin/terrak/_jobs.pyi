"""Built-in handlers of the terrak job service: CPT parsing (GEF files
and the registry's BRO-XML files) and CPT classification."""

from collections.abc import Callable, Mapping
from typing import Any

HANDLERS: dict[str, Callable[[Mapping[str, Any]], dict[str, Any]]]

def parse_cpt_file(data: Mapping[str, Any]) -> dict[str, Any]:
    """Parses a CPT file, GEF text or BRO-XML (told apart by content)."""
def classify_cpt(data: Mapping[str, Any]) -> dict[str, Any]: ...
def payload_is_plain_json(value: Any) -> bool: ...
