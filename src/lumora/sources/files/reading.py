"""Files to columns: which files a table is, one entry (:func:`read_columns`) that reads a
file by its kind (parquet through pyarrow, CSV through pandas), and a column's values as
dates, codes, numbers or flags, each distinct value parsed once.

A column comes as the file gives it: a pandas Series for CSV, an arrow array for parquet, so
that millions of codes and dates are never turned into Python objects (only their distinct
values are).
"""

from __future__ import annotations

import codecs
import os
import stat
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias, TypeVar, cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from lumora._labels import BEIJING_MARKS, INDEX_MARKS, market_date, parse_stock_code
from lumora.sources.files.checks import FileSourceError
from lumora.sources.files.columns import SUFFIXES, code_column_names

__all__ = [
    "MISSING_MARKERS",
    "Column",
    "StockCodes",
    "code_and_board",
    "date_number",
    "date_numbers",
    "files_of",
    "flag_column",
    "index_number",
    "index_numbers",
    "numeric_column",
    "parse_column",
    "read_columns",
    "read_file",
    "short_csv_line",
    "stock_codes",
]

Column: TypeAlias = "pd.Series[Any] | pa.ChunkedArray[Any]"
_Parsed = TypeVar("_Parsed")
# A CSV file is scanned for short lines this many bytes at a time.
_CSV_SCAN_BLOCK = 1 << 24
# A CSV file's first bytes looked at before it is parsed: its kind and its encoding.
_CSV_SNIFF_BYTES = 1 << 16
# A table's header line ends within this many bytes, or the file is no CSV table.
_CSV_HEADER_BYTES = 1 << 20
# The text vendors and spreadsheets write for a missing value, read as missing in every
# file (pandas reads most of them so in CSV; parquet keeps them as text).
MISSING_MARKERS = frozenset(
    {"", "-", "--", "nan", "NaN", "NAN", "None", "none", "null", "NULL", "N/A", "n/a", "NA",
     "#N/A", "<NA>", "NaT"}
)  # fmt: skip
# The encodings CSV files are read in: UTF-8 (with or without its byte-order mark), else
# the Chinese national encoding, of which GBK is a subset (spreadsheets on Chinese systems
# save CSV in GBK).
_CSV_ENCODINGS = ("utf-8", "gb18030")


# --------------------------------------------------------------------------- files


def files_of(root: Path, table: str) -> list[Path]:
    """The files of one table of the folder: ``<table>.parquet`` / ``.csv`` or every such
    file of the folder ``<table>/`` (sorted by name); none when the table is absent."""
    folder = root / table
    if folder.is_dir():
        found = sorted(p for p in folder.iterdir() if p.suffix.lower() in SUFFIXES)
        if not found:
            raise FileSourceError(f"{folder}: no .parquet or .csv files in the folder")
    else:
        found = [
            root / (table + suffix)
            for suffix in SUFFIXES
            if os.path.lexists(root / (table + suffix))
        ]
    for path in found:
        _require_regular_file(path)
    return found


def _require_regular_file(path: Path) -> None:
    """A FIFO would hang the reader and a device would feed it without end: only regular
    files (a symlink by what it points to) are read."""
    try:
        found = path.stat()  # follows symlinks
    except OSError as exc:
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc
    if not stat.S_ISREG(found.st_mode):
        kind = (
            "a folder" if stat.S_ISDIR(found.st_mode) else "not a regular file (a pipe or a device)"
        )
        raise FileSourceError(f"{path}: {kind}; only regular files are read")
    if found.st_size == 0:
        raise FileSourceError(f"{path}: the file is empty")


# --------------------------------------------------------------------------- engines


