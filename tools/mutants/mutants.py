#!/usr/bin/python3
"""Mutation testing of src/: does some test fail when the code is wrong?

One small textual change (a mutant) at a time goes into a file under src/;
the test programs that reach the changed line (from the per-test coverage
that tools/coverage/alone.py writes) are rebuilt and run; the file is put
back. A mutant is killed when a test fails or runs out of time, survives
when all pass or none reaches its line, and is stillborn (not counted) when
it does not compile. README.md beside this file says how to run it.
"""
import argparse
import collections
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))

# Faults that once went unseen; each is looked for by its text, wherever it
# now stands in the file.
FIXED = [
    ('dle-lone-dle', 'src/readers/family_a/dle_codec.cpp', 'if (i + 1 >= end ||', 'if (i + 1 > end ||'),
    ('a-reply-fills-buffer', 'src/readers/family_a/serial_reader_a.cpp',
     'kReplyHeaderA > uiReplySize', 'kReplyHeaderA >= uiReplySize'),
    ('b-late-rest-judged', 'src/readers/family_b/serial_reader_b.cpp',
     'if (got == 0 || m_pComm->bFrameLate())', 'if (got == 0)'),
    ('lock-wait-overshoots', 'src/platform/named_lock.cpp',
     'return left < kPollMs ? static_cast<uint32_t>(left) : kPollMs;', 'return (void)left, kPollMs;'),
]

SWAPS = [(' >= ', ' > '), (' > ', ' >= '), (' <= ', ' < '), (' < ', ' <= '),
         (' == ', ' != '), (' != ', ' == '), (' && ', ' || '), (' || ', ' && ')]


class Mutant:
    def __init__(self, path, line, old, new, what):
        self.path, self.line, self.old, self.new, self.what = path, line, old, new, what

    def key(self):
        return f'{self.path}:{self.line}: {self.what}'


def code_part(text):
    """The line with string and character literals and // comments blanked."""
    out, quote, i = [], None, 0
    while i < len(text):
        c = text[i]
        if quote:
            if c == '\\':
                out.append('  ')
                i += 2
                continue
            out.append(' ' if c != quote else c)
            if c == quote:
                quote = None
        elif c in '"\'':
            quote = c
            out.append(c)
        elif text.startswith('//', i):
            break
        else:
            out.append(c)
        i += 1
    return ''.join(out).ljust(len(text))


def operand_end(code, start):
    """Where the operand that begins at `start` ends: a closing bracket, a
    logical operator or a semicolon at its own depth."""
    depth, i = 0, start
    while i < len(code):
        c = code[i]
        if c in '([':
            depth += 1
        elif c in ')]':
            if depth == 0:
                return i
            depth -= 1
        elif depth == 0 and (code.startswith(' || ', i) or code.startswith(' && ', i) or c in ';?'):
            return i
        i += 1
    return i


def mutants_of(path):
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split('\n')
    found, in_comment = [], False
    for n, text in enumerate(lines, 1):
        stripped = text.strip()
        if in_comment or stripped.startswith('/*'):
            in_comment = '*/' not in stripped
            continue
        if not stripped or stripped.startswith(('#', '//', 'static_assert')):
            continue
        code = code_part(text)
        for old, new in SWAPS:
            for m in re.finditer(re.escape(old), code):
                found.append(Mutant(path, n, (m.start(), old), new, f'{old.strip()} -> {new.strip()}'))
        for m in re.finditer(r' (\|\||&&) ', code):
            end = operand_end(code, m.end())
            found.append(Mutant(path, n, (m.start(), text[m.start():end]), '',
                                f'drop "{text[m.start():end].strip()}"'))
        for m in re.finditer(r'(?<![\w.])(\d+)(?![\w.])', code):
            if code[max(0, m.start() - 1)] in '[' and code[m.end():m.end() + 1] == ']':
                continue  # an array's size: a change only fails to compile or moves nothing
            v = int(m.group(1))
            for d in (1, -1):
                if v + d >= 0:
                    found.append(Mutant(path, n, (m.start(), m.group(1)), str(v + d), f'{v} -> {v + d}'))
        if re.match(r'\s*if \(.*\)\s*$', text) and n < len(lines) and \
                re.match(r'\s*return\b', lines[n]):
            found.append(Mutant(path, n, (0, text), re.sub(r'if \(.*\)', 'if (false)', text),
                                'return guard never taken'))
    return found


