"""The user's own market data as an SDK data source: a folder of daily bars (parquet or
CSV) read into the same source factors the cloud service and the sandbox answer with, so
preparing, loading and both backtests run unchanged on real data.

Layout of ``root`` (file names fixed, column names mapped by ``columns`` or a vendor's
preset, ``lumora.sources.vendors``), each table one file or a folder of files:

* ``bars.parquet``, ``bars.csv`` or a folder ``bars/`` of ``*.parquet`` / ``*.csv`` files
  (for example one per year, or one per stock named by its code): one long table of daily
  bars with ``date``, ``code``, ``open``, ``close``, ``volume`` and optionally ``high``,
  ``low``, ``amount``, ``vwap``, ``buy_price``, ``sell_price``, ``pre_close``,
  ``adj_factor``, ``split``, ``dividend``, ``limit_up``, ``limit_down``,
  ``is_suspended``, ``is_trading``, ``is_st``, ``industry``;
* optional ``adj_factor.*``: ``date``, ``code``, ``adj_factor`` (a vendor's table of
  adjustment factors, joined to the bars' rows);
* optional ``st.*``: ``code`` with ``start_date`` / ``end_date`` of each span of special
  treatment, or with the ``date`` of each ST day;
* optional ``index_daily.*``: ``date``, ``index_code``, and ``close`` or ``daily_return``
  of the benchmark indices 000300, 000905 and 000852 (one file per index named by its code
  needs no code column);
* optional ``index_members.*``: ``date``, ``index_code``, ``code``: the members of the
  indices on each listed date (a date holds until the next date listed for that index).

What the market rules need and the files may leave out is derived (see ``derive_market``).

One module per step, each using only those before it:

* ``columns``: the names of the columns, which hold prices, flags and codes, units;
* ``checks``: the checks of the rows and of the calendar, with their messages
  (``FileSourceError``);
* ``reading``: files to columns (parquet through pyarrow, CSV through pandas, each checked
  by its first bytes first) and a column's values as dates, codes, numbers or flags;
* ``per_stock``: the tables of per-stock facts beside the bars (adjustment factors, ST
  spans);
* ``bars``: the bars table (one file's checked rows, every file's rows joined) and the grid
  of date x stock cells;
* ``derive``: the source factors derived from the bars (execution prices, limits,
  suspensions, splits and dividends);
* ``indices``: the benchmark series and the index memberships;
* ``source``: ``FileSource``, what it holds of the files, the record of what they held and
  how to update a store built from them.
"""

from lumora.sources.files.checks import FileSourceError
from lumora.sources.files.columns import OPTIONAL_BAR_COLUMNS, REQUIRED_BAR_COLUMNS
from lumora.sources.files.source import FileSource

__all__ = ["OPTIONAL_BAR_COLUMNS", "REQUIRED_BAR_COLUMNS", "FileSource", "FileSourceError"]