def read_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None = None
) -> Mapping[str, Column]:
    """The columns of one file by our names (``columns`` maps the file's names to ours);
    of a parquet file only those ``wanted`` (None: all). A file that is not a table of its
    kind is refused from its first and last bytes, before anything is read whole."""
    parquet = path.suffix.lower() == ".parquet"
    try:
        if parquet:
            _require_parquet(path)
            return _parquet_columns(path, columns, wanted)
        return _csv_columns(path, columns, wanted, _csv_encoding(path))
    except (OSError, ValueError) as exc:  # pyarrow's and pandas' errors derive from these
        if isinstance(exc, FileSourceError):
            raise
        raise FileSourceError(f"{path}: cannot read the file: {exc}") from exc


def _require_parquet(path: Path) -> None:
    """A parquet file begins and ends with the mark "PAR1", and the footer before the last
    mark fits in the file; an unfinished download or another kind of file does not."""
    size = path.stat().st_size
    with open(path, "rb") as fh:
        head = fh.read(4)
        fh.seek(max(size - 8, 0))
        tail = fh.read(8)
    footer = int.from_bytes(tail[:4], "little") if len(tail) == 8 else -1
    if head != b"PAR1" or tail[4:] != b"PAR1" or not 0 < footer <= size - 12:
        raise FileSourceError(
            f"{path}: cannot read the file: not a parquet file (it does not begin and end "
            "with the parquet mark "
            f"PAR1 around a footer; {size:,} bytes): an unfinished download or a file of "
            "another kind?"
        )


def _csv_encoding(path: Path) -> str:
    """The encoding of a CSV file by its first bytes (see ``_CSV_ENCODINGS``); a file of
    another kind (binary, UTF-16, no line break where a header ends) is refused."""
    with open(path, "rb") as fh:
        head = fh.read(_CSV_HEADER_BYTES)
    if head[:2] in (b"\xff\xfe", b"\xfe\xff"):
        raise FileSourceError(
            f"{path}: the file is UTF-16 text; save it as UTF-8 (or convert it: "
            f"iconv -f UTF-16 -t UTF-8 {path.name} > utf8_{path.name})"
        )
    if b"\0" in head[:_CSV_SNIFF_BYTES]:
        raise FileSourceError(
            f"{path}: not a CSV table (NUL bytes in its first bytes): an unfinished download "
            "or a file of another kind?"
        )
    if b"\n" not in head and b"\r" not in head and path.stat().st_size > len(head):
        raise FileSourceError(
            f"{path}: not a CSV table (no line break in its first {_CSV_HEADER_BYTES:,} bytes)"
        )
    sample = head[:_CSV_SNIFF_BYTES]
    for encoding in _CSV_ENCODINGS:
        try:
            # A character cut at the end of the sample is not an error (final=False).
            codecs.getincrementaldecoder(encoding)().decode(sample, final=False)
        except UnicodeDecodeError:
            continue
        return encoding
    raise _undecodable(path)


def _undecodable(path: Path) -> FileSourceError:
    return FileSourceError(
        f"{path}: the file is neither UTF-8 nor GBK / GB18030 text; save it as UTF-8 (or "
        f"convert it, e.g. iconv -f BIG5 -t UTF-8 {path.name} > utf8_{path.name}, naming "
        "its encoding)"
    )


def _mapped(path: Path, names: list[str], columns: Mapping[str, str]) -> dict[str, str]:
    """Our name of each of a file's column names; two columns that give one name (``vol``
    mapped to "volume" beside a ``volume`` column) are refused naming both."""
    ours: dict[str, str] = {}
    for name in names:
        mapped = columns.get(name, name)
        if mapped in ours:
            raise FileSourceError(
                f"{path}: columns {ours[mapped]!r} and {name!r} both give {mapped!r}; drop one "
                f"of them or map one elsewhere with columns={{{name!r}: ...}}"
            )
        ours[mapped] = name
    return {name: mapped for mapped, name in ours.items()}


