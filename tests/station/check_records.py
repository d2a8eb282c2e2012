#!/usr/bin/env python3
"""Checks unit records (one JSON object a line) against the unit-record schema.

    check_records.py SCHEMA RECORDS.jsonl

Prints "N records match" and exits 0, or names each record that does not match and exits 1.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    bad = 0
    count = 0
    with open(sys.argv[2], encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            count += 1
            for error in validator.iter_errors(json.loads(line)):
                bad += 1
                print(f"line {number}: {error.json_path}: {error.message}")
    if bad:
        return 1
    print(f"{count} records match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
