"""terrak: geotechnical modelling with native C++ kernels.

The host package (``terrak.core``, ``terrak.errors``, ``terrak.geometry``, ``terrak.views``,
``terrak.external``) and the native modules ``terrak.geo``, ``terrak.external.slipcircle`` and
``terrak.external._strux``.
"""

__version__ = "0.1.0"
