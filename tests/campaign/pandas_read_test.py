#!/usr/bin/env python3
"""The pandas route of the README: a campaign database read with pandas.read_sql."""
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

import pandas

campaign, sim = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as tmp:
    data = Path(tmp) / "data"
    data.mkdir()
    for i, chip in enumerate(["100000", "100001"]):
        out = data / f"123510_korvi{chip}_dessel00_link00_20mV_delay-all_adc.txt"
        subprocess.run([sim, "--output", str(out), "--events", "40", "--seed", str(i + 1)],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run([campaign, "run", "--settle", "0", "data"], cwd=tmp, check=True, stdout=subprocess.DEVNULL)
    with sqlite3.connect(Path(tmp) / "campaign.sqlite") as con:
        df = pandas.read_sql(
            "SELECT r.chip, r.config, c.channel, c.rise_time, c.amplitude, c.verdict "
            "FROM channels c JOIN recordings r ON r.id = c.recording_id WHERE r.status = 0", con)
    assert list(df.columns) == ["chip", "config", "channel", "rise_time", "amplitude", "verdict"]
    assert len(df) == 64, len(df)
    per_chip = df.groupby("chip")["channel"].count().to_dict()
    assert per_chip == {"100000": 32, "100001": 32}, per_chip
    assert df["rise_time"].between(100, 200).all(), df["rise_time"].describe()
print("1 passed, 0 failed")