def fixed_mutants():
    found = []
    for name, path, old, new in FIXED:
        full = os.path.join(ROOT, path)
        text = open(full).read() if os.path.exists(full) else ''
        at = text.find(old)
        line = text.count('\n', 0, at) + 1 if at >= 0 else 0
        found.append(Mutant(path, line, (None, old), new, f'fixed {name}'))
    return found


def apply(m, text):
    if m.old[0] is None:
        return text.replace(m.old[1], m.new, 1)
    lines = text.split('\n')
    at, old = m.old
    line = lines[m.line - 1]
    lines[m.line - 1] = line[:at] + m.new + line[at + len(old):]
    return '\n'.join(lines)


def sample(all_mutants, count, seed):
    by_file = collections.OrderedDict()
    rng = random.Random(seed)
    for m in all_mutants:
        by_file.setdefault(m.path, []).append(m)
    for ms in by_file.values():
        rng.shuffle(ms)
    picked = []
    while len(picked) < count and any(by_file.values()):
        for ms in by_file.values():
            if ms and len(picked) < count:
                picked.append(ms.pop())
    return sorted(picked, key=lambda m: (m.path, m.line, m.what))


def units_for(m, coverage, tests):
    """The units that reach the mutant's line, those that run it most first.
    A line gcov does not count (a constant's definition) is reached through
    its file: the three units that run most of the file."""
    rel = m.path[len('src/'):]
    in_file = {u: sum(1 for f, _ in v[0] if f == rel) for u, v in coverage.items()}
    reach = [u for u, v in coverage.items() if (rel, m.line) in v[0]]
    if not reach and not any((rel, m.line) in v[3] for v in coverage.values()):
        reach = sorted((u for u in in_file if in_file[u]), key=lambda u: -in_file[u])[:3]
    return sorted((u for u in reach if u in tests), key=lambda u: (-in_file[u], u))


def targets_for(names, commands, build):
    """The build targets the tests run: the programs they start from the
    build's bin/ folder (directly, or through a shell), and the library."""
    found = {'quillon'}
    bin_dir = re.escape(os.path.join(os.path.abspath(build), 'bin') + os.sep)
    for n in names:
        for word in commands[n]:
            for t in re.findall(bin_dir + r'([\w-]+)', word) + re.findall(r'\./bin/([\w-]+)', word):
                if not t.startswith('lib'):
                    found.add(t)
    return sorted(found)


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return 'timeout'


