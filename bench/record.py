#!/usr/bin/env python3
"""Writes one benchmark run's results file (JSON) from what its script gathered.

  record.py OUT.json [KEY=VALUE | --KIND NAME=FILE]...

KEY=VALUE go to "values" (as text). Every --KIND NAME=FILE adds series NAME, read from FILE:
  --restore  velmora_xwatch restore: one object per switch, restore_ms null when not restored
  --startup  velmora_xwatch startup lines: mapped_ms and rss_kb of each start
  --rows     whitespace-separated columns, numbers where they parse (watchers, /proc samples)
  --json     a JSON document as it is (velmora_bench)
  --text     the file's lines
A FILE that is missing gives null: the report says what it cannot show.
"""
import json
import re
import sys


def number(word):
    for kind in (int, float):
        try:
            return kind(word)
        except ValueError:
            pass
    return word


def restore(text):
    switches, timeout, unexpected = [], None, None
    for line in text.splitlines():
        if line.startswith("RESULT"):
            unexpected = int(re.search(r" unexpected=(\d+)", line).group(1))
            continue
        w = line.split()
        if not w or not w[0].isdigit():
            continue
        row = {"switch": int(w[0]), "foreign_mode": w[1], "launch_ms": float(w[2]), "restore_ms": None}
        m = re.search(r"timeout\(>(\d+) ms\)", line)
        if m:
            timeout = int(m.group(1))
        else:
            row["restore_ms"] = float(w[3])
        switches.append(row)
    return {"switches": switches, "timeout_ms": timeout, "unexpected": unexpected}


def startup(text):
    runs = []
    for line in text.splitlines():
        if line.startswith("RESULT"):
            kv = dict(p.split("=", 1) for p in line.split()[1:])
            runs.append({"mapped_ms": float(kv["mapped_ms"]), "rss_kb": int(kv["rss_kb"])})
    return runs


KINDS = {
    "--restore": restore,
    "--startup": startup,
    "--rows": lambda t: [[number(w) for w in line.split()] for line in t.splitlines() if line.strip()],
    "--json": json.loads,
    "--text": lambda t: t.splitlines(),
}


def main(argv):
    out, args = argv[1], argv[2:]
    doc = {"values": {}, "series": {}}
    i = 0
    while i < len(args):
        a = args[i]
        if a in KINDS:
            name, path = args[i + 1].split("=", 1)
            try:
                with open(path, encoding="utf-8") as f:
                    doc["series"][name] = KINDS[a](f.read())
            except FileNotFoundError:
                doc["series"][name] = None
            i += 2
        else:
            key, value = a.split("=", 1)
            doc["values"][key] = value
            i += 1
    with open(out, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv)