def _parquet_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None
) -> Mapping[str, Column]:
    schema = pq.read_schema(path)
    mapped = _mapped(path, schema.names, columns)
    names = [name for name, ours in mapped.items() if wanted is None or ours in wanted]
    # Codes as the file stores them, a dictionary of distinct texts and a number per row:
    # each distinct code is parsed once, and millions of texts are never made.
    coded = [
        name
        for name in names
        if mapped[name] in ("code", "index_code") and _is_text(schema.field(name).type)
    ]
    table = pq.read_table(path, columns=names, read_dictionary=coded)
    return {mapped[name]: table.column(name) for name in names}


def _is_text(kind: pa.DataType) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def _csv_columns(
    path: Path, columns: Mapping[str, str], wanted: frozenset[str] | None, encoding: str
) -> Mapping[str, Column]:
    """Every column (a CSV file is read whole, ``wanted`` or not). pandas' C reader beat
    pyarrow's on 12 million rows (bench_file_source.py). Text the first bytes did not show
    to be GBK is read as UTF-8, and again as GB18030 when a later line is not UTF-8."""
    del wanted
    codes = {name: str for name in code_column_names(columns)}
    try:
        frame = pd.read_csv(path, dtype=codes, encoding=encoding)
    except UnicodeDecodeError:
        if encoding != _CSV_ENCODINGS[0]:
            raise _undecodable(path) from None
        try:
            frame = pd.read_csv(path, dtype=codes, encoding=_CSV_ENCODINGS[1])
        except UnicodeDecodeError:
            raise _undecodable(path) from None
    mapped = _mapped(path, [str(name) for name in frame.columns], columns)
    renamed = frame.rename(columns=mapped)
    # A DataFrame answers ``in`` and ``[]`` by column name like the mapping of a parquet file.
    return cast("Mapping[str, Column]", renamed)


def read_file(path: Path, columns: Mapping[str, str]) -> pd.DataFrame:
    """A small file (indices, memberships) as a DataFrame with our column names."""
    if path.suffix.lower() == ".parquet":
        table = read_columns(path, columns)
        return pd.DataFrame({name: column.to_pandas() for name, column in table.items()})
    return read_columns(path, columns)  # type: ignore[return-value]


def short_csv_line(path: Path) -> int | None:
    """The first line (1 = the header) of a CSV file with fewer fields than its header, or
    None; files with quoted fields are left to the parser. Blank lines are skipped."""
    header = None  # separators in the header line
    done = 0  # lines ended so far
    carry = tail = 0  # separators and bytes of the line still open
    with open(path, "rb") as fh:
        while block := fh.read(_CSV_SCAN_BLOCK):
            data = np.frombuffer(block, dtype=np.uint8)
            if (data == ord('"')).any():
                return None
            breaks = np.flatnonzero(data == ord("\n"))
            commas = np.flatnonzero(data == ord(","))
            if breaks.size:
                before = np.searchsorted(commas, breaks)
                per_line = np.diff(before, prepend=0)
                per_line[0] += carry
                lengths = np.diff(breaks, prepend=-1)
                lengths[0] += tail
                if header is None:
                    header = int(per_line[0])
                short = np.flatnonzero((per_line < header) & (lengths > 2))
                if short.size:
                    return done + int(short[0]) + 1
                done += breaks.size
                carry, tail = commas.size - int(before[-1]), data.size - 1 - int(breaks[-1])
            else:
                carry, tail = carry + commas.size, tail + data.size
    if header is not None and tail > 1 and carry < header:  # a last line without a line feed
        return done + 1
    return None


# --------------------------------------------------------------------------- values


