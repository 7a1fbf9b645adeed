#!/usr/bin/python3
"""check_frames.py <schema.json> <folder>: every frame the service suites
recorded there (QUILLON_FRAME_LOG) against the standard's definitions."""
import glob
import json
import sys

import jsonschema


def deepest(error):  # the error deepest in the frame, in anyOf branches too
    found = [deepest(e) for e in error.context or []] + [error]
    return max(found, key=lambda e: len(e.absolute_path))


def main():
    validator = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))
    seen, bad = set(), 0
    for path in sorted(glob.glob(sys.argv[2] + "/*.jsonl")):
        for line in open(path):
            record = json.loads(line)
            text = json.dumps(record["frame"], sort_keys=True)
            if text in seen:
                continue
            seen.add(text)
            error = jsonschema.exceptions.best_match(validator.iter_errors(record["frame"]))
            if error:
                error = deepest(error)
                bad += 1
                where = "/".join(str(p) for p in error.absolute_path)
                print(f"{record['dir']}: {text[:400]}\n  at /{where}: {error.message[:300]}")
    print(f"{len(seen)} different frames, {bad} not as the standard defines them")
    return 1 if bad else 0  # no frames: no service suite ran (ctest -R)


if __name__ == "__main__":
    sys.exit(main())
