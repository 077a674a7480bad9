#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Reads a CSV file the way a spreadsheet import does and prints its rows as one JSON array.
import csv
import json
import sys

with open(sys.argv[1], encoding="utf-8-sig", newline="") as f:
    print(json.dumps(list(csv.reader(f, strict=True)), ensure_ascii=False))
