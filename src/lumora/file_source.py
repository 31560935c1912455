"""The file source under its public name (it lives in ``lumora.sources.files``)."""

from lumora.sources import files as _files
from lumora.sources.files import *  # the public names, as listed there

__all__ = _files.__all__
