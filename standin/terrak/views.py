"""View objects that annotate geometry."""

__all__ = ["Label"]


class Label:
    """A text shown at a point.

    Args:
        point: where the text stands (a ``terrak.geometry.Point``).
        text: the text.
        size_factor: relative text size.
        color: optional ``terrak.core.Color``.
    """

    def __init__(self, point, text, *, size_factor=1, color=None):
        if not isinstance(text, str):
            raise TypeError(f"Label text must be a str, not {type(text).__name__}")
        self.point = point
        self.text = text
        self.size_factor = size_factor
        self.color = color

    def __repr__(self):
        return f"Label({self.point!r}, {self.text!r})"
