"""The sandbox market under its public name (it lives in ``lumora.sources.sandbox``)."""

from lumora.sources.sandbox import export as _export
from lumora.sources.sandbox import market as _market
from lumora.sources.sandbox.export import *  # the public names, as listed there
from lumora.sources.sandbox.market import *  # the public names, as listed there

__all__ = _market.__all__ + _export.__all__
