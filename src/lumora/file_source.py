"""The file source under its public name (it lives in ``lumora.sources.files``)."""

from lumora.sources.files import (
    OPTIONAL_BAR_COLUMNS,
    REQUIRED_BAR_COLUMNS,
    FileSource,
    FileSourceError,
)

__all__ = ["OPTIONAL_BAR_COLUMNS", "REQUIRED_BAR_COLUMNS", "FileSource", "FileSourceError"]