def main():
    global ROOT
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--source', default=ROOT, help='source tree whose src/ is mutated (default: this one)')
    ap.add_argument('--build', required=True, help='build folder of that tree')
    ap.add_argument('--coverage', required=True, help='JSON of tools/coverage/alone.py --by program')
    ap.add_argument('--files', nargs='*', help='files under src/ (default: every .cpp built here)')
    ap.add_argument('--max', type=int, default=150, help='mutants besides the fixed ones')
    ap.add_argument('--seed', type=int, default=25)
    ap.add_argument('--timeout', type=int, default=180, help='seconds a test program may take')
    ap.add_argument('--list', action='store_true', help='only list the mutants')
    ap.add_argument('--no-fixed', action='store_true', help='leave the fixed mutants out')
    ap.add_argument('--out', help='write the outcome of each mutant to this JSON file')
    args = ap.parse_args()
    ROOT = os.path.abspath(args.source)

    files = args.files or sorted(
        os.path.relpath(os.path.join(d, f), ROOT)
        for d, _, fs in os.walk(os.path.join(ROOT, 'src')) for f in fs
        if f.endswith('.cpp') and '_win32' not in f)
    chosen = ([] if args.no_fixed else fixed_mutants()) + sample([m for f in files for m in mutants_of(f)], args.max, args.seed)
    if args.list:
        for m in chosen:
            print(m.key())
        return

    with open(args.coverage) as f:
        coverage = {u: (set(map(tuple, v[0])), v[1], v[2], set(map(tuple, v[3] if len(v) > 3 else [])))
                    for u, v in json.load(f).items()}
    shown = json.loads(subprocess.run(['ctest', '--test-dir', args.build, '--show-only=json-v1'],
                                      check=True, capture_output=True, text=True).stdout)
    commands = {t['name']: t.get('command', []) for t in shown['tests']}
    names = {u: v[2] for u, v in coverage.items()}
    tests = {u for u, ns in names.items() if all(n in commands for n in ns) and u != 'install_and_sample'}

    backups = {}
    saved = tempfile.mkdtemp(prefix='mutants-')

    def restore(*_):
        # The original comes back with a new time stamp, so that the build
        # compiles it again rather than keep the mutant's object.
        for path, copy in backups.items():
            shutil.copyfile(copy, os.path.join(ROOT, path))
            os.utime(os.path.join(ROOT, path))
        backups.clear()
        if _:
            sys.exit(1)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, restore)

    results = []
    try:
        for i, m in enumerate(chosen, 1):
            full = os.path.join(ROOT, m.path)
            original = open(full).read()
            mutated = apply(m, original)
            outcome, by = 'survived', ''
            units = units_for(m, coverage, tests)
            if mutated == original or m.line == 0:
                outcome = 'not applicable'
            elif not units:
                outcome = 'survived'
                by = 'no test reaches the line'
            else:
                copy = os.path.join(saved, m.path.replace('/', '_'))
                shutil.copy2(full, copy)
                backups[m.path] = copy
                started = time.time()
                with open(full, 'w') as f:
                    f.write(mutated)
                for u in units:
                    regex = '^(' + '|'.join(re.escape(n) for n in names[u]) + ')$'
                    built = run(['cmake', '--build', args.build, '--target'] +
                                targets_for(names[u], commands, args.build), 900)
                    if built != 0:
                        outcome, by = 'stillborn', 'does not compile'
                        break
                    rc = run(['ctest', '--test-dir', args.build, '-R', regex, '--timeout',
                              str(args.timeout), '--stop-on-failure'], args.timeout * 3)
                    if rc != 0:
                        outcome, by = 'killed', u + (' (time-out)' if rc == 'timeout' else '')
                        break
                restore()
                by += f' [{time.time() - started:.0f} s]'
            results.append({'mutant': m.key(), 'outcome': outcome, 'by': by})
            print(f'{i}/{len(chosen)} {outcome:14} {m.key()} {by}', flush=True)
    finally:
        restore()
        shutil.rmtree(saved, ignore_errors=True)
        subprocess.run(['cmake', '--build', args.build], capture_output=True)

    report(results)
    if args.out:
        with open(args.out, 'w') as f:
            json.dump(results, f, indent=1)


def report(results):
    per_file = collections.OrderedDict()
    for r in results:
        per_file.setdefault(r['mutant'].split(':')[0], []).append(r)
    total_k = total_n = 0
    print('\nfile: killed / counted (stillborn and not applicable left out)')
    for path, rs in per_file.items():
        counted = [r for r in rs if r['outcome'] in ('killed', 'survived')]
        killed = sum(r['outcome'] == 'killed' for r in counted)
        total_k, total_n = total_k + killed, total_n + len(counted)
        print(f'  {path}: {killed} / {len(counted)}')
        for r in counted:
            if r['outcome'] == 'survived':
                print(f'      survived {r["mutant"]} {r["by"]}')
    fixed = [r for r in results if ' fixed ' in r['mutant']]
    for r in fixed:
        print(f'fixed: {r["outcome"]:14} {r["mutant"]}')
    print(f'score: {total_k} / {total_n} = {100.0 * total_k / max(total_n, 1):.1f} %')


if __name__ == '__main__':
    main()