def _factorized(column: Column) -> tuple[np.ndarray, list[object]]:
    """Each row's position among the column's distinct values, and those values (missing
    values included as None or NaN)."""
    if isinstance(column, pd.Series):
        codes, distinct = pd.factorize(column, use_na_sentinel=False)
        return codes, list(distinct)
    if pa.types.is_dictionary(column.type) and column.num_chunks:
        unified = column.unify_dictionaries()
        chunks = [cast("pa.DictionaryArray[Any, Any]", c) for c in unified.chunks]
        uniques: list[object] = chunks[0].dictionary.to_pylist()
        missing = pa.scalar(len(uniques), type=chunks[0].indices.type)
        positions = [c.indices.fill_null(missing).to_numpy() for c in chunks]
        if any(c.null_count for c in chunks):
            uniques.append(None)
        # In the dictionary's own index type (32 bits): positions are only gathered by.
        return np.concatenate(positions), uniques
    array = column.combine_chunks()
    if pa.types.is_dictionary(array.type):
        array = cast("pa.DictionaryArray[Any, Any]", array).dictionary_decode()
    encoded = array.dictionary_encode(null_encoding="encode")
    return encoded.indices.to_numpy(zero_copy_only=False), encoded.dictionary.to_pylist()


def parse_column(
    column: Column,
    name: str,
    path: Path,
    parse: Callable[[object], _Parsed | None],
    what: str,
) -> tuple[np.ndarray, list[_Parsed]]:
    """``parse`` of each distinct value of the column and each row's position among them;
    a value it cannot read (None) names its first row."""
    codes, uniques = _factorized(column)
    parsed: list[_Parsed] = []
    for pos, value in enumerate(uniques):
        result = parse(value)
        if result is None:
            row = int(np.flatnonzero(codes == pos)[0])
            raise FileSourceError(
                f"{path}: row {row + 1}: cannot read {what} from {value!r} (column {name!r})"
            )
        parsed.append(result)
    return codes, parsed


def date_number(value: object) -> int | None:
    """A date as a YYYYMMDD number on the market's calendar; None when it is no date."""
    try:
        text = market_date(value)
    except ValueError:
        return None
    return None if text is None else int(text)


def date_numbers(column: Column, name: str, path: Path) -> np.ndarray:
    """YYYYMMDD integers of a date column; an unparsable value names its row."""
    codes, parsed = parse_column(column, name, path, date_number, "a date")
    dates: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return dates


@dataclass(frozen=True)
class StockCodes:
    number: np.ndarray  # int32 six-digit code numbers per row
    beijing: np.ndarray  # bool per row: quoted on the Beijing exchange


def stock_codes(column: Column, name: str, path: Path) -> StockCodes:
    """The code number of each row from "000001.SZ", "000001.XSHE", "sz000001" or 1."""
    codes, parsed = parse_column(column, name, path, code_and_board, "a stock code")
    numbers = np.array([number for number, _ in parsed], dtype=np.int32)
    beijing = np.array([on_beijing for _, on_beijing in parsed], dtype=bool)
    return StockCodes(numbers[codes], beijing[codes])


def code_and_board(value: object) -> tuple[int, bool] | None:
    """A stock code's number and whether it is quoted on the Beijing exchange (by its mark
    or its number); None when it is no stock code."""
    parsed = parse_stock_code(value)
    if parsed is None:
        return None
    number, mark = parsed
    return number, mark in BEIJING_MARKS or _beijing_number(number)


def _beijing_number(number: int) -> bool:
    head = number // 100_000
    return head in (4, 8) or number // 10_000 == 92


def index_number(value: object) -> int | None:
    """An index code's six-digit number ("000300", "000300.SH", "sh000300"); None when it
    is no index code."""
    parsed = parse_stock_code(value, INDEX_MARKS)
    return None if parsed is None else parsed[0]


def index_numbers(column: Column, path: Path) -> np.ndarray:
    """The six-digit number of each row's index code ("000300", "000300.SH", "000300.CSI")."""
    codes, parsed = parse_column(column, "index_code", path, index_number, "an index code")
    numbers: np.ndarray = np.array(parsed, dtype=np.int32)[codes]
    return numbers


