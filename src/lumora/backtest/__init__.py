"""Factor group backtests and target-weight strategy backtests."""
