#!/usr/bin/python3
"""What each test (or each test program) covers of src/ that no other does.

Run on a build made with --coverage (a build folder of its own):

  tools/coverage/alone.py --build build/coverage [--by program|test] [--list]

Each unit (a test program with all its tests, or one ctest test) runs alone
on zeroed counters; gcov then tells which lines and branches of src/ it
reached. A line or branch is the unit's own when no other unit reaches it.
Prints, per unit, how many lines and branches it covers and how many of them
alone (--list: which). Units that cover nothing alone are marked "-".
The pcscd test is left out (it needs the machine's pcscd).
"""
import argparse
import collections
import json
import os
import re
import subprocess
import sys


def tests(build):
    out = subprocess.run(['ctest', '--test-dir', build, '--show-only=json-v1', '-LE', 'pcscd'],
                         check=True, capture_output=True, text=True).stdout
    found = []
    for t in json.loads(out)['tests']:
        labels = [p['value'] for p in t.get('properties', []) if p['name'] == 'LABELS']
        if labels and 'pcscd' in labels[0]:
            continue
        program = os.path.basename(t['command'][0]) if t.get('command') else ''
        # A test run through a shell or cmake is a unit of its own.
        found.append((t['name'], t['name'] if program in ('', 'cmake', 'sh', 'bash') else program))
    return found


def gcda_files(build):
    for root, _, files in os.walk(build):
        for f in files:
            if f.endswith('.gcda'):
                yield os.path.join(root, f)


def covered(build, source, dirs=('src',)):
    """Lines and branches of src/ that the counters now on disk show reached,
    and every line gcov counts (reached or not)."""
    lines, branches, known = set(), set(), set()
    root = os.path.abspath(source) + os.sep
    tops = tuple(root + d + os.sep for d in dirs)
    objects = [os.path.abspath(g) for g in gcda_files(build)
               if any(os.sep + d + os.sep in g for d in dirs)]
    if not objects:
        return lines, branches, known
    out = subprocess.run(['gcov', '--json-format', '--stdout', '--branch-probabilities'] + objects,
                         cwd=build, capture_output=True, text=True).stdout
    for doc in out.splitlines():
        if not doc.startswith('{'):
            continue
        for f in json.loads(doc)['files']:
            name = os.path.abspath(os.path.join(build, f['file']))
            if not name.startswith(tops):
                continue
            # src/ lines by their path below src/, the others' with their folder.
            rel = name[len(root) + 4:] if dirs == ('src',) else name[len(root):]
            for ln in f['lines']:
                known.add((rel, ln['line_number']))
                if ln['count'] > 0:
                    lines.add((rel, ln['line_number']))
                for i, b in enumerate(ln.get('branches', [])):
                    if b['count'] > 0 and not b.get('throw'):
                        branches.add((rel, ln['line_number'], i))
    return lines, branches, known


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--build', required=True)
    ap.add_argument('--source', default=os.path.join(os.path.dirname(__file__), '..', '..'))
    ap.add_argument('--by', choices=['program', 'test'], default='program')
    ap.add_argument('--only', default='', help='regular expression: units to run (ctest -R)')
    ap.add_argument('--list', action='store_true', help='name the lines each unit covers alone')
    ap.add_argument('--json', help='write the sets to this file')
    ap.add_argument('--dirs', nargs='*', default=['src'],
                    help='folders whose code counts (default src; e.g. src vantrel tools)')
    args = ap.parse_args()

    units = collections.OrderedDict()
    for name, program in tests(args.build):
        units.setdefault(program if args.by == 'program' else name, []).append(name)
    seen = {}
    for unit, names in units.items():
        if args.only and not re.search(args.only, unit):
            continue
        for g in gcda_files(args.build):
            os.unlink(g)
        regex = '^(' + '|'.join(re.escape(n) for n in names) + ')$'
        subprocess.run(['ctest', '--test-dir', args.build, '-R', regex, '-j2', '--timeout', '300'],
                       capture_output=True)
        seen[unit] = covered(args.build, args.source, tuple(args.dirs))
        print(f'ran {unit}', file=sys.stderr)

    for unit, (lines, branches, _) in seen.items():
        other_l = set().union(*(v[0] for k, v in seen.items() if k != unit))
        other_b = set().union(*(v[1] for k, v in seen.items() if k != unit))
        own_l, own_b = sorted(lines - other_l), sorted(branches - other_b)
        mark = '-' if not own_l and not own_b else ' '
        print(f'{mark} {unit}: {len(lines)} lines, {len(branches)} branches; '
              f'alone {len(own_l)} lines, {len(own_b)} branches')
        if args.list:
            for f, ln in own_l:
                print(f'      line {f}:{ln}')
            for f, ln, i in own_b:
                print(f'      branch {f}:{ln}#{i}')
    if args.json:
        with open(args.json, 'w') as out:
            json.dump({u: [sorted(l), sorted(b), units[u], sorted(k)] for u, (l, b, k) in seen.items()},
                      out)


if __name__ == '__main__':
    main()
