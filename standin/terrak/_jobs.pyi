"""Built-in handlers of the terrak job service: GEF CPT parsing and CPT classification."""

from collections.abc import Callable, Mapping
from typing import Any

HANDLERS: dict[str, Callable[[Mapping[str, Any]], dict[str, Any]]]

def parse_cpt_file(data: Mapping[str, Any]) -> dict[str, Any]: ...
def classify_cpt(data: Mapping[str, Any]) -> dict[str, Any]: ...
def payload_is_plain_json(value: Any) -> bool: ...