def _without_markers(column: Column) -> Column:
    """A text column with the markers of a missing value (``MISSING_MARKERS``, around
    spaces) as missing values; other columns as they are."""
    if isinstance(column, pd.Series):
        if column.dtype.kind in "biufcmM":
            return column
        text = column.astype("string").str.strip()
        return column.where(~text.isin(MISSING_MARKERS), None)
    if not _is_text(column.type):
        return column
    trimmed = pc.utf8_trim_whitespace(column)
    marked = pc.is_in(trimmed, value_set=pa.array(sorted(MISSING_MARKERS)))
    cleared: pa.ChunkedArray[Any] = pc.if_else(marked, pa.scalar(None, type=trimmed.type), trimmed)
    return cleared


def numeric_column(
    column: Column, name: str, path: Path, out: np.ndarray | None = None
) -> np.ndarray:
    """A column as float64, missing values (and the text of ``MISSING_MARKERS``) NaN;
    of a parquet file written into ``out`` when given (as many float64 values as rows)."""
    column = _without_markers(column)
    try:
        if isinstance(column, pd.Series):
            return pd.to_numeric(column).to_numpy(dtype=np.float64, na_value=np.nan)
        floats = pc.cast(column, pa.float64())
        if floats.null_count:
            floats = floats.fill_null(pa.scalar(np.nan, type=pa.float64()))
        return _numpy_owned(floats, out)
    except (ValueError, TypeError, pa.ArrowException) as exc:
        raise FileSourceError(
            f"{path}: column {name!r} is not numeric: {_first_bad(column)}"
        ) from exc


def _numpy_owned(values: pa.ChunkedArray[Any], out: np.ndarray | None = None) -> np.ndarray:
    """The chunks of a float64 column joined into one array of numpy's own memory (``out``
    when it has the column's length). A column is held until the files' rows are joined,
    and memory held that long costs less from numpy, which asks the kernel for huge pages,
    than from arrow's allocator (arrow's own ``to_numpy`` of a chunked column cost six
    times the system time at 5,000 x 2,500); the chunks are read in place, and arrow's
    memory goes back to its pool for the next file."""
    if out is None or out.shape != (len(values),) or out.dtype != np.float64:
        out = np.empty(len(values), dtype=np.float64)
    at = 0
    for chunk in values.chunks:
        out[at : at + len(chunk)] = chunk.to_numpy(zero_copy_only=False)
        at += len(chunk)
    return out


def _first_bad(column: Column) -> str:
    """The first value of a column that is not a number, and its row."""
    values = column.to_numpy() if isinstance(column, pd.Series) else column.to_numpy(False)
    for row, value in enumerate(values.tolist()):
        if value is None or isinstance(value, (int, float)):
            continue
        try:
            float(value)
        except (TypeError, ValueError):
            return f"row {row + 1} holds {value!r}"
    return "a value is not a number"


def flag_column(column: Column, name: str, path: Path) -> np.ndarray:
    """A column of flags as bool: a missing or zero value, or the text "false", is False."""
    if isinstance(column, pa.ChunkedArray) and pa.types.is_boolean(column.type):
        filled: np.ndarray = column.fill_null(pa.scalar(False)).to_numpy()
        return filled
    if isinstance(column, pd.Series) and column.dtype == bool:
        flags: np.ndarray = column.to_numpy()
        return flags
    column = _without_markers(column)
    if isinstance(column, pd.Series) and column.dtype.kind not in "biufc":
        column = column.astype("string").str.lower().replace({"true": "1", "false": "0"})
    elif isinstance(column, pa.ChunkedArray) and _is_text(column.type):
        words = pc.utf8_lower(column)
        true, false = pa.scalar("true"), pa.scalar("false")
        column = pc.if_else(
            pc.equal(words, true), "1", pc.if_else(pc.equal(words, false), "0", column)
        )
    nonzero: np.ndarray = np.nan_to_num(numeric_column(column, name, path), nan=0.0) != 0
    return nonzero
