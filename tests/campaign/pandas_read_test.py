#!/usr/bin/env python3
"""The pandas route of docs/campaign-commands.md: a campaign database read with pandas.read_sql."""
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

try:
    import pandas
except ImportError:
    print("skipped: pandas is not installed (apt-get install python3-pandas)")
    sys.exit(77)

campaign, sim = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as tmp:
    data = Path(tmp) / "data"
    data.mkdir()
    # Chip 100000 was first tried at 12:00:00 with an aborted run of 3 events, then retested.
    runs = [("123510", "100000", 40, 1), ("123510", "100001", 40, 2), ("120000", "100000", 3, 3)]
    for time, chip, events, seed in runs:
        out = data / f"{time}_korvi{chip}_dessel00_link00_20mV_delay-all_adc.txt"
        subprocess.run([sim, "--output", str(out), "--events", str(events), "--seed", str(seed)],
                       check=True, stdout=subprocess.DEVNULL)
    # The aborted try is named as needing a retest, so the run's status is 1.
    run = subprocess.run([campaign, "run", "--settle", "0", "data"], cwd=tmp,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert run.returncode == 1 and "retest " in run.stderr, (run.returncode, run.stderr)
    # The page's query, as written there.
    with sqlite3.connect(Path(tmp) / "campaign.sqlite") as con:
        df = pandas.read_sql("SELECT * FROM current_channels", con)
    for column in ["chip", "config", "path", "channel", "rise_time", "amplitude", "noise",
                   "verdict"]:
        assert column in df.columns, list(df.columns)
    assert len(df) == 64, len(df)
    assert not df["path"].str.contains("/120000_").any(), df["path"].unique()
    per_chip = df.groupby("chip")["channel"].count().to_dict()
    assert per_chip == {"100000": 32, "100001": 32}, per_chip
    assert df["rise_time"].between(100, 200).all(), df["rise_time"].describe()
print("1 passed, 0 failed")
